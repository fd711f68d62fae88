#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The real-stack benchmark's table, from the figures guest-bench.sh wrote.

Each line of the figures file is "<stack> <path> <figure> <value...>". Printed per path:
the median of each connection figure and of the scan round trips on the real stack and on
the fake org.bluez of the same boot, with their ratio; and the best upload of three on each,
as a ratio to its round-trip bound (slices x the reader's answer delay).

    summary.py FIGURES [--answer-delay SECONDS]
"""
import argparse
import statistics
import sys
from collections import defaultdict

FIGURES = [
    ("found", "discovery start -> reader found"),
    ("handshake", "found -> handshake done"),
    ("setup", "handshake -> version, check, battery"),
    ("round-trip", "scan request -> reading (round trip)"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("figures")
    parser.add_argument("--answer-delay", type=float, default=0.05)
    args = parser.parse_args()
    values = defaultdict(list)
    uploads = defaultdict(list)
    with open(args.figures) as lines:
        for line in lines:
            words = line.split()
            if len(words) < 4:
                continue
            stack, path, figure = words[:3]
            if figure == "upload" and len(words) == 5:
                uploads[stack, path].append((float(words[4]), int(words[3])))
            else:
                values[stack, path, figure].append(float(words[3]))
    paths = sorted({path for (_, path, _) in values} | {path for (_, path) in uploads})
    if not paths:
        sys.exit("realstack bench: no figures")
    print(f"{'figure (median)':<40} {'path':<11} {'real ms':>9} {'fake ms':>9} {'real/fake':>9}")
    for figure, title in FIGURES:
        for path in paths:
            real = values.get(("real", path, figure))
            fake = values.get(("fake", path, figure))
            cells = [f"{statistics.median(v) * 1e3:9.1f}" if v else f"{'-':>9}" for v in (real, fake)]
            ratio = (f"{statistics.median(real) / statistics.median(fake):9.2f}"
                     if real and fake and statistics.median(fake) > 0 else f"{'-':>9}")
            count = len(real or [])
            print(f"{title:<40} {path:<11} {cells[0]} {cells[1]} {ratio}  (n={count})")
    print(f"micro-app upload, best of 3 (answer delay {args.answer_delay * 1e3:.0f} ms):")
    print(f"{'':<40} {'path':<11} {'real s':>9} {'fake s':>9}   bound ratio real / fake")
    for path in paths:
        best = {stack: min(uploads[stack, path]) if uploads.get((stack, path)) else None
                for stack in ("real", "fake")}
        cells, ratios = [], []
        for stack in ("real", "fake"):
            if best[stack]:
                wall, slices = best[stack]
                cells.append(f"{wall:9.3f}")
                ratios.append(f"{wall / (slices * args.answer_delay):.2f}")
            else:
                cells.append(f"{'-':>9}")
                ratios.append("-")
        slices = (best["real"] or best["fake"] or (0, 0))[1]
        print(f"{f'{slices} slices':<40} {path:<11} {cells[0]} {cells[1]}   {ratios[0]} / {ratios[1]}")


if __name__ == "__main__":
    main()
