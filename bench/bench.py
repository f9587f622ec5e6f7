#!/usr/bin/env python3
"""Measures the built light_test against the simulated sensor, and the same
loop written with Python's logging (bench/baseline.py), in one run.

For each, in the steady state (start-up and the first readings excluded):
CPU time per cycle (/proc/PID/schedstat over a window, divided by the
readings in it), bus transactions per cycle (the simulated sensor's record),
system calls per cycle by kind (strace over a second window, per one-second
sleep), peak resident memory (VmHWM), the period between readings from the
log file, and the time from the process's start to its first reading. Then
the tool with its sensor off the bus for a while: the period of a healthy
cycle, of a cycle with the sensor gone and of the one that wakes it again."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
READING = "current illuminance: "
STAMP = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{3})\]")


def boottime():
    return time.clock_gettime(time.CLOCK_BOOTTIME)


def child_of(pid, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                children = f.read().split()
            if children:
                return int(children[0])
        except OSError:
            pass
        time.sleep(0.002)
    raise RuntimeError("the measured process did not start")


def start_time(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[19]) / os.sysconf("SC_CLK_TCK")  # seconds since boot


def cpu_ns(pid):
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0])


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def classify_syscalls(trace_path):
    """Counts the calls in an strace -f -y log by kind. umockdev's preload
    library wraps calls in blocks of its own (a signal mask around them and a
    zero sleep after): a block that talks to umockdev's socket is one call on
    the emulated bus; in any other block the wrapped calls count as the
    process's own. What umockdev adds is counted apart."""
    kinds = {}
    emulation = 0
    block = None
    after_block = False

    def count(kind):
        kinds[kind] = kinds.get(kind, 0) + 1

    def own(name, args):
        fd = re.match(r"\d+(<[^>]*>)?", args)
        fd_path = (fd.group(1) or "") if fd else ""
        if name in ("clock_nanosleep", "nanosleep"):
            count("sleep")
        elif name == "write" and fd_path.endswith(".log>"):
            count("write, log file")
        elif name == "write" and args.startswith("1<"):
            count("write, standard output")
        else:
            count(name)

    with open(trace_path, errors="replace") as f:
        for line in f:
            line = re.sub(r"^\d+\s+", "", line)
            if "resumed>" in line or line.startswith(("+++", "---")):
                continue
            m = re.match(r"(\w+)\((.*)", line)
            if not m:
                continue
            name, args = m.group(1), m.group(2)
            if block is None and name == "rt_sigprocmask" and "~[RTMIN RT_1]" in args:
                block = []
                continue
            if block is not None:
                if name != "rt_sigprocmask":
                    block.append((name, args))
                    continue
                if any("socket:" in a for _, a in block):
                    count("bus call")
                    emulation += 2 + len(block)
                else:
                    emulation += 2
                    for inner in block:
                        own(*inner)
                block, after_block = None, True
                continue
            if after_block and name == "clock_nanosleep" and "tv_sec=0, tv_nsec=0}" in args:
                emulation += 1
                after_block = False
                continue
            after_block = False
            own(name, args)
    return kinds, emulation


def log_periods(log_path):
    stamps = []
    with open(log_path, errors="replace") as f:
        for line in f:
            m = STAMP.match(line)
            if m and READING in line:
                t = time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S"))
                stamps.append(t + int(m.group(2)) / 1000)
    gaps = [b - a for a, b in zip(stamps[1:], stamps[2:])]  # the first is start-up
    return gaps


