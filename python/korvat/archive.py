"""korvat.Archive: one archive file open for reading or for writing.

Threads: an archive opened with mode "r" serves any number of threads at
once (names, stat, read, open, extract, verify); each file object that open
gives is used by one thread at a time. An archive open for writing runs one
call at a time, whichever thread makes it. Closing waits for calls in flight.
"""
import collections
import contextlib
import ctypes
import dataclasses
import datetime
import os
import threading
import time as clock
import weakref

from . import _library as c
from .entryfile import EntryFile
from .errors import Result, error

# mode: (library mode, open flags)
MODES = {
    "r": (c.MODE_READ, 0),                  # read only; the archive must exist
    "r+": (c.MODE_WRITE, 0),                # read and change; the archive must exist
    "a": (c.MODE_WRITE, c.OPEN_CREATE),     # read and change; created when missing
}

FILE_TIME_EPOCH = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)
TICKS_PER_SECOND = 10_000_000  # file times count 100 ns
UNIX_EPOCH_TICKS = 11_644_473_600 * TICKS_PER_SECOND


@dataclasses.dataclass(frozen=True)
class EntryInfo:
    """What the index holds about one entry; time is None when unknown (or
    beyond what a datetime holds)."""
    name: str           # the stored name: lower case, '/' separators
    size: int           # content bytes
    stored_size: int    # bytes it takes in the archive
    compressed: bool
    checksum: int       # Adler-32 of the content
    parts: int          # compressed parts of 262144 content bytes
    time: datetime.datetime | None


def file_time(when):
    """A datetime (naive means local time) or seconds since 1970 as a file time."""
    seconds = when.timestamp() if isinstance(when, datetime.datetime) else float(when)
    ticks = round(seconds * TICKS_PER_SECOND) + UNIX_EPOCH_TICKS
    if not 0 < ticks < 1 << 64:
        raise ValueError(f"{when!r} cannot be stored as a file time")
    return ticks


