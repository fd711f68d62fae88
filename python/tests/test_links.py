# SPDX-License-Identifier: Apache-2.0
"""Independent links: several readers at once on one platform, each link bound to its own."""

from __future__ import annotations

import asyncio

import pytest

import orvex
import orvex.aio
import orvex.sim
from conftest import Recorder, connect

LEFT, RIGHT = "C4:00:00:00:00:A1", "C4:00:00:00:00:A2"


def reader_config(address: str, national: int) -> orvex.sim.SimReaderConfig:
    tag = orvex.sim.SimTag(type=4, country=999, national_number=national)
    return orvex.sim.SimReaderConfig(name="KX-BT4 0001", address=address, tags=[tag])


@pytest.fixture
def two_readers():
    """A real-time simulated platform holding two readers that share a name."""
    platform = orvex.sim.SimPlatform(orvex.sim.Clock.realTime)
    readers = [
        orvex.sim.SimReader.attach(platform, reader_config(LEFT, 1001), orvex.sim.DeviceTiming()),
        orvex.sim.SimReader.attach(platform, reader_config(RIGHT, 1002), orvex.sim.DeviceTiming()),
    ]
    yield platform, readers
    platform.shutdown()


def test_two_links_on_one_platform_each_read_their_own_reader(two_readers):
    platform, _ = two_readers
    sessions = []
    for address in (RIGHT, LEFT):
        link = orvex.create_link(platform)
        link.set_reader_address(address)
        recorder = Recorder()
        connect(link, recorder)
        sessions.append((link, recorder))
    for link, _ in sessions:
        link.scan()
    ids = [recorder.wait_for("on_scan_received")[0].scan.xpdr.id for _, recorder in sessions]
    assert ids == ["999 000000001002", "999 000000001001"]
    for link, recorder in sessions:
        link.disconnect_from_reader()
        recorder.wait_for("on_reader_disconnected")
        link.delegate = None


def test_letting_an_independent_link_go_lets_its_reader_go(two_readers):
    platform, _ = two_readers
    link = orvex.create_link(platform)
    link.set_reader_address(LEFT)
    connect(link, Recorder())
    del link  # no disconnect: dropping the last reference ends the connection
    again = orvex.create_link(platform)
    again.set_reader_address(LEFT)
    recorder = Recorder()
    connect(again, recorder)  # the reader takes one connection at a time: it was freed
    again.delegate = None


def test_sessions_with_their_own_links_run_at_once():
    async def session(address: str, national: int) -> str:
        config = reader_config(address, national)
        async with orvex.aio.Reader.connect(sim=config, address=address, timeout=20) as reader:
            reading = await reader.scan()
            return reading.scan.xpdr.id

    async def main():
        return await asyncio.gather(session(LEFT, 2001), session(RIGHT, 2002))

    assert asyncio.run(main()) == ["999 000000002001", "999 000000002002"]


@pytest.mark.parametrize(
    "arguments, complaint",
    [
        ({"call_timeout": 0}, "call_timeout must be more than 0"),
        ({"connect_timeout": -1}, "connect_timeout must be more than 0"),
    ],
    ids=["a_zero_call_timeout", "a_negative_connect_timeout"],
)
def test_a_bluez_platform_with_a_bad_option_is_refused_with_the_reason(arguments, complaint):
    with pytest.raises(ValueError, match=complaint):
        orvex.bluez_platform(**arguments)


def test_an_adapter_with_a_simulated_session_is_refused():
    with pytest.raises(ValueError, match="simulated session"):
        orvex.aio.Reader.connect(sim=True, adapter="hci1")
