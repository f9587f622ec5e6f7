#!/usr/bin/env python3
"""Many boards, one view, on loopback: three simulated boards, each the real
tool against the simulated sensor with its own light and Debian's mtail
running the project's program on its own port, and one Prometheus scraping
them with the project's alert rules and console page.

Checks, through Prometheus's HTTP API, that every board's metrics equal what
its log holds; that a killed board's readings stop while the others go on;
that counting goes on across a rotation and a restart; that a board whose
sensor comes off the bus counts its failed readings and the sensor's return,
keeps its last real reading, and shows as not answering on the console page;
and that the page renders in headless Chromium without errors (its
screenshot is kept).

  live_test.py --build BUILD_DIR --source SOURCE_DIR [--screenshot PNG]
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

TZ = "America/New_York"  # the boards' zone: not UTC, and with daylight saving
LIMIT = 10485760
# name, the sensor's count (None: light that drifts), the sensor's time off
# the bus ("FROM:TO" seconds after the tool started)
BOARDS = [("greenhouse", None, None), ("museum", 60, None), ("attic", 6000, None),
          ("barn", 900, "2:14")]
FAILURE = re.compile(r"\] \[log\] \[error\] \[[^\]]+\] Read \S+ at 0x[0-9a-f]{2} failed: ")
BACK = re.compile(r"\] \[log\] \[info\] \[[^\]]+\] Sensor at 0x[0-9a-f]{2} on \S+ is back after ")

failures = []
checks = [0]


def check(ok, what):
    checks[0] += 1
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return response.read().decode()


def wait_for(what, condition, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if condition():
                return True
        except OSError:
            pass
        time.sleep(0.2)
    check(False, what + " (timed out)")
    return False


class Board:
    def __init__(self, name, count, unplug, root, args):
        self.name, self.count, self.unplug = name, count, unplug
        self.dir = os.path.join(root, name)
        bin_dir = os.path.join(self.dir, "bin")
        os.makedirs(os.path.join(bin_dir, "logs"))
        self.tool = shutil.copy(os.path.join(args.build, "light_test"), bin_dir)
        self.log = os.path.join(bin_dir, "logs", "light_test.log")
        self.runner = os.path.join(args.build, "tests", "sensor_runner")
        self.port = free_port()
        self.process = None
        self.mtail = None

    def start_mtail(self, args, processes):
        # mtail reads a log that exists when it starts from its end: it is
        # made first, so that every line the tool writes is counted.
        open(self.log, "a").close()
        self.mtail = start(processes, self.dir, "mtail",
                           ["mtail", "--progs", os.path.join(args.source, "monitoring"),
                            "--logs", self.log, "--address", "127.0.0.1",
                            "--port", str(self.port), "--override_timezone", TZ,
                            "--logtostderr", "--poll_interval", "100ms"])

    def start_tool(self, processes):
        self.process = start(processes, self.dir, "tool",
                             [self.runner] + (["--count", str(self.count)] if self.count else
                                              ["--wave"]) +
                             (["--unplug", self.unplug] if self.unplug else []) +
                             ["--", self.tool],
                             env=dict(os.environ, TZ=TZ))

    def stop_tool(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)

    def lines(self):
        """The file logger's lines of the log family, oldest file first."""
        lines = []
        for suffix in (".2.log", ".1.log", ".log"):
            path = self.log[: -len(".log")] + suffix
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    lines += [l for l in f if "] [log] [" in l]
        return lines

    def readings(self):
        """The reading lines, each with whether it is a failed reading's 0.00
        (the line before it says the reading failed)."""
        readings, failed = [], False
        for line in self.lines():
            if "] [log] [info] " in line and re.search(r"current illuminance: \d+\.\d\d$", line):
                readings.append((line, failed))
            failed = bool(FAILURE.search(line))
        return readings


def start(processes, cwd, tag, argv, env=None):
    out = open(os.path.join(cwd, tag + ".out"), "w")
    process = subprocess.Popen(argv, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, env=env)
    processes.append(process)
    return process


