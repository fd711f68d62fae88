# SPDX-License-Identifier: Apache-2.0
"""An asyncio interface to a reader.

::

    async with orvex.aio.Reader.connect(sim=True) as reader:
        print(reader.version, reader.battery)
        reading = await reader.scan(timeout=25)
        ok = await reader.write_contact(tag=reading.scan.xpdr.id, phone="+44 7946 0001",
                                        email="A@B.C")
        async for record in reader.export_records():
            ...

The link's events arrive on its own thread and are handed to the event loop with
``loop.call_soon_threadsafe``; every method here runs on the loop. Cancelling a task that
awaits a method leaves the session usable. Leaving ``async with`` disconnects, waiting a few
seconds at most, also when the reader is gone.
"""

from __future__ import annotations

import asyncio
import threading
from typing import Any, AsyncIterator, Callable, List, NamedTuple, Optional, Union

from . import reader as _process_wide_link
from . import sim as _sim
from . import _process_wide_platform
from . import use_platform as _use_platform
from . import bluez_platform as _bluez_platform
from . import create_link as _create_link
from ._core import Link, ScanResult
from ._enums import OrvexBluetoothError, OrvexContactStatus
from ._errors import BluetoothUnavailable, ConnectionFailed, Disconnected, ScanFailed

__all__ = ["ContactWrite", "ExportedReading", "Reader"]

# How long leaving a session waits for the reader to confirm the disconnection, and for a
# search under way to end.
DISCONNECT_WAIT = 3.0
SEARCH_STOP_WAIT = 0.5

_MISS = object()
_LINK_ENDS = ("on_reader_disconnected", "on_connection_failed", "on_bt_error")


class ContactWrite(NamedTuple):
    """The outcome of a contact write; true when the write succeeded."""

    ok: bool
    status: OrvexContactStatus

    def __bool__(self) -> bool:
        return self.ok


class ExportedReading(NamedTuple):
    """One stored reading sent by an export: its record number and the reading."""

    number: int
    result: Optional[ScanResult]


class _Pump:
    """The link's delegate: hands every event to the event loop, nothing more."""

    def __init__(self, loop: asyncio.AbstractEventLoop, handler: Callable[[str, tuple], None]):
        self._loop = loop
        self._handler = handler

    def __getattr__(self, name: str) -> Callable[..., None]:
        if not name.startswith("on_"):
            raise AttributeError(name)

        def forward(*args: Any) -> None:
            self.post(name, args)

        return forward

    def post(self, name: str, args: tuple) -> None:
        try:
            self._loop.call_soon_threadsafe(self._handler, name, args)
        except RuntimeError:
            pass  # the loop is closed: nobody is listening any more


class _Waiter:
    """A future fed by the events that ``accept`` recognises."""

    def __init__(self, loop: asyncio.AbstractEventLoop, accept: Callable[[str, tuple], Any]):
        self.future: asyncio.Future = loop.create_future()
        self.accept = accept


def _link_end_error(name: str, args: tuple) -> Exception:
    if name == "on_bt_error":
        return BluetoothUnavailable(args[0])
    if name == "on_connection_failed":
        return ConnectionFailed(args[0])
    return Disconnected(args[0])


class _ProcessWideLink:
    """Guards the process-wide link: one session at a time uses it."""

    lock = threading.Lock()
    busy = False

    @classmethod
    def take(cls, sim: bool) -> Link:
        with cls.lock:
            if cls.busy:
                raise RuntimeError("the process-wide link is in use by another session")
            if sim:
                shared = _sim.shared_platform()
                _use_platform(shared)
                if _process_wide_platform() is not shared:
                    raise RuntimeError(
                        "the process-wide link already runs on another platform; "
                        "a simulated session needs it on the simulated one"
                    )
            link = _process_wide_link()
            cls.busy = True
            return link

    @classmethod
    def give_back(cls) -> None:
        with cls.lock:
            cls.busy = False


