# SPDX-License-Identifier: Apache-2.0
"""Sessions through orvex.aio on the simulated reader: the happy path, failures, faults,
a reader that goes away, and cancellation."""

from __future__ import annotations

import asyncio
import time

import pytest

import orvex
import orvex.aio
import orvex.sim
from conftest import run_child
from orvex.sim import DeviceTiming, SimFaults, SimReaderConfig, SimTag


TAG = "999 000000012345"


def config(**knobs) -> SimReaderConfig:
    return SimReaderConfig(**knobs)


@pytest.mark.asyncio
async def test_a_whole_session_reads_writes_and_exports():
    async with orvex.aio.Reader.connect(sim=True) as reader:
        assert reader.version and reader.battery is not None
        reading = await reader.scan(timeout=25)
        assert reading.scan.xpdr.id == TAG
        assert reading.contact.phone == "+44 7946 0001"

        ok = await reader.write_contact(tag=TAG, phone="+44 7946 0002", email="A@B.C")
        assert ok and ok.status is orvex.OrvexContactStatus.success
        assert (await reader.scan()).contact == orvex.Contact("+44 7946 0002", "A@B.C".ljust(25))

        records = [record async for record in reader.export_records(quiet=0.5)]
        assert [r.number for r in records] == [1, 2, 3]
        assert [r.result.scan.xpdr.type_name for r in records] == ["FDXB", "HDX", "EM4102"]
    assert not reader.is_connected and not reader.link.is_connected


@pytest.mark.asyncio
async def test_trigger_readings_arrive_until_the_iteration_is_cancelled():
    async with orvex.aio.Reader.connect(sim=True) as reader:
        got = []

        async def collect():
            async for reading in reader.readings():
                got.append(reading)

        task = asyncio.create_task(collect())
        await asyncio.sleep(0.05)
        for _ in range(2):
            reader.sim_reader.trigger_reading()
            await asyncio.sleep(0.6)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert [r.scan.xpdr.id for r in got] == [TAG, TAG]
        assert (await reader.scan()).scan.xpdr.id == TAG  # the session goes on


@pytest.mark.parametrize(
    "knobs",
    [
        pytest.param(dict(tag_in_field=None), id="no-tag-in-the-field"),
        pytest.param(dict(tags=[SimTag(type=1, country=124, national_number=1234)]), id="an-hdx-tag"),
    ],
)
@pytest.mark.asyncio
async def test_a_scan_without_a_readable_fdxb_tag_raises_scan_failed(knobs):
    async with orvex.aio.Reader.connect(sim=config(**knobs)) as reader:
        with pytest.raises(orvex.ScanFailed):
            await reader.scan()
        assert reader.is_connected


@pytest.mark.parametrize(
    "tag,knobs,status",
    [
        pytest.param("999 000000099999", {}, orvex.OrvexContactStatus.wrongChip, id="another-tag-in-the-field"),
        pytest.param(TAG, dict(tags=[SimTag(writable=False)]), orvex.OrvexContactStatus.writeOperationFailed,
                     id="a-tag-refusing-the-write"),
    ],
)
@pytest.mark.asyncio
async def test_a_refused_write_is_false_with_its_status(tag, knobs, status):
    async with orvex.aio.Reader.connect(sim=config(**knobs)) as reader:
        outcome = await reader.write_contact(tag=tag, phone="+1", email="A@B.C")
        assert not outcome and outcome.status is status


def test_a_disconnection_mid_write_raises_disconnected():
    # In a child: the process-wide link keeps what the session left behind.
    child = run_child("""
        import asyncio, orvex, orvex.aio
        from orvex.sim import SimFaults, SimReaderConfig

        async def main():
            faults = SimFaults(disconnect_on_contact_write=True)
            async with orvex.aio.Reader.connect(sim=SimReaderConfig(faults=faults)) as reader:
                try:
                    await reader.write_contact(tag="999 000000012345", phone="+1", email="A@B.C")
                except orvex.Disconnected as error:
                    print("write:", error.cause.name)
                try:
                    await reader.scan()
                except orvex.Disconnected:
                    print("scan: Disconnected")

        asyncio.run(main())
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["write: connectionInterrupted", "scan: Disconnected"]


@pytest.mark.asyncio
async def test_a_reader_that_vanishes_ends_the_readings_and_leaving_does_not_hang():
    started = time.monotonic()
    async with orvex.aio.Reader.connect(sim=True) as reader:
        async def consume():
            async for _ in reader.readings():
                pass

        task = asyncio.create_task(consume())
        await asyncio.sleep(0.05)
        reader.sim_reader.vanish()
        with pytest.raises(orvex.Disconnected):
            await asyncio.wait_for(task, 10)
    assert time.monotonic() - started < 10


@pytest.mark.asyncio
async def test_garbage_between_answers_leaves_readings_intact():
    faults = SimFaults(garbage_rate=0.3, random_start=7)
    async with orvex.aio.Reader.connect(sim=config(faults=faults)) as reader:
        for _ in range(3):
            assert (await reader.scan()).contact.phone == "+44 7946 0001"


# The two tests below call a connection off half-way. The link's own connection timer
# (10 s) outlives that and would end a later connection of this process-wide link, so
# they run in a child interpreter.

def test_a_cancelled_connection_leaves_the_link_free_for_the_next_session():
    child = run_child("""
        import asyncio, orvex, orvex.aio, orvex.sim

        async def hold_slow_reader():
            timing = orvex.sim.DeviceTiming(connect_delay=30.0)
            sim = orvex.sim.SimReader.attach(orvex.sim.shared_platform(), orvex.sim.SimReaderConfig(), timing)
            try:
                async with orvex.aio.Reader.connect(sim=False, link=orvex.reader()):
                    await asyncio.sleep(60)
            finally:
                sim.vanish()

        async def main():
            orvex.use_platform(orvex.sim.shared_platform())
            task = asyncio.create_task(hold_slow_reader())
            await asyncio.sleep(0.3)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                print("cancelled", orvex.reader().is_connected)
            async with orvex.aio.Reader.connect(sim=True) as reader:
                print((await reader.scan()).scan.xpdr.id)

        asyncio.run(main())
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["cancelled False", TAG]


def test_a_search_that_finds_nothing_times_out_and_the_interpreter_still_exits():
    child = run_child("""
        import asyncio, time, orvex, orvex.aio, orvex.sim

        async def main():
            started = time.monotonic()
            try:
                await orvex.aio.Reader.connect(sim=orvex.sim.SimReaderConfig(name="NOT A READER"), timeout=1.0)
            except asyncio.TimeoutError:
                print("timed out", time.monotonic() - started < 5)
            # The link searches on until its own connection timer ends the search.

        asyncio.run(main())
    """, timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["timed out True"]


@pytest.mark.asyncio
async def test_a_cancelled_scan_does_not_disturb_the_next_one():
    async with orvex.aio.Reader.connect(sim=config(answer_delay=0.3)) as reader:
        task = asyncio.create_task(reader.scan())
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.sleep(1.0)  # the cancelled reading completes meanwhile, unheard
        result = await reader.scan()
        assert result.contact.phone == "+44 7946 0001"


@pytest.mark.asyncio
async def test_one_session_at_a_time_on_the_process_wide_link():
    async with orvex.aio.Reader.connect(sim=True):
        with pytest.raises(RuntimeError, match="in use"):
            await orvex.aio.Reader.connect(sim=True)
