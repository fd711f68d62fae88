# SPDX-License-Identifier: Apache-2.0
"""Shared fixtures: the simulated world of the process-wide link, a recording delegate,
and the paths of the command-line tool and the package under test."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path
from typing import Any, Callable, List, Optional, Tuple

import pytest

import orvex
import orvex.sim

EVENTS = [
    "on_bt_reader", "on_bt_error", "on_bt_powering_down", "on_ble_detected", "on_connecting",
    "on_connection_failed", "on_reader_connected", "on_reader_disconnected",
    "on_scan_received", "on_reader_scanning", "on_export_received", "on_scan_failed",
    "on_version", "on_battery", "on_start_update", "on_update_status", "on_end_update",
]


class Recorder(orvex.ReaderDelegate):
    """Records every event with the thread it came on; tests wait for the ones they need."""

    def __init__(self) -> None:
        self.events: List[Tuple[str, tuple]] = []
        self.threads: set = set()
        self._seen = 0
        self._changed = threading.Condition()

    def record(self, name: str, *args: Any) -> None:
        with self._changed:
            self.events.append((name, args))
            self.threads.add(threading.get_ident())
            self._changed.notify_all()

    def wait_for(
        self, name: str, where: Callable[..., bool] = lambda *a: True, timeout: float = 10.0
    ) -> tuple:
        """The arguments of the next `name` event (after those already waited for)."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for index in range(self._seen, len(self.events)):
                    event, args = self.events[index]
                    if event == name and where(*args):
                        self._seen = index + 1
                        return args
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no {name} within {timeout} s; got {self.events}")
                self._changed.wait(left)

    def names(self) -> List[str]:
        with self._changed:
            return [name for name, _ in self.events]


for _event in EVENTS:
    setattr(Recorder, _event, lambda self, *args, _name=_event: self.record(_name, *args))


@pytest.fixture
def recorder() -> Recorder:
    return Recorder()


def process_wide_sim_link() -> orvex.Link:
    """The process-wide link, on the shared simulated platform."""
    orvex.use_platform(orvex.sim.shared_platform())
    return orvex.reader()


@pytest.fixture
def sim_session():
    """Makes simulated readers for the process-wide link; afterwards they vanish and the
    link is left disconnected with no delegate."""
    link = process_wide_sim_link()
    readers: List[orvex.sim.SimReader] = []

    def attach(config: Optional[orvex.sim.SimReaderConfig] = None, **timing: float):
        reader = orvex.sim.SimReader.attach(
            orvex.sim.shared_platform(),
            config or orvex.sim.SimReaderConfig(),
            orvex.sim.DeviceTiming(**timing),
        )
        readers.append(reader)
        return reader

    yield link, attach
    link.disconnect_from_reader()
    for reader in readers:
        reader.vanish()
    deadline = time.monotonic() + 5
    while link.is_connected and time.monotonic() < deadline:
        time.sleep(0.01)
    link.delegate = None


def connect(link: orvex.Link, recorder: Recorder) -> None:
    """Brings the link up with `recorder` as its delegate: connected, version and battery read."""
    link.delegate = recorder
    if not link.is_ready:
        link.initialize_bluetooth()
        recorder.wait_for("on_bt_reader")
    link.connect_to_reader()
    recorder.wait_for("on_reader_connected")
    recorder.wait_for("on_battery")


@pytest.fixture(scope="session")
def cli() -> Path:
    """The orvex tool of the build tree the package comes from."""
    found = os.environ.get("ORVEX_CLI") or shutil.which("orvex")
    candidate = Path(found) if found else Path(orvex.__file__).resolve().parents[2] / "orvex"
    if not candidate.exists():
        pytest.skip("the orvex tool is not at hand (set ORVEX_CLI)")
    return candidate


def run_child(code: str, timeout: float = 60.0, env: Optional[dict] = None) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (with this one's package path); fails the test
    if it has not ended within `timeout` seconds."""
    child_env = dict(os.environ if env is None else env)
    child_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, env=child_env,
    )
