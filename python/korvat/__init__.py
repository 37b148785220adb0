"""korvat: archives of many named files (a game's assets, typically), each
stored unchanged or as zlib-compressed 262144-byte parts, so that any byte
range is read by inflating a single part.

    with korvat.open("assets.arc", "a") as archive:
        archive.add("config/game.json", b'{"lives": 3}')
        settings = json.load(archive.open("config/game.json"))

Pure Python over libkorvat's C interface (ctypes): the library is taken from
the file KORVAT_LIBRARY names, from beside this package, or from the system
library path, and loaded at the first call that needs it.
"""
from . import _library
from .archive import Archive, EntryInfo, open
from .entryfile import EntryFile
from .errors import (DamagedError, Error, LibraryError, LockedError, NameTakenError,
                     NotAnArchiveError, NotFoundError, Result, WrongModeError)

__all__ = ["Archive", "DamagedError", "EntryFile", "EntryInfo", "Error", "LibraryError",
           "LockedError", "NameTakenError", "NotAnArchiveError", "NotFoundError", "Result",
           "WrongModeError", "open", "version"]
__version__ = "0.2.0"


def version():
    """The loaded library's version ("0.2.0")."""
    return _library.library().korvat_version().decode()
