# SPDX-License-Identifier: Apache-2.0
"""Whole sessions through the link and a Python delegate, on the simulated reader."""

from __future__ import annotations

import logging
import threading

import pytest

import orvex
import orvex.sim
from conftest import Recorder, connect, run_child


def test_a_whole_session_reaches_the_delegate_on_the_links_thread(sim_session, recorder):
    link, attach = sim_session
    sim = attach()
    connect(link, recorder)
    assert link.is_connected and link.is_ready
    assert link.delegate is recorder

    link.scan()
    first, pending = recorder.wait_for("on_scan_received")
    assert pending and first.scan.xpdr.id == "999 000000012345" and first.contact is None
    result, pending = recorder.wait_for("on_scan_received")
    assert not pending
    assert result.contact == orvex.Contact("+44 7946 0001", "OWNER@EXAMPLE.COM        ")

    outcomes = []
    written = threading.Event()

    def completion(ok, status):
        outcomes.append((ok, status))
        written.set()

    link.write_contact("999 000000012345", "+33 6123 4567", "NEW@OWNER.FR", completion)
    assert written.wait(10)
    assert outcomes == [(True, orvex.OrvexContactStatus.success)]
    stored = sim.config.tags[0].contact
    assert orvex.Contact.decode(stored) == orvex.Contact("+33 6123 4567", "NEW@OWNER.FR".ljust(25))

    sim.trigger_reading()
    recorder.wait_for("on_scan_received", lambda result, pending: not pending)

    link.disconnect_from_reader()
    (cause,) = recorder.wait_for("on_reader_disconnected")
    assert isinstance(cause, orvex.OrvexDisconnectionCause)
    assert threading.get_ident() not in recorder.threads
    assert len(recorder.threads) == 1  # one link thread, one call at a time


def test_an_export_arrives_record_by_record(sim_session, recorder):
    link, attach = sim_session
    sim = attach()
    connect(link, recorder)
    sim.export_readings()
    numbers = [recorder.wait_for("on_export_received")[1] for _ in range(3)]
    assert numbers == [1, 2, 3]


def test_a_micro_app_upload_is_reported_slice_by_slice(sim_session, recorder):
    link, attach = sim_session
    orvex.sim.shared_platform().set_micro_app_image(bytes(range(256)) * 8)
    try:
        sim = attach(orvex.sim.SimReaderConfig(micro_app_current=False))
        connect(link, recorder)
    finally:
        orvex.sim.shared_platform().set_micro_app_image(None)
    events = dict(recorder.events)  # each kept once, at its last occurrence
    assert events["on_end_update"] == (orvex.OrvexDeviceUpdateStatus.successful,)
    assert events["on_update_status"] == (events["on_start_update"][0],)
    assert sim.uploaded_image.endswith(bytes(range(256)))


def test_a_reading_survives_garbage_between_answers(sim_session, recorder):
    link, attach = sim_session
    faults = orvex.sim.SimFaults(garbage_rate=0.3, random_start=7)
    attach(orvex.sim.SimReaderConfig(faults=faults))
    connect(link, recorder)
    link.scan()
    result, _ = recorder.wait_for("on_scan_received", lambda r, pending: not pending)
    assert result.contact.phone == "+44 7946 0001"


def test_a_disconnection_mid_write_ends_the_link_and_a_new_connection_reads_again():
    # In a child: the process-wide link keeps what the session left behind.
    child = run_child("""
        import threading, orvex, orvex.sim
        from conftest import Recorder, connect, process_wide_sim_link

        link = process_wide_sim_link()
        faults = orvex.sim.SimFaults(disconnect_on_contact_write=True)
        platform = orvex.sim.shared_platform()
        sim = orvex.sim.SimReader.attach(platform, orvex.sim.SimReaderConfig(faults=faults))
        recorder = Recorder()
        connect(link, recorder)
        written = threading.Event()
        outcomes = []
        def completion(ok, status):
            outcomes.append((ok, status.name))
            written.set()
        link.write_contact("999 000000012345", "+1", "A@B.C", completion)
        (cause,) = recorder.wait_for("on_reader_disconnected")
        print(cause.name, link.is_connected)
        assert written.wait(5)
        print(outcomes)

        sim.vanish()
        orvex.sim.SimReader.attach(platform)
        link.connect_to_reader()
        recorder.wait_for("on_reader_connected")
        recorder.wait_for("on_battery")
        link.scan()
        result, _ = recorder.wait_for("on_scan_received", lambda r, pending: not pending)
        print(result.contact.phone)
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "connectionInterrupted False",
        "[(False, 'writeOperationFailed')]",
        "+44 7946 0001",
    ]


class Raising(Recorder):
    """Records, then raises, in the callbacks named."""

    def __init__(self, *failing: str) -> None:
        super().__init__()
        self.failing = set(failing)

    def record(self, name, *args):
        super().record(name, *args)
        if name in self.failing:
            raise RuntimeError(f"host bug in {name}")


def test_a_raising_callback_is_logged_and_the_link_goes_on(sim_session, caplog):
    link, attach = sim_session
    attach()
    delegate = Raising("on_version", "on_scan_received")
    with caplog.at_level(logging.ERROR, logger="orvex"):
        connect(link, delegate)
        link.scan()
        delegate.wait_for("on_scan_received", lambda r, pending: not pending)
    messages = [r for r in caplog.records if r.name == "orvex"]
    assert any("on_version" in r.getMessage() for r in messages)
    assert all(r.exc_info and "host bug" in str(r.exc_info[1]) for r in messages)
    assert link.is_connected


def test_a_raising_write_completion_is_logged(sim_session, recorder, caplog):
    link, attach = sim_session
    attach()
    connect(link, recorder)
    done = threading.Event()

    def completion(ok, status):
        done.set()
        raise ValueError("completion bug")

    with caplog.at_level(logging.ERROR, logger="orvex"):
        link.write_contact("999 000000012345", "+1", "A@B.C", completion)
        assert done.wait(10)
        link.scan()  # the link still answers after the completion raised
        recorder.wait_for("on_scan_received", lambda r, pending: not pending)
    assert any("write_contact completion" in r.getMessage() for r in caplog.records)


def test_a_delegate_needs_only_the_methods_it_wants(sim_session):
    link, attach = sim_session
    attach()
    connected = threading.Event()

    class Minimal:
        def on_bt_reader(self):
            link.connect_to_reader()  # calling the link from a callback is allowed

        def on_reader_connected(self):
            connected.set()

    link.delegate = Minimal()
    if link.is_ready:
        link.connect_to_reader()
    else:
        link.initialize_bluetooth()
    assert connected.wait(10)


def test_the_delegate_can_be_replaced_and_removed(sim_session, recorder):
    link, attach = sim_session
    link.delegate = recorder
    assert link.delegate is recorder
    link.delegate = None
    assert link.delegate is None
