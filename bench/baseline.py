#!/usr/bin/env python3
"""The loop a user would otherwise write: the same bus calls as light_test,
logged with the standard library's logging to a rotating file beside the
script (10 MiB, two older files) and to standard output, once a second."""

import fcntl
import logging
import logging.handlers
import os
import sys
import time

I2C_SLAVE = 0x0703
WAKE = (0x01, 0x07, 0x10)

here = os.path.dirname(os.path.abspath(__file__))
os.makedirs(os.path.join(here, "logs"), exist_ok=True)
log = logging.getLogger("log")
log.setLevel(logging.INFO)
layout = logging.Formatter(
    "[%(asctime)s.%(msecs)03d] [%(levelname)s] [%(filename)s:%(lineno)d] %(message)s",
    "%Y-%m-%d %H:%M:%S")
for handler in (logging.handlers.RotatingFileHandler(
        os.path.join(here, "logs", "baseline.log"), maxBytes=10485760, backupCount=2),
                logging.StreamHandler(sys.stdout)):
    handler.setFormatter(layout)
    log.addHandler(handler)


def wake(fd, address):
    try:
        fcntl.ioctl(fd, I2C_SLAVE, address)
        for byte in WAKE:
            os.write(fd, bytes([byte]))
            time.sleep(0.001)
    except OSError:
        return False
    return True


def main():
    try:
        fd = os.open("/dev/i2c-0", os.O_RDWR)
    except OSError:
        log.error("Open /dev/i2c-0 error!")
        return 255
    log.info("Open /dev/i2c-0 succeeded.")
    address = 0x23
    if not wake(fd, address):
        address = 0x5C
        if not wake(fd, address):
            log.info("Current I2C address: 0x%02x", address)
            return 255
    time.sleep(0.3)
    log.info("Current I2C address: 0x%02x", address)
    while True:
        try:
            data = os.read(fd, 2)
            lux = (data[0] << 8 | data[1]) / 1.2 if len(data) == 2 else 0.0
        except OSError:
            lux = 0.0
        log.info("current illuminance: %.2f", lux)
        time.sleep(1)


if __name__ == "__main__":
    sys.exit(main())
