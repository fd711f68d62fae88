#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Print every tag the reader reads, through the delegate interface.

    python3 read_tags.py --sim --count 3    # the simulated reader's trigger fires every second
    python3 read_tags.py                    # a real reader: pull its trigger; Ctrl-C ends
"""

import argparse
import threading

import orvex
import orvex.sim


class Printer(orvex.ReaderDelegate):
    """Called on the link's own thread; it only prints and counts."""

    def __init__(self, link: orvex.Link, count: int) -> None:
        self.link = link
        self.left = count
        self.ready = threading.Event()
        self.done = threading.Event()

    def on_bt_reader(self) -> None:
        self.link.connect_to_reader()

    def on_bt_error(self, reason) -> None:
        print(f"Bluetooth unusable: {reason.name}")
        self.done.set()

    def on_connection_failed(self, error) -> None:
        print(f"connection failed: {error.name}")
        self.done.set()

    def on_version(self, text: str) -> None:
        print(f"connected to {text}")

    def on_battery(self, level: int) -> None:
        self.ready.set()

    def on_scan_received(self, result, contact_pending: bool) -> None:
        if contact_pending or result is None:
            return  # an FDX-B reading comes again once its contact has been read
        owner = f" (owner {result.contact.phone})" if result.contact else ""
        print(f"{result.scan.xpdr}{owner}")
        self.left -= 1
        if self.left == 0:
            self.done.set()

    def on_reader_disconnected(self, cause) -> None:
        print(f"disconnected: {cause.name}")
        self.done.set()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", action="store_true", help="use the simulated reader")
    parser.add_argument("--count", type=int, default=-1, help="stop after this many readings")
    args = parser.parse_args()

    sim_reader = None
    if args.sim:
        platform = orvex.sim.SimPlatform(orvex.sim.Clock.realTime)
        sim_reader = orvex.sim.SimReader.attach(platform)
        orvex.use_platform(platform)
    link = orvex.reader()
    printer = Printer(link, args.count)
    link.delegate = printer
    link.initialize_bluetooth()
    try:
        if sim_reader is not None and printer.ready.wait(30):
            while not printer.done.wait(1.0):
                sim_reader.trigger_reading()  # someone pulls the trigger every second
        printer.done.wait()
    except KeyboardInterrupt:
        pass
    finally:
        link.disconnect_from_reader()
        link.delegate = None


if __name__ == "__main__":
    main()
