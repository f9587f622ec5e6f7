#!/usr/bin/env python3
"""Writes light_test log files as the tool would, with rotation at
10,485,760 bytes into at most three files, for charting examples and
benchmarks: daylight that rises and falls, dark nights of 0.00, a sensor off
the bus for 20 minutes around midday (a loose wire: failed readings), a
restart, a stretch where the tool was down, and a last line cut short.

  make_logs.py DIR [--hours H] [--start "YYYY-MM-DD HH:MM:SS"] [--full]

--full writes until all three files are full (about 300,000 lines)."""

import argparse
import math
import os
import random
import time

LIMIT = 10485760


class Log:
    def __init__(self, directory, name="light_test"):
        self.dir, self.name = directory, name
        os.makedirs(directory, exist_ok=True)
        self.path = os.path.join(directory, name + ".log")
        self.out = open(self.path, "ab")
        self.size = self.out.tell()
        self.rotations = 0

    def write(self, t, level, location, message):
        stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t)) + ".%03d" % (t * 1000 % 1000)
        line = f"[{stamp}] [log] [{level}] [{location}] {message}\n".encode()
        if self.size + len(line) > LIMIT:
            self.out.close()
            p = lambda n: os.path.join(self.dir, f"{self.name}.{n}.log")
            if os.path.exists(p(1)):
                os.replace(p(1), p(2))
            os.replace(self.path, p(1))
            self.out = open(self.path, "ab")
            self.size = 0
            self.rotations += 1
        self.out.write(line)
        self.size += len(line)

    def start(self, t):
        self.write(t, "info", "illuminance.cc:18", "Open /dev/i2c-0 succeeded.")
        self.write(t + 0.305, "info", "illuminance.cc:31", "Current I2C address: 0x23")
        return t + 0.306


def daylight(t):
    hour = (t % 86400) / 3600
    if hour < 6.5 or hour > 19.5:
        return 0.0
    sun = math.sin(math.pi * (hour - 6.5) / 13)
    clouds = 0.6 + 0.4 * math.sin(t / 1700) * math.sin(t / 530)
    return min(54612.5, round(30000 * sun ** 2 * clouds * 1.2) / 1.2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--hours", type=float, default=36)
    parser.add_argument("--start", default="2026-06-01 05:00:00")
    parser.add_argument("--full", action="store_true")
    args = parser.parse_args()
    random.seed(1)
    log = Log(args.dir)
    t = log.start(time.mktime(time.strptime(args.start, "%Y-%m-%d %H:%M:%S")) - time.timezone)
    end = t + args.hours * 3600
    down_at = t + args.hours * 3600 * 0.55  # the tool is down for 40 minutes here
    loose_at = t + args.hours * 3600 * 0.2  # the sensor is gone for 20 minutes here
    loose_until = loose_at + 1200
    while (log.rotations < 2 or log.size < LIMIT - 200) if args.full else t < end:
        if down_at <= t:
            t = log.start(t + 2400)
            down_at = float("inf")
        if loose_at <= t < loose_until:
            reason = "Remote I/O error" if t < loose_at + 1 else \
                "wake-up not acknowledged: Remote I/O error"
            log.write(t, "error", "illuminance.cc:93", "Read /dev/i2c-0 at 0x23 failed: " + reason)
            log.write(t, "info", "light_test.cc:14", "current illuminance: 0.00")
            t += 1.0 + random.randint(0, 2) / 1000
            if t >= loose_until:  # woken again: the settle time, then a real reading
                t += 0.305
                log.write(t, "info", "illuminance.cc:82",
                          "Sensor at 0x23 on /dev/i2c-0 is back after %.1f s." % (t - loose_at))
            continue
        log.write(t, "info", "light_test.cc:14", "current illuminance: %.2f" % daylight(t))
        t += 1.0 + random.randint(0, 2) / 1000
    log.out.write(b"[2026-06-03 00:00:00.000] [log] [info] [light_test.cc:14] current illumin")
    log.out.close()


if __name__ == "__main__":
    main()
