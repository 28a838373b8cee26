# SPDX-License-Identifier: MIT
"""The report's figures, as rows of scripts/bench.sh's table:

  report_bench.py --vehcan PROGRAM --drive PROGRAM [--seconds 3600] [--work DIR]

- the time vehcan replay --report takes (wall clock and CPU, the least of
  several runs) and the page's size, for examples/truck.log and for a
  simulated drive of --seconds (an hour: about 2.4 million frames, made by
  vehcan_drive_capture);
- the time each page takes to open in Debian's chromium, headless: from the
  navigation's start to the page's own "vehcan-ready" mark (everything
  parsed and every chart drawn), the least of three loads, and the wall
  clock the browser driver saw and the CPU time of the browser's processes
  for the best of them.
Each row ends with the machine's load average while it was measured."""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "report"))

from browser import Browser  # noqa: E402


def load():
    return f" (load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)"


def timed(args):
    """Wall and CPU seconds of one run of args."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def build(vehcan, capture, page, runs):
    best = min(timed([vehcan, "replay", capture, "--report", page]) for _ in range(runs))
    return best, os.path.getsize(page)


def browser_cpu(browser):
    """CPU seconds (user + system) of the browser's processes so far: those
    below the driver's. On a machine shared with other work the wall clock
    says more about the others than about the page; the CPU does not."""
    parents = {}
    ticks = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        parents[int(entry)] = int(fields[1])
        ticks[int(entry)] = int(fields[11]) + int(fields[12])
    root = browser.driver.service.process.pid
    total = 0
    for pid, t in ticks.items():
        p = pid
        while p in parents and p != root and p > 1:
            p = parents[p]
        if p == root and pid != root:
            total += t
    return total / os.sysconf("SC_CLK_TCK")


def open_time(browser, page, loads=3):
    """The least of several loads: seconds from the navigation's start to
    every chart drawn, the driver's wall clock and the browser's CPU."""
    best = None
    for _ in range(loads):
        cpu = browser_cpu(browser)
        start = time.monotonic()
        browser.open(page)
        browser.wait_for("return window.vehcanReport && window.vehcanReport.ready", 120)
        wall = time.monotonic() - start
        cpu = browser_cpu(browser) - cpu
        ready = browser.run("return performance.getEntriesByName('vehcan-ready')[0].startTime")
        if best is None or ready < best[0]:
            best = (ready / 1000, wall, cpu)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vehcan", required=True)
    parser.add_argument("--drive", required=True)
    parser.add_argument("--seconds", type=float, default=3600)
    parser.add_argument("--work")
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="vehcan-report-bench-")
    os.makedirs(work, exist_ok=True)

    example = os.path.join(TOP, "examples", "truck.log")
    drive = os.path.join(work, "drive.log")
    subprocess.run([args.drive, str(args.seconds), drive, os.path.join(work, "drive.json")],
                   check=True)
    with open(drive) as f:
        frames = sum(1 for _ in f)
    cases = [
        (f"examples/truck.log ({sum(1 for _ in open(example))} frames)", example,
         os.path.join(work, "example.html"), 5),
        (f"simulated drive of {args.seconds:.0f} s ({frames} frames)", drive,
         os.path.join(work, "drive.html"), 2),
    ]
    built = []
    for name, capture, page, runs in cases:
        (wall, cpu), size = build(args.vehcan, capture, page, runs)
        print(f"| vehcan replay --report, {name} | {wall:.2f} s wall, {cpu:.2f} s CPU, "
              f"page {size / 1e6:.2f} MB{load()} |", flush=True)
        built.append((name, page))
    with Browser() as browser:
        for name, page in built:
            ready, wall, cpu = open_time(browser, page)
            print(f"| report opening in headless chromium, {name} | {ready:.2f} s to every "
                  f"chart drawn ({wall:.2f} s seen by the driver), {cpu:.2f} s CPU of the "
                  f"browser{load()} |", flush=True)
    if not args.work:
        for f in os.listdir(work):
            os.remove(os.path.join(work, f))
        os.rmdir(work)


if __name__ == "__main__":
    main()
