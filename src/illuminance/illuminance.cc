#include "illuminance/illuminance.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "log/log.h"

Illuminance::Illuminance() : fd_(-1) {}

bool Illuminance::Open() {
  fd_ = open(kI2cDevice, O_RDWR);
  if (fd_ < 0) {
    LOG_ERROR("Open {} error!", kI2cDevice);
    return false;
  }
  LOG_INFO("Open {} succeeded.", kI2cDevice);

  std::uint8_t address = kPrimaryAddress;
  bool awake = Wake(address);
  if (!awake) {
    address = kSecondaryAddress;
    awake = Wake(address);
  }
  if (awake) {
    address_ = address;
    usleep(kSettleUs);
  } else {
    Close();
  }
  LOG_INFO("Current I2C address: 0x{:02x}", address);
  return awake;
}

bool Illuminance::Wake(std::uint8_t address) {
  // Without a selected address the writes would go to whatever the
  // descriptor was bound to before (the general call on a fresh one), so a
  // refused selection counts as no answer at this address.
  if (ioctl(fd_, I2C_SLAVE, static_cast<unsigned long>(address)) < 0) return false;
  return WriteWakeSequence();
}

bool Illuminance::WriteWakeSequence() {
  for (std::uint8_t command : kWakeSequence) {
    if (write(fd_, &command, 1) != 1) return false;
    usleep(kWakeBytePauseUs);
  }
  return true;
}

double Illuminance::Read() {
  if (fd_ < 0) return 0.0;
  // A sensor that was off the bus comes back powered down, holding 0: it is
  // woken as at start, and the settle time makes the reading below a real
  // measurement. The descriptor still has its address selected.
  if (lost_) {
    if (!WriteWakeSequence()) {
      Failed(std::string("wake-up not acknowledged: ") + std::strerror(errno));
      return 0.0;
    }
    usleep(kSettleUs);
  }
  std::uint8_t data[2] = {};
  const ssize_t got = read(fd_, data, sizeof(data));
  if (got < 0) {
    Failed(std::strerror(errno));
    return 0.0;
  }
  // A short read carries no whole count: it is as good as a failed one.
  if (got != static_cast<ssize_t>(sizeof(data))) {
    Failed(fmt::format("short read: {} of {} bytes", got, sizeof(data)));
    return 0.0;
  }
  if (lost_) {
    lost_ = false;
    const std::chrono::duration<double> gone = std::chrono::steady_clock::now() - lost_since_;
    LOG_INFO("Sensor at 0x{:02x} on {} is back after {:.1f} s.", address_, kI2cDevice,
             gone.count());
  }
  return CountToLux(data[0], data[1]);
}

void Illuminance::Failed(std::string_view reason) {
  if (!lost_) {
    lost_ = true;
    lost_since_ = std::chrono::steady_clock::now();
  }
  LOG_ERROR("Read {} at 0x{:02x} failed: {}", kI2cDevice, address_, reason);
}

void Illuminance::Close() {
  if (fd_ < 0) return;
  const std::uint8_t command = kPowerDown;
  // The bus closes whether or not the sensor heard the power-down.
  [[maybe_unused]] const ssize_t written = write(fd_, &command, 1);
  close(fd_);
  fd_ = -1;
}

double CountToLux(std::uint8_t high, std::uint8_t low) {
  const unsigned count = static_cast<unsigned>(high) * 256U + low;
  return static_cast<double>(count) / Illuminance::kCountsPerLux;
}
