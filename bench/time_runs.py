#!/usr/bin/env python3
"""Times whole processes: time_runs.py RUNS LABEL COMMAND [LABEL COMMAND ...]

Runs each COMMAND (split at blanks) RUNS times, the commands alternating so
that a busy machine slows them alike, with no input and output thrown away. Prints per
label the wall time (median, mean, minimum, 90th percentile) and the CPU
time (user + system, mean) in microseconds. Exits 1 when any run fails.
"""

import os
import statistics
import sys
import time


def run_once(argv):
    """Returns (exit status, wall microseconds, CPU microseconds)."""
    quiet = [(os.POSIX_SPAWN_OPEN, fd, os.devnull, flags, 0)
             for fd, flags in ((0, os.O_RDONLY), (1, os.O_WRONLY),
                               (2, os.O_WRONLY))]
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=quiet)
    _, status, usage = os.wait4(pid, 0)
    wall = (time.perf_counter_ns() - start) / 1000
    cpu = (usage.ru_utime + usage.ru_stime) * 1e6
    return os.waitstatus_to_exitcode(status), wall, cpu


def main():
    runs = int(sys.argv[1])
    commands = list(zip(sys.argv[2::2], (c.split() for c in sys.argv[3::2])))
    walls = {label: [] for label, _ in commands}
    cpus = {label: [] for label, _ in commands}
    failures = 0
    for _ in range(runs):
        for label, argv in commands:
            status, wall, cpu = run_once(argv)
            failures += status != 0
            walls[label].append(wall)
            cpus[label].append(cpu)
    for label, _ in commands:
        wall = sorted(walls[label])
        print(f"  {label:<14} wall median {statistics.median(wall):7.0f} us"
              f"  mean {statistics.mean(wall):7.0f}"
              f"  min {wall[0]:7.0f}  p90 {wall[int(len(wall) * 0.9)]:7.0f}"
              f"  | CPU mean {statistics.mean(cpus[label]):6.0f} us")
    if failures:
        print(f"  {failures} runs failed")
        sys.exit(1)


if __name__ == "__main__":
    main()