def measure(name, command, files, log_name, runner, seconds):
    scratch = tempfile.mkdtemp(prefix=f"bench-{name}-")
    try:
        bin_dir = os.path.join(scratch, "bin")
        work = os.path.join(scratch, "work")
        os.makedirs(bin_dir)
        os.makedirs(work)
        for path in files:
            shutil.copy2(path, bin_dir)
        transactions = os.path.join(scratch, "transactions")
        argv = [runner, "--count", "300", "--transactions", transactions, "--"]
        argv += [os.path.join(bin_dir, word) if word in map(os.path.basename, files) else word
                 for word in command]
        lines = []
        proc = subprocess.Popen(argv, cwd=work, stdout=subprocess.PIPE, text=True, bufsize=1)

        def read():
            for line in proc.stdout:
                lines.append((boottime(), line))
        reader = threading.Thread(target=read, daemon=True)
        reader.start()

        pid = child_of(proc.pid)
        started = start_time(pid)
        first = None
        if log_name:
            while not any(READING in line for _, line in lines):
                if proc.poll() is not None:
                    raise RuntimeError(f"{name} ended early")
                time.sleep(0.001)
            first = next(t for t, line in lines if READING in line) - started

        time.sleep(3.5)  # past start-up
        cpu0, t0 = cpu_ns(pid), time.clock_gettime(time.CLOCK_MONOTONIC)
        time.sleep(seconds)
        cpu1, t1 = cpu_ns(pid), time.clock_gettime(time.CLOCK_MONOTONIC)

        trace = os.path.join(scratch, "strace")
        strace = subprocess.Popen(["strace", "-f", "-y", "-p", str(pid), "-o", trace],
                                  stderr=subprocess.DEVNULL)
        time.sleep(seconds)
        strace.send_signal(signal.SIGINT)
        strace.wait()
        kinds, emulation = classify_syscalls(trace)
        sleeps = kinds.get("sleep", 0) or 1

        rss = peak_rss_kib(pid)
        proc.send_signal(signal.SIGTERM)  # forwarded; ends either loop quietly
        proc.wait(timeout=10)
        reader.join(timeout=5)

        # A cycle is a bus read: the record of the simulated sensor says how
        # many fell into the CPU window.
        bus = {}
        with open(transactions) as f:
            for line in f:
                at, kind, _ = line.split()
                if t0 <= float(at) < t1:
                    bus[kind] = bus.get(kind, 0) + 1
        cycles = bus.get("read", 0)
        gaps = log_periods(os.path.join(bin_dir, "logs", log_name)) if log_name else []
        return {
            "name": name,
            "cycles": cycles,
            "cpu_us": (cpu1 - cpu0) / 1000 / max(cycles, 1),
            "bus": {k: v / max(cycles, 1) for k, v in sorted(bus.items())},
            "syscalls": {k: v / sleeps for k, v in sorted(kinds.items(), key=lambda kv: -kv[1])},
            "syscalls_total": sum(kinds.values()) / sleeps,
            "emulation": emulation / sleeps,
            "sleeps": sleeps,
            "rss_kib": rss,
            "period_mean_ms": 1000 * sum(gaps) / len(gaps) if gaps else float("nan"),
            "period_worst_excess_ms": 1000 * (max(gaps) - 1) if gaps else float("nan"),
            "periods": len(gaps),
            "first_reading_ms": 1000 * first if first is not None else None,
        }
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def measure_gone(runner, tool, seconds):
    """The tool while its sensor is off the bus for `seconds` and after it is
    plugged back: the period of each kind of cycle, from the log, and the bus
    transactions of a cycle with the sensor gone."""
    scratch = tempfile.mkdtemp(prefix="bench-gone-")
    try:
        bin_dir = os.path.join(scratch, "bin")
        os.makedirs(bin_dir)
        shutil.copy2(tool, bin_dir)
        transactions = os.path.join(scratch, "transactions")
        gone_from = 3.5
        proc = subprocess.Popen(
            [runner, "--count", "300", "--unplug", f"{gone_from}:{gone_from + seconds}",
             "--transactions", transactions, "--", os.path.join(bin_dir, "light_test")],
            cwd=scratch, stdout=subprocess.DEVNULL)
        time.sleep(gone_from + seconds + 4.5)
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=10)

        kinds, previous = [], ""
        with open(os.path.join(bin_dir, "logs", "light_test.log"), errors="replace") as f:
            for line in f:
                m = STAMP.match(line)
                if m and READING in line:
                    t = time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S"))
                    kind = ("gone" if "failed: " in previous else
                            "back" if "is back after" in previous else "healthy")
                    kinds.append((t + int(m.group(2)) / 1000, kind))
                previous = line
        periods = {}
        for (a, _), (b, kind) in zip(kinds[1:], kinds[2:]):  # the first is start-up
            periods.setdefault(kind, []).append(1000 * (b - a))
        # The bus during the gone cycles: from the first failed call on, up to
        # the first acknowledged write after it.
        bus, gone = {}, False
        with open(transactions) as f:
            for line in f:
                _, kind, result = line.split()
                if not gone and int(result) < 0 and kind in ("read", "write"):
                    gone = True
                elif gone and kind == "write" and int(result) > 0:
                    break
                if gone:
                    bus[kind] = bus.get(kind, 0) + 1
        return periods, bus
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def report_gone(periods, bus, seconds):
    print(f"== light_test, sensor off the bus for {seconds} s, then back powered down")
    for kind, what in (("healthy", "healthy cycle"), ("gone", "cycle with the sensor gone"),
                       ("back", "cycle that wakes it again")):
        p = periods.get(kind, [])
        if p:
            print(f"  period, {what + ':':29} mean {sum(p) / len(p):7.1f} ms, "
                  f"longest {max(p):7.1f} ms  ({len(p)} periods, from the log)")
    cycles = len(periods.get("gone", [])) or 1
    print("  bus transactions per gone cycle:  " +
          ", ".join(f"{k} {v / cycles:.2f}" for k, v in sorted(bus.items())))