def as_datetime(ticks):
    """A file time as a datetime in UTC; None for 0 (unknown) or beyond year 9999."""
    try:
        return FILE_TIME_EPOCH + datetime.timedelta(microseconds=ticks // 10) if ticks else None
    except OverflowError:
        return None


def encoded(name):
    """A name or path as the library takes it."""
    if isinstance(name, bytes):
        return name
    if isinstance(name, (str, os.PathLike)):
        return os.fsencode(name)
    raise TypeError(f"a name or path must be str, bytes or os.PathLike, not {type(name).__name__}")


class Gate:
    """Lets calls share the handle or have it alone, and close wait for the
    calls in flight. A thread waiting to have it alone stops new sharers, so
    that a stream of reads cannot starve it. A thread inside may enter again
    (a finalizer may run inside a call), except to have alone what it shares."""

    def __init__(self):
        self._changed = threading.Condition()
        self._sharers = collections.Counter()  # thread: depth
        self._owner = None
        self._depth = 0
        self._waiting = 0

    @contextlib.contextmanager
    def shared(self):
        me = threading.get_ident()
        with self._changed:
            if self._owner != me and not self._sharers[me]:
                while self._owner is not None or self._waiting:
                    self._changed.wait()
            self._sharers[me] += 1
        try:
            yield
        finally:
            with self._changed:
                self._sharers[me] -= 1
                if not self._sharers[me]:
                    del self._sharers[me]
                    self._changed.notify_all()

    @contextlib.contextmanager
    def alone(self):
        me = threading.get_ident()
        with self._changed:
            if self._owner != me:
                self._waiting += 1
                while self._owner is not None or self._sharers:
                    self._changed.wait()
                self._waiting -= 1
                self._owner = me
            self._depth += 1
        try:
            yield
        finally:
            with self._changed:
                self._depth -= 1
                if self._depth == 0:
                    self._owner = None
                    self._changed.notify_all()


class Archive:
    """An archive file, open until close() or the end of a with block."""

    def __init__(self, path, mode="r", *, lock_timeout=0.0):
        """Opens path: mode "r" reads only, "r+" also changes, "a" also
        creates it when missing. A lock another process or object holds is
        waited for up to lock_timeout seconds."""
        self._handle = None
        if mode not in MODES:
            raise ValueError(f"mode must be one of {', '.join(map(repr, MODES))}, not {mode!r}")
        self._lib = c.library()
        self.path, self.mode = os.fspath(path), mode
        self._gate = Gate()
        self._use = self._gate.shared if mode == "r" else self._gate.alone
        self._files = weakref.WeakSet()
        handle = self._lib.korvat_new()
        if not handle:
            raise MemoryError("cannot make an archive handle")
        library_mode, flags = MODES[mode]
        result = self._lib.korvat_open(handle, encoded(path), library_mode, flags,
                                       max(0, round(lock_timeout * 1000)))
        if result != Result.OK:
            failure = self._error(handle, result)
            self._lib.korvat_free(handle)
            raise failure
        self._handle = handle

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            self.close()

    def __repr__(self):
        state = "closed" if self.closed else f"mode={self.mode!r}"
        return f"<korvat.Archive {self.path!r} {state}>"

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Closes the archive, committing the changes of a writable one (an
        Error when that fails: the next open rolls them back). The file
        objects open on it are closed too."""
        failure = None
        with self._gate.alone():
            handle, self._handle = self._handle, None
            if handle is None:
                return
            try:
                result = self._lib.korvat_close(handle)
                if result != Result.OK:
                    failure = self._error(handle, result)
            finally:
                self._lib.korvat_free(handle)
            entry_files = list(self._files)
        for entry_file in entry_files:
            entry_file.close()
        if failure is not None:
            raise failure

    # --- Reading -------------------------------------------------------------

    def names(self, directory=None, recursive=True):
        """The stored names of the entries, all of them or those under
        directory (and its subdirectories when recursive), in index order."""
        directory = None if directory is None else encoded(directory)
        size = ctypes.c_size_t(0)
        with self._use():
            while True:
                buffer = ctypes.create_string_buffer(size.value) if size.value else None
                result = self._lib.korvat_names(self._open(), directory, int(recursive), buffer,
                                                size.value, ctypes.byref(size))
                if result != Result.BUFFER_TOO_SMALL:
                    break
            self._check(result)
        return [os.fsdecode(name) for name in buffer.raw.split(b"\0")[:-1]] if buffer else []

    def __iter__(self):
        return iter(self.names())

    def __len__(self):
        count = ctypes.c_size_t(0)
        self._call(self._lib.korvat_list, None, 1, None, 0, ctypes.byref(count),
                   allow=(Result.BUFFER_TOO_SMALL,))
        return count.value

    def __contains__(self, name):
        if not isinstance(name, (str, bytes, os.PathLike)):
            return False
        index = ctypes.c_int32(-1)
        return self._call(self._lib.korvat_find, encoded(name), ctypes.byref(index),
                          allow=(Result.NOT_FOUND,)) == Result.OK

    def stat(self, name):
        """The EntryInfo of the entry name (any case, '/' or '\\')."""
        entry = c.Entry()
        with self._use():
            index = self._find(name)
            self._check(self._lib.korvat_stat(self._open(), index, ctypes.byref(entry)))
            stored_name = self._stored_name(index)
        return EntryInfo(stored_name, entry.real_size, entry.stored_size,
                         bool(entry.flags & c.ENTRY_COMPRESSED), entry.checksum, entry.parts,
                         as_datetime(entry.file_time))

    def read(self, name):
        """The whole content of the entry name, its checksum checked."""
        size = ctypes.c_size_t(0)
        with self._use():
            result = self._lib.korvat_read_file(self._open(), encoded(name), None, 0,
                                                ctypes.byref(size))
            if result == Result.BUFFER_TOO_SMALL:
                buffer = ctypes.create_string_buffer(size.value)
                result = self._lib.korvat_read_file(self._open(), encoded(name), buffer,
                                                    size.value, ctypes.byref(size))
            self._check(result)
        return buffer.raw if size.value else b""

    def open(self, name):
        """A binary file object over the entry name (read, readinto, seek,
        tell), which inflates one part at a time. It fails once the entry
        changes, and is closed with the archive."""
        reader = ctypes.c_void_p()
        with self._use():
            index = self._find(name)
            stored_name = self._stored_name(index)
            self._check(self._lib.korvat_reader_open(self._open(), index, ctypes.byref(reader)))
            entry_file = EntryFile(self, reader, stored_name, self._lib.korvat_reader_size(reader))
            self._files.add(entry_file)
        return entry_file

    def extract(self, destination, names=None):
        """Writes the entries (all, or those named) under the directory
        destination, creating directories on the way. With all entries every
        one is tried and the first failure raised; named ones stop at the
        first failure."""
        destination = encoded(destination)
        if names is None:
            self._call(self._lib.korvat_extract, None, destination)
            return
        if isinstance(names, (str, bytes, os.PathLike)):
            names = [names]
        for name in names:
            self._call(self._lib.korvat_extract, encoded(name), destination)

    def verify(self):
        """Reads every entry whole and checks it: {stored name: why} of the
        damaged ones, empty when all are sound."""
        damaged = {}
        with self._use():
            for index in self._indices():
                result = self._lib.korvat_verify(self._open(), index)
                if result == Result.DAMAGED:
                    damaged[self._stored_name(index)] = self._error(self._handle, result).message
                else:
                    self._check(result)
        return damaged

    # --- Changing (modes "r+" and "a") ---------------------------------------

    def add(self, name, content, level=6, *, time=None):
        """Adds an entry name from bytes (any buffer) or from the file at a
        path (str or os.PathLike), stored (level 0) or compressed (1..9).
        Bytes get time (a datetime or seconds since 1970; default now), a
        file its last-write time. NameTakenError when name exists."""
        self._add(name, content, level, time, 0)

    def replace(self, name, content, level=6, *, time=None):
        """As add, but an entry of the same name is replaced (and kept as it
        was when the add fails)."""
        self._add(name, content, level, time, c.ADD_REPLACE)

    def remove(self, name):
        """Removes the entry name; its space is reused or compacted away."""
        self._call(self._lib.korvat_remove, encoded(name))

    def compact(self):
        """Moves the entries together, dropping the space of removed ones."""
        self._call(self._lib.korvat_compact)

    # --- Internals -----------------------------------------------------------

    def _add(self, name, content, level, when, flags):
        if isinstance(content, (str, os.PathLike)):
            if when is not None:
                raise TypeError("a file added from a path keeps its own time")
            self._call(self._lib.korvat_add_file, encoded(content), encoded(name), level, flags,
                       None)
            return
        view = memoryview(content).cast("B")
        if not isinstance(content, bytes):
            content = bytes(view) if view.readonly else (ctypes.c_char * len(view)).from_buffer(view)
        ticks = file_time(clock.time() if when is None else when)
        self._call(self._lib.korvat_add_memory, encoded(name), content if len(view) else None,
                   len(view), level, ticks, flags, None)

    def _open(self):
        """The handle, or ValueError when the archive is closed (call in the gate)."""
        if self._handle is None:
            raise ValueError("I/O operation on a closed archive")
        return self._handle

    def _error(self, handle, result):
        message = self._lib.korvat_last_message(handle) or b""
        message = message.decode("utf-8", "backslashreplace")
        return error(result, message or self._lib.korvat_result_text(result).decode())

    def _check(self, result):
        if result != Result.OK:
            raise self._error(self._handle, result)

    def _call(self, function, *arguments, allow=()):
        with self._use():
            result = function(self._open(), *arguments)
            if result not in allow:
                self._check(result)
            return result

    def _find(self, name):
        index = ctypes.c_int32(-1)
        self._check(self._lib.korvat_find(self._open(), encoded(name), ctypes.byref(index)))
        return index.value

    def _indices(self):
        count = ctypes.c_size_t(0)
        while True:
            indices = (ctypes.c_int32 * count.value)()
            result = self._lib.korvat_list(self._open(), None, 1, indices, count.value,
                                           ctypes.byref(count))
            if result != Result.BUFFER_TOO_SMALL:
                self._check(result)
                return list(indices)[:count.value]

    def _stored_name(self, index):
        length = ctypes.c_size_t(0)
        self._lib.korvat_name(self._open(), index, None, 0, ctypes.byref(length))
        buffer = ctypes.create_string_buffer(length.value + 1)
        self._check(self._lib.korvat_name(self._open(), index, buffer, len(buffer),
                                          ctypes.byref(length)))
        return os.fsdecode(buffer.raw[:length.value])


def open(path, mode="r", *, lock_timeout=0.0):  # noqa: A001 - the package's entry point
    """Opens an archive: korvat.open(path) reads, "r+" also changes, "a"
    creates it when missing. Use it in a with block, or close() it."""
    return Archive(path, mode, lock_timeout=lock_timeout)
