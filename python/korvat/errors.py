"""The exceptions korvat raises: the library's results, and a library that
cannot be loaded."""
import enum


class Result(enum.IntEnum):
    """The library's result numbers (korvat_result)."""
    OK = 0
    NOT_FOUND = 1
    LOCKED = 2
    NOT_AN_ARCHIVE = 3
    DAMAGED = 4
    NAME_TAKEN = 5
    BAD_LEVEL = 6
    TOO_LARGE = 7
    IO = 8
    INVALID_ARGUMENT = 9
    WRONG_MODE = 10
    BUFFER_TOO_SMALL = 11
    NO_MEMORY = 12


class Error(Exception):
    """A call the library refused: code is its result (a Result, or the plain
    number of one this package does not know), message what failed."""

    def __init__(self, code, message):
        try:
            code = Result(code)
        except ValueError:
            pass
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self):
        name = self.code.name if isinstance(self.code, Result) else str(self.code)
        return f"{self.message} [{name}]"


class NotFoundError(Error):
    """No such entry, or no such archive file."""


class LockedError(Error):
    """Another object has the archive open."""


class NotAnArchiveError(Error):
    """The file is not a well-formed archive."""


class DamagedError(Error):
    """Stored data is missing, or does not inflate or check."""


class NameTakenError(Error):
    """An active entry has the name already."""


class WrongModeError(Error):
    """The archive is open for reading only, or changed under a reader."""


SUBCLASSES = {
    Result.NOT_FOUND: NotFoundError,
    Result.LOCKED: LockedError,
    Result.NOT_AN_ARCHIVE: NotAnArchiveError,
    Result.DAMAGED: DamagedError,
    Result.NAME_TAKEN: NameTakenError,
    Result.WRONG_MODE: WrongModeError,
}


def error(code, message):
    """The exception for a result, of its subclass where there is one."""
    return SUBCLASSES.get(code, Error)(code, message)


class LibraryError(OSError):
    """libkorvat could not be loaded; the message names every place tried."""
