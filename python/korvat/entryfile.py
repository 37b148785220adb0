"""korvat.EntryFile: one entry's content as a read-only binary file.

It reads through its own library reader, which keeps one inflated part, so
reading in small pieces inflates each part once. Used by one thread at a
time (a lock keeps it so); several, one per thread, may read one archive.
"""
import ctypes
import io
import threading

from .errors import Result, error


class EntryFile(io.BufferedIOBase):
    """Made by Archive.open; name is the stored name, size the content's bytes."""

    def __init__(self, archive, reader, name, size):
        super().__init__()
        self._archive = archive
        self._lib = archive._lib
        self._reader = reader
        self._lock = threading.Lock()
        self._position = 0
        self.name = name
        self.size = size

    def __repr__(self):
        return f"<korvat.EntryFile {self.name!r} size={self.size}>"

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        view = memoryview(buffer).cast("B")
        with self._lock, self._archive._use():
            reader = self._live_reader()
            if len(view) == 0 or self._position >= self.size:
                return 0
            target = (ctypes.c_char * len(view)).from_buffer(view)
            given = ctypes.c_size_t(0)
            self._check(reader, self._lib.korvat_reader_read(reader, target, len(view),
                                                             ctypes.byref(given)))
            self._position += given.value
            return given.value

    def read(self, size=-1):
        remaining = max(self.size - self._position, 0)
        size = remaining if size is None or size < 0 else min(size, remaining)
        buffer = bytearray(size)
        del buffer[self.readinto(buffer):]
        return bytes(buffer)

    # The library gives less than asked only at the end: one call suffices.
    read1 = read
    readinto1 = readinto

    def readline(self, size=-1):
        """Up to and with the next b"\\n", read in chunks (the default reads
        a byte per call)."""
        line = bytearray()
        while size is None or size < 0 or len(line) < size:
            chunk = self.read(8192 if size is None or size < 0 else min(8192, size - len(line)))
            end = chunk.find(b"\n") + 1
            if end:
                self.seek(end - len(chunk), io.SEEK_CUR)
                chunk = chunk[:end]
            line += chunk
            if end or not chunk:
                break
        return bytes(line)

    def seek(self, offset, whence=io.SEEK_SET):
        """Moves to offset from the start, the position or the end; beyond the
        end reads give nothing, as with a disk file."""
        with self._lock, self._archive._use():
            reader = self._live_reader()
            bases = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: self.size}
            if whence not in bases:
                raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
            target = bases[whence] + offset
            if target < 0:
                raise ValueError(f"negative seek position {target}")
            self._check(reader, self._lib.korvat_reader_seek(reader, min(target, self.size),
                                                             io.SEEK_SET, None))
            self._position = target
            return target

    def tell(self):
        self._live_reader()
        return self._position

    def close(self):
        with self._lock:
            reader, self._reader = self._reader, None
            if reader is not None:
                with self._archive._use():
                    self._lib.korvat_reader_free(reader)
        super().close()

    def _live_reader(self):
        if self._reader is None:
            raise ValueError("I/O operation on closed file")
        if self._archive.closed:
            raise ValueError("I/O operation on a file of a closed archive")
        return self._reader

    def _check(self, reader, result):
        if result != Result.OK:
            message = self._lib.korvat_reader_last_message(reader) or b""
            message = message.decode("utf-8", "backslashreplace")
            raise error(result, message or self._lib.korvat_result_text(result).decode())
