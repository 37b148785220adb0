"""Finds and loads libkorvat and declares the C functions of korvat/korvat.h.

The library is looked for, in this order: the file KORVAT_LIBRARY names (and
then nowhere else, so that an explicit choice is never silently replaced),
beside this package, and on the system's library path. When none loads, the
error names every place tried and why it failed.
"""
import ctypes
import os
import sys
import threading

from .errors import LibraryError

ENVIRONMENT_VARIABLE = "KORVAT_LIBRARY"

# The file names of the ABI this package binds (the soname's number).
if sys.platform == "darwin":
    FILE_NAMES = ("libkorvat.1.dylib",)
elif sys.platform == "win32":
    FILE_NAMES = ("korvat.dll",)
else:
    FILE_NAMES = ("libkorvat.so.1",)


class Entry(ctypes.Structure):
    """korvat_entry."""
    _fields_ = [
        ("index", ctypes.c_int32),
        ("flags", ctypes.c_uint32),
        ("real_size", ctypes.c_uint32),
        ("stored_size", ctypes.c_uint32),
        ("checksum", ctypes.c_uint32),
        ("parts", ctypes.c_uint32),
        ("file_time", ctypes.c_uint64),
        ("name_length", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
    ]


ENTRY_ACTIVE, ENTRY_COMPRESSED = 1, 2
MODE_READ, MODE_WRITE = 1, 2
OPEN_CREATE = 1
ADD_REPLACE = 1

_archive = ctypes.c_void_p
_reader = ctypes.c_void_p
_int, _uint, _size = ctypes.c_int, ctypes.c_uint, ctypes.c_size_t
_i32, _u32, _i64, _u64 = ctypes.c_int32, ctypes.c_uint32, ctypes.c_int64, ctypes.c_uint64
_text, _bytes = ctypes.c_char_p, ctypes.c_void_p
P = ctypes.POINTER

# name: (result type, argument types)
FUNCTIONS = {
    "korvat_version": (_text, []),
    "korvat_version_number": (_int, []),
    "korvat_result_text": (_text, [_int]),
    "korvat_new": (_archive, []),
    "korvat_free": (None, [_archive]),
    "korvat_open": (_int, [_archive, _text, _int, _uint, _uint]),
    "korvat_close": (_int, [_archive]),
    "korvat_last_error": (_int, [_archive]),
    "korvat_last_message": (_text, [_archive]),
    "korvat_count": (_int, [_archive, P(_u32)]),
    "korvat_find": (_int, [_archive, _text, P(_i32)]),
    "korvat_stat": (_int, [_archive, _i32, P(Entry)]),
    "korvat_name": (_int, [_archive, _i32, _bytes, _size, P(_size)]),
    "korvat_list": (_int, [_archive, _text, _int, P(_i32), _size, P(_size)]),
    "korvat_names": (_int, [_archive, _text, _int, _bytes, _size, P(_size)]),
    "korvat_read": (_int, [_archive, _i32, _u64, _bytes, _size, P(_size)]),
    "korvat_read_file": (_int, [_archive, _text, _bytes, _size, P(_size)]),
    "korvat_verify": (_int, [_archive, _i32]),
    "korvat_extract": (_int, [_archive, _text, _text]),
    "korvat_reader_open": (_int, [_archive, _i32, P(_reader)]),
    "korvat_reader_free": (None, [_reader]),
    "korvat_reader_read": (_int, [_reader, _bytes, _size, P(_size)]),
    "korvat_reader_seek": (_int, [_reader, _i64, _int, P(_u64)]),
    "korvat_reader_tell": (_u64, [_reader]),
    "korvat_reader_size": (_u64, [_reader]),
    "korvat_reader_last_error": (_int, [_reader]),
    "korvat_reader_last_message": (_text, [_reader]),
    "korvat_add_memory": (_int, [_archive, _text, _bytes, _size, _int, _u64, _uint, P(_i32)]),
    "korvat_add_file": (_int, [_archive, _text, _text, _int, _uint, P(_i32)]),
    "korvat_remove": (_int, [_archive, _text]),
    "korvat_compact": (_int, [_archive]),
}


def candidates(environ):
    """The (path, where) pairs to try, in order."""
    explicit = environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        return [(explicit, ENVIRONMENT_VARIABLE)]
    here = os.path.dirname(os.path.abspath(__file__))
    return ([(os.path.join(here, name), "beside the package") for name in FILE_NAMES]
            + [(name, "the system library path") for name in FILE_NAMES])


def declare(library):
    """Gives every C function its types; KeyError naming one that is missing."""
    for name, (result, arguments) in FUNCTIONS.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise KeyError(f"it lacks {name}, so it is not a korvat library of this ABI") from None
        function.restype, function.argtypes = result, arguments
    return library


def load(environ):
    """The first candidate that loads, declared; LibraryError naming all tried."""
    failures = []
    for path, where in candidates(environ):
        if where == "beside the package" and not os.path.exists(path):
            failures.append(f"{path} ({where}): no such file")
            continue
        try:
            return declare(ctypes.CDLL(path))
        except (OSError, KeyError) as e:
            reason = e.args[0] if e.args else str(e)
            failures.append(f"{path} ({where}): {reason}")
    raise LibraryError("cannot load the korvat library; tried:\n  " + "\n  ".join(failures)
                       + f"\nSet {ENVIRONMENT_VARIABLE} to the path of libkorvat.")


_loaded = None
_loading = threading.Lock()


def library():
    """The loaded library, loaded at the first call."""
    global _loaded
    with _loading:
        if _loaded is None:
            _loaded = load(os.environ)
        return _loaded
