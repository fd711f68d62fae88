# SPDX-License-Identifier: Apache-2.0
"""One session over BlueZ's D-Bus interface: `orvex fake-bluez` serves the simulated reader
as org.bluez on a private bus, and a child interpreter reads its tag through the
process-wide link on the default (BlueZ) platform."""

from __future__ import annotations

import json
import os
import shutil
import subprocess

import pytest

from conftest import run_child

BUS_CONFIG = """<busconfig>
  <type>session</type>
  <listen>unix:tmpdir={tmp}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


@pytest.fixture
def private_bus(tmp_path):
    """A dbus-daemon of this test's own, stopped afterwards; yields its address."""
    if not shutil.which("dbus-daemon"):
        pytest.skip("dbus-daemon is not installed")
    config = tmp_path / "bus.conf"
    config.write_text(BUS_CONFIG.format(tmp=tmp_path))
    daemon = subprocess.Popen(
        ["dbus-daemon", "--nofork", f"--config-file={config}", "--print-address=1"],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        yield daemon.stdout.readline().strip()
    finally:
        daemon.terminate()
        daemon.wait(10)


@pytest.fixture
def fake_bluez(cli, private_bus, request):
    """The simulated reader served as org.bluez on the private bus (with the extra
    `orvex fake-bluez` arguments a test names by indirect parametrisation)."""
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=private_bus)
    extra = list(getattr(request, "param", []))
    server = subprocess.Popen([str(cli), "fake-bluez", *extra], stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert server.stdout.readline().strip() == "ready"
        yield env
    finally:
        server.terminate()
        server.wait(10)


def test_a_session_over_bluez_reads_the_tag_and_its_contact(fake_bluez):
    child = run_child("""
        import asyncio, json, orvex, orvex.aio

        async def main():
            async with orvex.aio.Reader.connect(timeout=20) as reader:
                reading = await reader.scan()
                ok = await reader.write_contact(tag=reading.scan.xpdr.id, phone="+1 555", email="BUS@TEST")
                again = await reader.scan()
                print(json.dumps({"version": reader.version, "id": reading.scan.xpdr.id,
                                  "phone": reading.contact.phone, "written": bool(ok),
                                  "after": again.contact.phone}))

        asyncio.run(main())
    """, timeout=90, env=fake_bluez)
    assert child.returncode == 0, child.stderr
    seen = json.loads(child.stdout.splitlines()[-1])
    assert seen["id"] == "999 000000012345"
    assert seen["phone"] == "+44 7946 0001"
    assert seen["written"] and seen["after"] == "+1 555".ljust(13)
    assert seen["version"]


@pytest.mark.parametrize("fake_bluez", [["--adapter", "hci1"]], indirect=True)
def test_a_session_of_its_own_on_a_chosen_adapter_reads_the_tag(fake_bluez):
    child = run_child("""
        import asyncio, orvex, orvex.aio

        async def main():
            async with orvex.aio.Reader.connect(adapter="hci1", timeout=20) as reader:
                reading = await reader.scan()
                # The session ran on a link of its own: the process-wide one was never made.
                print(reading.scan.xpdr.id, orvex._process_wide is None)

        asyncio.run(main())
    """, timeout=90, env=fake_bluez)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["999", "000000012345", "True"]


@pytest.mark.parametrize("fake_bluez", [["--adapter", "hci1"]], indirect=True)
def test_an_adapter_that_is_not_there_is_reported(fake_bluez):
    child = run_child("""
        import asyncio, orvex, orvex.aio

        async def main():
            try:
                async with orvex.aio.Reader.connect(adapter="hci7", timeout=20):
                    print("connected")
            except ValueError as e:
                print("refused:", e)

        asyncio.run(main())
    """, timeout=90, env=fake_bluez)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "refused: no Bluetooth adapter hci7", child.stdout
