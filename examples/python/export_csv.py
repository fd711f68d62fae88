#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Export the readings stored on the reader as CSV (number, type, id, date).

    python3 export_csv.py --sim > readings.csv
    python3 export_csv.py --output readings.csv     # then start the export on the reader
"""

import argparse
import asyncio
import csv
import sys
from datetime import datetime, timezone

import orvex
import orvex.aio


async def main(args: argparse.Namespace) -> None:
    out = open(args.output, "w", newline="") if args.output else sys.stdout
    try:
        writer = csv.writer(out)
        writer.writerow(["number", "type", "id", "date"])
        async with orvex.aio.Reader.connect(sim=args.sim) as reader:
            async for record in reader.export_records(quiet=args.quiet, timeout=args.timeout):
                scan = record.result.scan if record.result else None
                if scan is None or scan.xpdr is None:
                    continue
                date = datetime.fromtimestamp(scan.date, timezone.utc).isoformat(timespec="seconds")
                writer.writerow([record.number, scan.xpdr.type_name, scan.xpdr.id, date])
    finally:
        if out is not sys.stdout:
            out.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", action="store_true", help="use the simulated reader")
    parser.add_argument("--output", help="CSV file to write (default: standard output)")
    parser.add_argument("--quiet", type=float, default=2.0, help="seconds of silence that end the export")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds to wait for the first record")
    try:
        asyncio.run(main(parser.parse_args()))
    except orvex.ReaderError as error:
        raise SystemExit(f"export_csv: {error}")