class Reader:
    """One session with a connected reader. Make it with ``Reader.connect(...)``."""

    def __init__(self, link: Link, *, sim_reader: Optional[_sim.SimReader] = None) -> None:
        self._loop = asyncio.get_running_loop()
        self._link = link
        self._sim_reader = sim_reader
        self._waiters: List[_Waiter] = []
        self._readings: List[asyncio.Queue] = []
        self._exports: List[asyncio.Queue] = []
        self._connected = False
        self._connecting = False
        self._closed = False
        self._version: Optional[str] = None
        self._battery: Optional[int] = None
        self._pump = _Pump(self._loop, self._event)
        self._release: Optional[Callable[[], None]] = None

    # ----------------------------------------------------------------- opening
    @classmethod
    def connect(
        cls,
        *,
        sim: Union[bool, _sim.SimReaderConfig] = False,
        link: Optional[Link] = None,
        adapter: Optional[str] = None,
        address: Optional[str] = None,
        micro_app_image: Optional[str] = None,
        timeout: float = 30.0,
    ) -> "_Connecting":
        """Connects to a reader; use with ``async with`` (or ``await`` it).

        ``sim=True`` (or a ``SimReaderConfig``) talks to a simulated reader on the
        simulated platform; ``link`` uses a link of your own; otherwise the process-wide
        link talks to a real reader through BlueZ. ``adapter`` (``"hci1"``) or ``address``
        (the reader's, ``"AA:BB:CC:DD:EE:FF"``) give the session a link of its own instead,
        on a BlueZ platform with that adapter (or on the simulated one), bound to that
        reader. ``timeout`` bounds each step of the connection (adapter, search, version,
        micro-app check, battery).
        """
        if adapter and sim:
            raise ValueError("adapter= chooses a BlueZ adapter; a simulated session has none")
        if adapter and link is not None:
            raise ValueError("adapter= makes a link of its own; it cannot be given with link=")
        return _Connecting(cls, sim, link, micro_app_image, timeout, adapter, address)

    async def _open(self, timeout: float) -> None:
        link = self._link
        link.delegate = self._pump
        if not link.is_ready:
            await self._run(
                link.initialize_bluetooth,
                lambda n, a: True if n == "on_bt_reader" else _MISS,
                timeout,
            )
        await self._run(
            link.connect_to_reader,
            lambda n, a: True if n == "on_reader_connected" else _MISS,
            timeout,
        )
        self._connected = True
        # Then the version, the micro-app check (perhaps an upload, each step of which
        # restarts the clock) and the battery level, after which the link is idle.
        steps = ("on_start_update", "on_update_status", "on_end_update", "on_version")
        while self._battery is None:
            await self._run(
                None,
                lambda n, a: n if n == "on_battery" or n in steps else _MISS,
                timeout,
            )

    # ----------------------------------------------------------------- state
    @property
    def link(self) -> Link:
        """The link this session drives."""
        return self._link

    @property
    def sim_reader(self) -> Optional[_sim.SimReader]:
        """The simulated reader of a ``sim`` session (None with a real reader)."""
        return self._sim_reader

    @property
    def version(self) -> Optional[str]:
        """The reader's version text."""
        return self._version

    @property
    def battery(self) -> Optional[int]:
        """The latest battery level, in percent."""
        return self._battery

    @property
    def is_connected(self) -> bool:
        """Whether the reader is connected."""
        return self._connected

    # ----------------------------------------------------------------- operations
    async def scan(self, timeout: float = 25.0) -> ScanResult:
        """Reads the tag in the reader's field, with the owner contact stored on it.

        Raises ``ScanFailed`` when no FDX-B tag is read, ``Disconnected`` when the reader
        goes away, ``asyncio.TimeoutError`` after ``timeout`` seconds.
        """
        self._require_connected()

        def accept(name: str, args: tuple) -> Any:
            if name == "on_scan_received" and not args[1]:
                return args[0]
            if name == "on_scan_failed":
                raise ScanFailed()
            return _MISS

        result = await self._run(self._link.scan, accept, timeout)
        if result is None:
            raise ScanFailed()
        return result

    async def write_contact(
        self, *, tag: str, phone: str, email: str, timeout: float = 30.0
    ) -> ContactWrite:
        """Writes a contact to the tag ``tag`` ("999 000000012345") in the reader's field.

        Returns a ``ContactWrite``, true when the write succeeded, with the status.
        Raises ``Disconnected`` when the reader is or goes away.
        """
        self._require_connected()
        token = object()

        def completion(ok: bool, status: OrvexContactStatus) -> None:
            self._pump.post("_write_done", (token, ok, status))

        def accept(name: str, args: tuple) -> Any:
            if name == "_write_done" and args[0] is token:
                return ContactWrite(args[1], args[2])
            return _MISS

        return await self._run(
            lambda: self._link.write_contact(tag, phone, email, completion), accept, timeout
        )

    async def readings(self) -> AsyncIterator[ScanResult]:
        """Every reading the reader reports (its trigger, and scan()), until cancelled.

        Raises ``Disconnected`` when the reader goes away.
        """
        self._require_connected()
        queue: asyncio.Queue = asyncio.Queue()
        self._readings.append(queue)
        try:
            while True:
                item = await queue.get()
                if isinstance(item, Exception):
                    raise item
                yield item
        finally:
            self._readings.remove(queue)

    async def export_records(
        self, *, quiet: float = 2.0, timeout: float = 30.0
    ) -> AsyncIterator[ExportedReading]:
        """The readings stored on the reader, as its export sends them.

        A simulated reader is asked to export; a real one exports when its user starts
        an export on it. The iteration waits up to ``timeout`` seconds for the first record
        and ends once the reader has been silent for ``quiet`` seconds.
        """
        self._require_connected()
        queue: asyncio.Queue = asyncio.Queue()
        self._exports.append(queue)
        try:
            if self._sim_reader is not None:
                self._sim_reader.export_readings()
            limit = timeout
            while True:
                try:
                    item = await asyncio.wait_for(queue.get(), limit)
                except asyncio.TimeoutError:
                    return
                if isinstance(item, Exception):
                    raise item
                yield item
                limit = quiet
        finally:
            self._exports.remove(queue)

    async def disconnect(self) -> None:
        """Disconnects, waiting a few seconds at most for the reader to confirm.

        A connection still being made is called off."""
        if not (self._connected or self._connecting):
            return
        try:
            await self._run(
                self._link.disconnect_from_reader,
                lambda n, a: True if n == "on_reader_disconnected" else _MISS,
                DISCONNECT_WAIT if self._connected else SEARCH_STOP_WAIT,
            )
        except (asyncio.TimeoutError, Disconnected, ConnectionFailed, BluetoothUnavailable):
            pass
        self._connected = False
        self._connecting = False

    async def close(self) -> None:
        """Disconnects and lets go of the link; the session cannot be used afterwards."""
        if self._closed:
            return
        try:
            await self.disconnect()
        finally:
            self._closed = True
            self._connected = False
            if self._link.delegate is self._pump:
                self._link.delegate = None
            if self._sim_reader is not None:
                # A later session on the shared platform must not find this reader.
                self._sim_reader.vanish()
            if self._release is not None:
                self._release()
                self._release = None

    # ----------------------------------------------------------------- internals
    def _require_connected(self) -> None:
        if self._closed or not self._connected:
            raise Disconnected()

    async def _run(
        self,
        start: Optional[Callable[[], Any]],
        accept: Callable[[str, tuple], Any],
        timeout: Optional[float],
    ) -> Any:
        """Starts an operation and waits for the event that ``accept`` recognises."""
        waiter = _Waiter(self._loop, accept)
        self._waiters.append(waiter)
        try:
            if start is not None:
                start()
            return await asyncio.wait_for(waiter.future, timeout)
        finally:
            self._waiters.remove(waiter)
            if not waiter.future.done():
                waiter.future.cancel()

    def _event(self, name: str, args: tuple) -> None:
        """One event of the link, on the event loop."""
        if name == "on_connecting":
            self._connecting = True
        elif name == "on_reader_connected":
            self._connecting = False
        elif name == "on_version":
            self._version = args[0]
        elif name == "on_battery":
            self._battery = args[0]
        elif name == "on_scan_received" and not args[1] and args[0] is not None:
            for queue in self._readings:
                queue.put_nowait(args[0])
        elif name == "on_export_received":
            for queue in self._exports:
                queue.put_nowait(ExportedReading(args[1], args[0]))

        ends_link = name in _LINK_ENDS
        for waiter in list(self._waiters):
            if waiter.future.done():
                continue
            try:
                value = waiter.accept(name, args)
            except Exception as error:  # the event means failure for this waiter
                waiter.future.set_exception(error)
                continue
            if value is not _MISS:
                waiter.future.set_result(value)
            elif ends_link:
                waiter.future.set_exception(_link_end_error(name, args))

        if ends_link:
            self._connected = False
            self._connecting = False
            for queue in self._readings + self._exports:
                queue.put_nowait(_link_end_error(name, args))


