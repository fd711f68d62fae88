#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Write an owner contact to the tag in the reader's field, then read it back.

    python3 write_contact.py --sim --phone "+44 7946 0001" --email OWNER@EXAMPLE.COM
"""

import argparse
import asyncio

import orvex
import orvex.aio


async def main(args: argparse.Namespace) -> int:
    async with orvex.aio.Reader.connect(sim=args.sim) as reader:
        tag = args.tag or (await reader.scan()).scan.xpdr.id
        outcome = await reader.write_contact(tag=tag, phone=args.phone, email=args.email)
        if not outcome:
            print(f"{tag}: write refused ({outcome.status.name})")
            return 1
        contact = (await reader.scan()).contact
        print(f"{tag}: now {contact.phone} {contact.email.strip()}")
        return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", action="store_true", help="use the simulated reader")
    parser.add_argument("--tag", help='the tag, "999 000000012345" (default: the one in the field)')
    parser.add_argument("--phone", required=True, help='telephone text, "+" and 12 digits or spaces')
    parser.add_argument("--email", required=True, help="e-mail text, up to 25 characters")
    try:
        raise SystemExit(asyncio.run(main(parser.parse_args())))
    except orvex.ReaderError as error:
        raise SystemExit(f"write_contact: {error}")
