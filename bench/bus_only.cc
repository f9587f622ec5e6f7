// The bus part of a measuring cycle alone: select 0x23, wake, then one
// two-byte read and a one-second sleep per cycle, nothing logged. The
// benchmark measures it to separate what the emulated bus costs a process
// from what the measuring tool and the baseline spend themselves.

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

int main() {
  const int fd = open("/dev/i2c-0", O_RDWR);
  if (fd < 0 || ioctl(fd, I2C_SLAVE, 0x23UL) < 0) return 1;
  const std::uint8_t wake[] = {0x01, 0x07, 0x10};
  for (std::uint8_t command : wake) {
    if (write(fd, &command, 1) != 1) return 1;
    usleep(1000);
  }
  usleep(300000);
  for (;;) {
    std::uint8_t data[2];
    if (read(fd, data, sizeof(data)) != 2) return 1;
    sleep(1);
  }
}
