#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A whole session with orvex.aio: read a tag with its owner contact, write a new contact
to it, and export the readings stored on the reader.

    python3 aio_session.py --sim        # against the simulated reader
    python3 aio_session.py              # against a real reader, through BlueZ
"""

import argparse
import asyncio
import time

import orvex
import orvex.aio


async def main(sim: bool) -> None:
    started = time.monotonic()
    async with orvex.aio.Reader.connect(sim=sim) as reader:
        print(f"connected: {reader.version}, battery {reader.battery}%")

        reading = await reader.scan(timeout=25)
        contact = reading.contact
        print(f"read {reading.scan.xpdr}")
        print(f"  owner: {contact.phone} {contact.email.strip()}" if contact else "  no owner contact")

        outcome = await reader.write_contact(
            tag=reading.scan.xpdr.id, phone="+44 7946 0002", email="NEW.OWNER@EXAMPLE.COM"
        )
        print(f"contact write: {outcome.status.name}")

        count = 0
        async for record in reader.export_records(quiet=1.0):
            count += 1
            print(f"  stored #{record.number}: {record.result.scan.xpdr if record.result else '-'}")
        print(f"exported {count} stored readings")
    print(f"done in {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", action="store_true", help="use the simulated reader")
    try:
        asyncio.run(main(parser.parse_args().sim))
    except orvex.ReaderError as error:
        raise SystemExit(f"aio_session: {error}")
