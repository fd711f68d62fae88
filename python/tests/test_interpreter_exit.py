# SPDX-License-Identifier: Apache-2.0
"""The interpreter ends cleanly, and promptly, whatever the link is doing at the time."""

from __future__ import annotations

import pytest

from conftest import run_child

ENDINGS = [
    pytest.param(
        """
        import orvex, orvex.sim
        from conftest import connect, process_wide_sim_link, Recorder

        class Raising(Recorder):
            def record(self, name, *args):
                super().record(name, *args)
                raise RuntimeError("host bug in " + name)

        link = process_wide_sim_link()
        sim = orvex.sim.SimReader.attach(orvex.sim.shared_platform())
        connect(link, Raising())
        sim.trigger_reading()
        link.scan()
        print("leaving")
        """,
        id="raising-callbacks-while-readings-arrive",
    ),
    pytest.param(
        """
        import asyncio, orvex, orvex.aio

        async def main():
            reader = await orvex.aio.Reader.connect(sim=True)   # never closed
            task = asyncio.create_task(reader.scan())
            await asyncio.sleep(0)
            task.cancel()
            reader.sim_reader.trigger_reading()
            print("leaving")

        asyncio.run(main())
        """,
        id="an-open-session-and-a-cancelled-scan",
    ),
    pytest.param(
        """
        import asyncio, orvex, orvex.aio

        async def main():
            async with orvex.aio.Reader.connect(sim=True) as reader:
                reader.sim_reader.vanish()
                try:
                    await reader.scan()
                except orvex.Disconnected:
                    pass
            print("leaving")

        asyncio.run(main())
        """,
        id="a-vanished-reader",
    ),
    pytest.param(
        """
        import threading, orvex, orvex.sim
        from conftest import process_wide_sim_link

        link = process_wide_sim_link()
        orvex.sim.SimReader.attach(orvex.sim.shared_platform())

        class Busy:
            # Calls back into the link from its thread, for as long as it is called.
            def on_bt_reader(self):
                link.connect_to_reader()
            def on_battery(self, level):
                link.scan()
            def on_scan_failed(self):
                link.scan()
            def on_scan_received(self, result, pending):
                if not pending:
                    link.scan()

        link.delegate = Busy()
        link.initialize_bluetooth()
        threading.Event().wait(1.0)
        print("leaving")
        """,
        id="a-delegate-calling-back-into-the-link",
    ),
]


@pytest.mark.parametrize("script", ENDINGS)
def test_the_interpreter_exits_cleanly(script):
    child = run_child(script, timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip().endswith("leaving")
    assert "Fatal Python error" not in child.stderr