class _Connecting:
    """What ``Reader.connect`` returns: an async context manager, or an awaitable."""

    def __init__(
        self,
        cls: type,
        sim: Union[bool, _sim.SimReaderConfig],
        link: Optional[Link],
        micro_app_image: Optional[str],
        timeout: float,
        adapter: Optional[str] = None,
        address: Optional[str] = None,
    ) -> None:
        self._cls = cls
        self._adapter = adapter
        self._address = address
        self._sim = sim
        self._link = link
        self._micro_app_image = micro_app_image
        self._timeout = timeout
        self._reader: Optional[Reader] = None

    async def _connect(self) -> Reader:
        sim_reader = None
        release: Optional[Callable[[], None]] = None
        link = self._link
        if link is None and (self._adapter or self._address):
            if self._sim:
                link = _create_link(_sim.shared_platform())
            else:
                link = _create_link(_bluez_platform(adapter=self._adapter or ""))
        if link is None:
            link = _ProcessWideLink.take(bool(self._sim))
            release = _ProcessWideLink.give_back
        if self._address:
            link.set_reader_address(self._address)
        if self._sim:
            config = self._sim if isinstance(self._sim, _sim.SimReaderConfig) else None
            sim_reader = _sim.SimReader.attach(
                _sim.shared_platform(), config or _sim.SimReaderConfig()
            )
        if self._micro_app_image:
            link.set_micro_app_image_path(self._micro_app_image)
        reader = self._cls(link, sim_reader=sim_reader)
        reader._release = release
        try:
            await reader._open(self._timeout)
        except BaseException:
            await reader.close()
            raise
        return reader

    def __await__(self):
        return self._connect().__await__()

    async def __aenter__(self) -> Reader:
        self._reader = await self._connect()
        return self._reader

    async def __aexit__(self, *exc: Any) -> None:
        if self._reader is not None:
            await self._reader.close()