def line_time(line):
    """The Unix time of a log line, read in the boards' zone."""
    stamp = line[1:24]
    out = subprocess.run(["date", "-d", stamp[:19], "+%s"], env=dict(os.environ, TZ=TZ),
                         capture_output=True, text=True, check=True).stdout
    return int(out) + int(stamp[20:23]) / 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    args.build, args.source = os.path.abspath(args.build), os.path.abspath(args.source)
    for tool in ("mtail", "prometheus", "chromium"):
        if shutil.which(tool) is None:
            print(f"{tool} is not installed")
            return 1

    root = tempfile.mkdtemp(prefix="light_live.")
    processes = []
    try:
        run(args, root, processes)
    finally:
        for process in processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        if failures:
            for out in sorted(os.listdir(root)):
                print("kept for a look:", os.path.join(root, out))
        else:
            shutil.rmtree(root, ignore_errors=True)
    print(f"live monitoring test: {checks[0] - len(failures)} passed, {len(failures)} failed",
          flush=True)
    return 1 if failures else 0


def run(args, root, processes):
    started = time.monotonic()
    boards = [Board(name, count, unplug, root, args) for name, count, unplug in BOARDS]
    greenhouse, museum, attic, barn = boards
    # The attic's log is 20 bytes short of the size limit: its first line
    # rotates it while mtail follows it.
    with open(attic.log, "w") as f:
        f.write("p" * (LIMIT - 21) + "\n")
    for board in boards:
        board.start_mtail(args, processes)

    # One Prometheus for all, the boards named by a file of targets as the
    # README shows it.
    prom_dir = os.path.join(root, "prometheus")
    os.makedirs(os.path.join(prom_dir, "libraries"))
    for lib in ("prom.lib", "menu.lib"):
        shutil.copy(os.path.join("/usr/share/doc/prometheus/examples/console_libraries", lib),
                    os.path.join(prom_dir, "libraries"))
    with open(os.path.join(prom_dir, "boards.yml"), "w") as f:
        for board in boards:
            f.write(f"- targets: ['127.0.0.1:{board.port}']\n"
                    f"  labels:\n    instance: {board.name}\n")
    with open(os.path.join(prom_dir, "prometheus.yml"), "w") as f:
        f.write(f"""global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - {os.path.join(args.source, "monitoring", "light_test.rules.yml")}
scrape_configs:
  - job_name: light
    file_sd_configs:
      - files: ['{os.path.join(prom_dir, "boards.yml")}']
""")
    prom_port = free_port()
    prom = f"http://127.0.0.1:{prom_port}"
    start(processes, prom_dir, "prometheus",
          ["prometheus", "--config.file=" + os.path.join(prom_dir, "prometheus.yml"),
           "--storage.tsdb.path=" + os.path.join(prom_dir, "data"),
           "--web.listen-address=127.0.0.1:" + str(prom_port),
           "--web.console.templates=" + os.path.join(args.source, "monitoring", "consoles"),
           "--web.console.libraries=" + os.path.join(prom_dir, "libraries")])

    def query(expr):
        url = prom + "/api/v1/query?" + urllib.parse.urlencode({"query": expr})
        return {r["metric"].get("instance"): float(r["value"][1])
                for r in json.loads(get(url))["data"]["result"]}

    for board in boards:
        wait_for(f"mtail of {board.name} serves", lambda b=board: "light_readings_total" in
                 get(f"http://127.0.0.1:{b.port}/metrics"))
    for board in boards:
        board.start_tool(processes)
    wait_for("Prometheus scrapes the four boards",
             lambda: len([v for v in query('up{job="light"}').values() if v == 1]) == 4)
    wait_for("every board has readings in Prometheus",
             lambda: len([v for v in query("light_readings_total").values() if v >= 3]) == 4)

    # The barn's sensor is off the bus from 2 s to 14 s: the page says so.
    page = f"{prom}/consoles/light.html?hours=0.006"

    def row(board):
        html = get(page)
        at = html.find(f"<td>{board}</td>")
        return html[at:html.find("</tr>", at)] if at >= 0 else ""

    check(wait_for("the page shows the barn's sensor as not answering",
                   lambda: "not answering" in row("barn"), seconds=15) and
          "not answering" not in row("museum"),
          "the console page: barn not answering, museum ok")
    check(query("light_illuminance_lux").get("barn") == 750.0,
          "barn, sensor gone: light_illuminance_lux is still its last real reading, not 0")

    # One board's tool is killed: its count stops, the others' go on.
    greenhouse.stop_tool()
    time.sleep(3)
    before = query("light_readings_total")
    time.sleep(3)
    after = query("light_readings_total")
    check(after["greenhouse"] == before["greenhouse"], "the killed board's readings stop growing")
    check(after["museum"] > before["museum"] and after["attic"] > before["attic"],
          "the other boards' readings go on")

    # The attic's tool starts again on its appended log.
    attic.stop_tool()
    time.sleep(1.5)
    attic.start_tool(processes)
    time.sleep(3)
    wait_for("the barn's sensor is back", lambda: any(BACK.search(l) for l in barn.lines()),
             seconds=20)
    time.sleep(1.5)
    for board in (museum, attic, barn):
        board.stop_tool()
    time.sleep(3)  # a few scrapes after the last line

    lux = query("light_illuminance_lux")
    total = query("light_readings_total")
    stamp = query("light_last_reading_timestamp_seconds")
    starts = query("light_starts_total")
    failures = query("light_read_failures_total")
    returns = query("light_sensor_returns_total")
    for board in boards:
        readings = board.readings()
        last = [line for line, failed in readings if not failed][-1].rstrip("\n")
        check(total.get(board.name) == len(readings),
              f"{board.name}: light_readings_total {total.get(board.name)} = "
              f"{len(readings)} reading lines in its log")
        check(lux.get(board.name) == float(last.rsplit(" ", 1)[1]),
              f"{board.name}: light_illuminance_lux {lux.get(board.name)} = its last real reading")
        lines = board.lines()
        failed = len([l for l in lines if FAILURE.search(l)])
        back = len([l for l in lines if BACK.search(l)])
        check(failures.get(board.name) == failed and returns.get(board.name) == back,
              f"{board.name}: light_read_failures_total {failures.get(board.name)} = {failed}, "
              f"light_sensor_returns_total {returns.get(board.name)} = {back}, as in its log")
        expected = line_time(last)
        check(abs(stamp.get(board.name, 0) - expected) < 0.0015,
              f"{board.name}: light_last_reading_timestamp_seconds {stamp.get(board.name)} = "
              f"{expected:.3f}, its last line's time in {TZ}")
    check(os.path.exists(attic.log[:-4] + ".1.log") and
          os.path.getsize(attic.log[:-4] + ".1.log") == LIMIT - 20,
          "attic: the log rotated while mtail followed it")
    check(starts.get("attic") == 2, f"attic: light_starts_total {starts.get('attic')} = 2, "
          "across the rotation and the restart")
    check(failures.get("barn", 0) >= 8 and returns.get("barn") == 1 and
          [failed for _, failed in barn.readings()].count(True) == failures.get("barn"),
          f"barn: {failures.get('barn')} failed readings, each a 0.00 after its error line, "
          "and one return")

    # The console page, rendered by headless Chromium.
    html = get(page)
    check(all(f"<td>{b.name}</td>" in html for b in boards), "the console page names every board")
    shot = args.screenshot or os.path.join(root, "console.png")
    browser = subprocess.run(
        ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + os.path.join(root, "chromium"),
         "--enable-logging=stderr", "--v=0", "--virtual-time-budget=10000",
         "--window-size=1200,760", "--screenshot=" + shot, page],
        capture_output=True, text=True, timeout=120)
    errors = [l for l in browser.stderr.splitlines() if ":CONSOLE" in l]
    check(browser.returncode == 0 and os.path.exists(shot) and not errors,
          "the console page renders in Chromium without errors" +
          "".join("\n     " + e for e in errors))
    print(f"screenshot: {shot}; {time.monotonic() - started:.1f} s", flush=True)


if __name__ == "__main__":
    sys.exit(main())
