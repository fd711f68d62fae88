# SPDX-License-Identifier: Apache-2.0
"""Eight Python threads calling one link at once."""

from __future__ import annotations

import threading
from collections import Counter

import orvex
from conftest import Recorder, connect

THREADS = 8
ROUNDS = 25


def test_eight_threads_drive_one_link_and_every_completion_comes_once(sim_session):
    link, attach = sim_session
    attach()
    recorder = Recorder()
    connect(link, recorder)

    outcomes: Counter = Counter()
    calls: Counter = Counter()
    lock = threading.Lock()
    start = threading.Barrier(THREADS)
    failures = []

    def completion_for(key):
        def completion(ok, status):
            with lock:
                calls[key] += 1
                outcomes[status] += 1
        return completion

    def worker(index: int) -> None:
        try:
            start.wait()
            for round_ in range(ROUNDS):
                key = (index, round_)
                if round_ % 5 == 0:
                    link.write_contact("999 000000012345", f"+44 7946 {index:04d}", "A@B.C",
                                       completion_for(key))
                else:
                    link.scan()
                assert link.is_ready
                _ = (link.is_connected, link.is_scanning, link.delegate)
        except BaseException as error:  # reported to the main thread below
            failures.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert not failures
    assert not any(thread.is_alive() for thread in threads)

    writes = THREADS * len(range(0, ROUNDS, 5))
    deadline_wait = threading.Event()
    for _ in range(300):
        with lock:
            if sum(calls.values()) >= writes:
                break
        deadline_wait.wait(0.1)
    with lock:
        assert len(calls) == writes and set(calls.values()) == {1}
        # Writes overlapping one under way are refused; at least one gets through.
        assert set(outcomes) <= {orvex.OrvexContactStatus.success, orvex.OrvexContactStatus.protocolError}
        assert outcomes[orvex.OrvexContactStatus.success] >= 1

    # The link still works for one more ordinary reading.
    link.scan()
    recorder.wait_for("on_scan_received", lambda result, pending: not pending, timeout=30)
    assert link.is_connected
