#ifndef LIGHT_TEST_SRC_ILLUMINANCE_ILLUMINANCE_H_
#define LIGHT_TEST_SRC_ILLUMINANCE_ILLUMINANCE_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>

// Ambient light sensor with the BH1750 command set on the board's first I2C
// bus, reached through the i2c-dev character device.
class Illuminance {
 public:
  static constexpr const char* kI2cDevice = "/dev/i2c-0";
  static constexpr std::uint8_t kPrimaryAddress = 0x23;
  static constexpr std::uint8_t kSecondaryAddress = 0x5C;
  // Power on, reset the data register, start continuous high-resolution
  // measuring; one byte per bus write, in this order.
  static constexpr std::array<std::uint8_t, 3> kWakeSequence = {0x01, 0x07, 0x10};
  static constexpr std::uint8_t kPowerDown = 0x00;
  static constexpr double kCountsPerLux = 1.2;
  static constexpr unsigned kWakeBytePauseUs = 1000;
  // Long enough for the first high-resolution measurement to be ready.
  static constexpr unsigned kSettleUs = 300000;

  Illuminance();
  // Leaves the sensor measuring and the bus open: the operating system
  // releases the descriptor at process end.
  ~Illuminance() = default;

  Illuminance(const Illuminance&) = delete;
  Illuminance& operator=(const Illuminance&) = delete;

  // Opens the bus and wakes the sensor at the primary, else the secondary
  // address. False when the bus cannot be opened or no sensor acknowledged a
  // whole wake sequence; the bus is then closed again.
  bool Open();
  // The latest reading in lux; 0.0 when no reading could be taken. A failed
  // reading is logged as an error, and the sensor is woken again at its
  // address before the next one (it may have lost power), once a call until
  // it answers; the first reading after that is a fresh measurement.
  double Read();
  // Powers the sensor down and closes the bus; harmless when closed.
  void Close();

 private:
  // Selects `address` and writes the wake sequence there; true when every
  // byte was acknowledged.
  bool Wake(std::uint8_t address);
  // Writes the wake sequence to the selected address, stopping at the first
  // byte that is not acknowledged; true when all were.
  bool WriteWakeSequence();
  // Logs a failed reading and leaves the sensor to be woken again.
  void Failed(std::string_view reason);

  int fd_;
  std::uint8_t address_ = 0;  // where the sensor answered in Open
  bool lost_ = false;         // the last reading failed
  std::chrono::steady_clock::time_point lost_since_;
};

// Lux for the sensor's two data bytes, high byte first.
double CountToLux(std::uint8_t high, std::uint8_t low);

#endif  // LIGHT_TEST_SRC_ILLUMINANCE_ILLUMINANCE_H_
