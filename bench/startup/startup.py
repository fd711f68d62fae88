#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""How long the tool takes to start, against /bin/true measured in the same run.

Each command is run in turn with /bin/true (A B A B ...), so a change in the machine's load
falls on both of a pair; the ratio is taken pair by pair and its median printed. Every
process is started with posix_spawn and reaped with wait4, its output thrown away.

    bench/startup/startup.py [--runs N] BUILD_DIR
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

FLOOR = ["/bin/true"]


def run_once(argv):
    """Wall seconds from spawn to reaping, and the exit status."""
    devnull = os.open(os.devnull, os.O_RDWR)
    try:
        actions = [(os.POSIX_SPAWN_DUP2, devnull, 0), (os.POSIX_SPAWN_DUP2, devnull, 1),
                   (os.POSIX_SPAWN_DUP2, devnull, 2)]
        start = time.perf_counter_ns()
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
        _, status, _ = os.wait4(pid, 0)
        elapsed = (time.perf_counter_ns() - start) / 1e9
    finally:
        os.close(devnull)
    return elapsed, os.waitstatus_to_exitcode(status)


def paired(argv, runs, warmup=3):
    for _ in range(warmup):
        run_once(argv)
        run_once(FLOOR)
    ratios, times, floors = [], [], []
    for _ in range(runs):
        took, code = run_once(argv)
        if code != 0:
            sys.exit(f"{' '.join(argv)} exited with {code}")
        floor, _ = run_once(FLOOR)
        times.append(took)
        floors.append(floor)
        ratios.append(took / floor)
    return statistics.median(times), statistics.median(floors), statistics.median(ratios)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    tool = os.path.join(args.build_dir, "orvex")
    commands = {
        "orvex --version": [tool, "--version"],
        "orvex decode": [tool, "decode", "88 04 03 E7 39 30 00 00 00"],
    }
    print(f"median of {args.runs} paired runs against {FLOOR[0]}")
    print(f"{'command':<20} {'median ms':>10} {'/bin/true ms':>13} {'ratio':>7}")
    for name, argv in commands.items():
        took, floor, ratio = paired(argv, args.runs)
        print(f"{name:<20} {took * 1e3:>10.2f} {floor * 1e3:>13.2f} {ratio:>7.2f}")
    # What each program loads at start (ldd: the shared objects and the vDSO).
    print("shared objects loaded at start:")
    for name in ["orvex", "orvex-bluez", "orvex-bridge"]:
        path = os.path.join(args.build_dir, name)
        if os.path.exists(path):
            listed = subprocess.run(["ldd", path], capture_output=True, text=True, check=True)
            print(f"  {name:<14} {len(listed.stdout.splitlines())}")


if __name__ == "__main__":
    main()
