#include "illuminance/illuminance.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
  for (std::uint8_t command : kWakeSequence) {
    if (write(fd_, &command, 1) != 1) return false;
    usleep(kWakeBytePauseUs);
  }
  return true;
}

double Illuminance::Read() {
  if (fd_ < 0) return 0.0;
  std::uint8_t data[2] = {};
  // A short read carries no whole count: it is as good as a failed one.
  if (read(fd_, data, sizeof(data)) != static_cast<ssize_t>(sizeof(data))) return 0.0;
  return CountToLux(data[0], data[1]);
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
