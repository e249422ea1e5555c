"""The KDR portable data reader over RS-232, for Python programs."""

import datetime
import os
from collections.abc import Callable, Iterable
from types import TracebackType

class Error(Exception):
    """A failure of the reader, its line or the store.

    str(error) is the sentence the kdr command prints for it.
    """

    kind: str
    """A short, stable name of the kind of failure ("no answer", "port busy", ...)."""
    download: Download | None

class PortError(Error): ...
class PortMissing(PortError): ...
class PortBusy(PortError): ...
class LineDropped(PortError): ...
class LineBusy(Error): ...
class NoAnswer(Error): ...
class Refused(Error): ...
class PasswordRefused(Refused): ...
class BadAnswer(Error): ...

class Incomplete(Error):
    download: Download
    """What arrived: a Download whose complete is False."""

class ClockMismatch(Error): ...
class InvalidArgument(Error, ValueError): ...
class StoreError(Error): ...

class Progress:
    """How far a download's answer has come while it arrives."""

    @property
    def records(self) -> int: ...
    @property
    def characters(self) -> int: ...
    @property
    def announced(self) -> int | None: ...

class Record:
    """One record as the reader stored it."""

    @property
    def time(self) -> datetime.datetime | None:
        """When it was taken (naive, the reader's local time); None for a damaged stamp."""
    @property
    def text(self) -> bytes:
        """The text, byte for byte as stored."""
    def decoded(self, encoding: str = "cp1252", errors: str = "strict") -> str:
        """The text as str; cp1252 decodes as the kdr command's JSON and CSV do."""
    @property
    def lead(self) -> bytes | None:
        """The character sent before the text; None for an empty record."""
    @property
    def stamp(self) -> bytes:
        """The time stamp's six characters as sent."""
    __hash__: None  # type: ignore[assignment]

class Download:
    """Every record a reader held, as it arrived."""

    @property
    def machine_id(self) -> str: ...
    @property
    def announced(self) -> int: ...
    @property
    def complete(self) -> bool: ...
    @property
    def why_incomplete(self) -> str: ...
    @property
    def records(self) -> list[Record]: ...

class Reader:
    """A KDR reader on a serial port; a context manager that closes it."""

    def __init__(
        self,
        port: str | os.PathLike[str] | int,
        password: str | bytes = "",
        *,
        on_progress: Callable[[Progress], object] | None = None,
        latency: float = 0,
    ) -> None: ...
    def __enter__(self) -> Reader: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def port(self) -> str: ...
    def download(self, *, allow_incomplete: bool = False) -> Download: ...
    def sync_clock(self) -> datetime.datetime: ...
    def erase(self) -> bool: ...

class CollectResult:
    """What one collect came to."""

    @property
    def outcome(self) -> str: ...
    @property
    def succeeded(self) -> bool: ...
    @property
    def erased(self) -> bool: ...
    @property
    def reader(self) -> str: ...
    @property
    def machine_id(self) -> bytes: ...
    @property
    def announced(self) -> int: ...
    @property
    def reads(self) -> int: ...
    @property
    def each_read(self) -> list[str]: ...
    @property
    def check(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def new_records(self) -> int: ...
    @property
    def already_stored(self) -> int: ...
    @property
    def new_memory(self) -> bool: ...
    @property
    def erase(self) -> str | None: ...
    @property
    def erase_unrecorded(self) -> str: ...
    @property
    def detail(self) -> str: ...

def collect(
    port: str | os.PathLike[str] | int,
    db: str,
    *,
    password: str | bytes = "",
    erase: bool = False,
    reader: str = "",
    single_read: bool = False,
) -> CollectResult: ...

class Station:
    """The station of `kdr collect --watch`: polls the port every 2 s and
    collects each reader set into the cradle once, until Ctrl-C or stop()."""

    def __init__(
        self,
        port: str | os.PathLike[str] | int,
        db: str,
        *,
        password: str | bytes = "",
        erase: bool = False,
        reader: str = "",
        single_read: bool = False,
    ) -> None: ...
    def run(
        self,
        on_line: Callable[[str], object] = ...,
        on_result: Callable[[CollectResult], object] | None = None,
    ) -> None: ...
    def stop(self) -> None: ...

class Simulator:
    """A KDR reader played on a pseudo-terminal, for tests. It holds 0 to
    99,999 records and a machine ID of up to 8 characters; texts and the ID
    are stored in Windows-1252 (str) or as given (bytes). Anything a reader
    cannot hold raises ValueError at once."""

    def __init__(
        self,
        records: int | Iterable[str | bytes] = 25,
        password: str | bytes = "",
        faults: Iterable[str] = (),
        *,
        fast: bool = False,
        machine_id: str | bytes = "KDR00001",
    ) -> None: ...
    @property
    def port(self) -> str: ...
    @property
    def records(self) -> list[bytes]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Simulator: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