def report(r):
    print(f"== {r['name']}")
    print(f"  steady CPU time per cycle:   {r['cpu_us']:.1f} us  ({r['cycles']} cycles)")
    print(f"  bus transactions per cycle:  " +
          ", ".join(f"{k} {v:.2f}" for k, v in r["bus"].items()))
    print(f"  system calls per cycle:      {r['syscalls_total']:.2f}  ({r['sleeps']} cycles traced)")
    for kind, per_cycle in r["syscalls"].items():
        print(f"      {per_cycle:6.2f}  {kind}")
    print(f"    + {r['emulation']:.2f} made by umockdev to emulate the bus calls")
    print(f"  peak resident memory:        {r['rss_kib']} KiB")
    if r["periods"]:
        print(f"  period between readings:     mean {r['period_mean_ms']:.1f} ms, worst excess "
              f"over 1 s {r['period_worst_excess_ms']:.0f} ms  ({r['periods']} periods, from the log)")
    if r["first_reading_ms"] is not None:
        print(f"  start to first reading:      {r['first_reading_ms']:.0f} ms "
              f"(process start at 10 ms resolution; floor 303 ms)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=int, default=20, help="length of each steady window")
    args = parser.parse_args()
    runner = os.path.abspath(os.path.join(args.build, "tests", "sensor_runner"))
    tool = os.path.abspath(os.path.join(args.build, "light_test"))

    print(f"machine: {os.uname().machine}, {os.cpu_count()} cores, "
          f"{open('/proc/cpuinfo').read().split('model name')[1].split(':')[1].splitlines()[0].strip()}"
          if "model name" in open("/proc/cpuinfo").read() else f"machine: {os.uname().machine}")
    print(f"python: {sys.version.split()[0]}; windows of {args.seconds} s each\n")
    bus_only = os.path.abspath(os.path.join(args.build, "bench", "bench_bus_only"))
    results = [
        measure("light_test", ["light_test"], [tool], "light_test.log", runner, args.seconds),
        measure("baseline (Python logging)", [sys.executable, "baseline.py"],
                [os.path.join(HERE, "baseline.py")], "baseline.log", runner, args.seconds),
        measure("bus only (one emulated read and a sleep per cycle, no logging)",
                ["bench_bus_only"], [bus_only], None, runner, args.seconds),
    ]
    gone_seconds = max(5, args.seconds // 2)
    gone = measure_gone(runner, tool, gone_seconds)
    for r in results:
        report(r)
        print()
    report_gone(*gone, gone_seconds)
    print()
    tool_r, base_r, bus_r = results
    own = lambda r: r["cpu_us"] - bus_r["cpu_us"]
    print("== tool / baseline")
    print(f"  CPU per cycle:                       {tool_r['cpu_us'] / base_r['cpu_us']:.3f}")
    print(f"  CPU per cycle without the emulated bus's share "
          f"({bus_r['cpu_us']:.1f} us): {own(tool_r):.1f} / {own(base_r):.1f} us = "
          f"{own(tool_r) / own(base_r):.3f}")
    print(f"  peak resident memory:                {tool_r['rss_kib'] / base_r['rss_kib']:.3f}")
    rss_own = lambda r: r["rss_kib"] - bus_r["rss_kib"]
    print(f"  peak resident memory above the bus-only process's ({bus_r['rss_kib']} KiB, the "
          f"emulation's preload libraries included): {rss_own(tool_r)} / {rss_own(base_r)} KiB = "
          f"{rss_own(tool_r) / rss_own(base_r):.3f}")
    print(f"  system calls per cycle (own):        "
          f"{tool_r['syscalls_total'] / base_r['syscalls_total']:.3f}")


if __name__ == "__main__":
    main()
