"""The korvat package against the built library and command-line tool
(KORVAT_LIBRARY and KORVAT_EXE name them; the tool is otherwise looked for on
PATH)."""
import concurrent.futures
import datetime
import io
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time
import zlib

import pytest

import korvat
from korvat import Result

PART = 262144
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
TOOL = os.environ.get("KORVAT_EXE") or shutil.which("korvat")


def content(size, seed):
    """Compressible bytes that differ at every offset within a prime period."""
    return (random.Random(seed).randbytes(4099) * (size // 4099 + 1))[:size]


def tool(*arguments, cwd):
    if not TOOL:
        pytest.skip("the korvat tool is not built (set KORVAT_EXE)")
    run = subprocess.run([TOOL, *map(str, arguments)], cwd=cwd, capture_output=True, text=True)
    assert run.returncode == 0, f"korvat {arguments}: {run.stderr}"
    return run.stdout


FILES = {"a.txt": b"hello\n", "sub/dir/big.bin": content(2 * PART + 1000, 1), "empty": b""}


def test_an_archive_the_tool_made_reads_in_python(tmp_path):
    for name, data in FILES.items():
        (tmp_path / "tree" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "tree" / name).write_bytes(data)
    tool(tmp_path / "tool.arc", "-add", ".", tmp_path / "tree", 6, cwd=tmp_path)
    with korvat.open(tmp_path / "tool.arc") as archive:
        assert sorted(archive) == sorted(FILES) and len(archive) == len(FILES)
        assert archive.names("sub", recursive=False) == [] and archive.names("sub") == ["sub/dir/big.bin"]
        for name, data in FILES.items():
            info = archive.stat(name.upper())
            assert (info.name, info.size, info.checksum) == (name, len(data), zlib.adler32(data))
            mtime_ns = (tmp_path / "tree" / name).stat().st_mtime_ns
            assert (info.time - EPOCH) // datetime.timedelta(microseconds=1) == mtime_ns // 1000
            assert archive.read(name) == data and archive.open(name).read() == data
        assert [archive.stat(name).parts for name in FILES] == [1, 3, 0]
        assert archive.verify() == {}


CONFIG = b'{"lives": 3,\n "level": 1}'


def test_an_archive_python_made_reads_with_the_tool(tmp_path):
    (tmp_path / "on-disk.json").write_text(CONFIG.decode())
    with korvat.open(tmp_path / "py.arc", "a") as archive:
        archive.add("Levels\\One.bin", content(PART + 1, 2), level=0)
        archive.add("levels/two.bin", bytearray(content(3 * PART, 3)), level=9)
        archive.add("config.json", tmp_path / "on-disk.json")
        archive.add("gone", b"soon removed")
        archive.replace("levels/two.bin", memoryview(b"replaced"))
        archive.remove("gone")
        archive.compact()
        assert list(archive.open("config.json")) == [b'{"lives": 3,\n', b' "level": 1}']
        assert io.TextIOWrapper(archive.open("config.json")).readline() == '{"lives": 3,\n'
        assert archive.open("config.json").readline(5) == b'{"liv'
        assert json.load(archive.open("config.json")) == {"lives": 3, "level": 1}
        assert not archive.stat("levels/one.bin").compressed and archive.stat("config.json").compressed
    listed = sorted(tool(tmp_path / "py.arc", "-list", cwd=tmp_path).split())
    assert listed == ["config.json", "levels/one.bin", "levels/two.bin"]
    tool(tmp_path / "py.arc", "-verify", cwd=tmp_path)
    tool(tmp_path / "py.arc", "-extract", tmp_path / "out", cwd=tmp_path)
    expected = {"levels/one.bin": content(PART + 1, 2), "levels/two.bin": b"replaced",
                "config.json": CONFIG}
    for name, data in expected.items():
        assert (tmp_path / "out" / name).read_bytes() == data
    with korvat.open(tmp_path / "py.arc") as archive:
        archive.extract(tmp_path / "again", names="levels/two.bin")
    assert os.listdir(tmp_path / "again" / "levels") == ["two.bin"]


WHEN = datetime.datetime(2020, 1, 2, 3, 4, 5, 678900, tzinfo=datetime.timezone.utc)


@pytest.mark.parametrize("given,expected", [(WHEN, WHEN), (WHEN.timestamp(), WHEN),
                                            (1.5e12, None), (None, "now")])
def test_file_times_of_added_bytes(tmp_path, given, expected):
    with korvat.open(tmp_path / "t.arc", "a") as archive:
        archive.add("x", b"x", time=given)
        stored = archive.stat("x").time
    if expected == "now":
        assert abs(stored - datetime.datetime.now(datetime.timezone.utc)) < datetime.timedelta(minutes=1)
    else:
        assert stored == expected


SIZE = 2 * PART + 1000
RANGES = [(0, 10), (PART - 3, 6), (PART, PART), (PART - 1, PART + 2), (SIZE - 5, 100),
          (SIZE, 10), (SIZE + 50, 10)]


@pytest.fixture(scope="module")
def ranged(tmp_path_factory):
    path = tmp_path_factory.mktemp("ranges") / "ranges.arc"
    with korvat.open(path, "a") as archive:
        for level in (0, 6):
            archive.add(f"level{level}", content(SIZE, 4), level=level)
    with korvat.open(path) as archive:
        yield archive


@pytest.mark.parametrize("level", [0, 6])
@pytest.mark.parametrize("start,size", RANGES)
def test_byte_ranges_across_parts(ranged, level, start, size):
    expected = content(SIZE, 4)[start:start + size]
    with ranged.open(f"level{level}") as entry:
        assert entry.seek(start - SIZE, io.SEEK_END) == start and entry.read(size) == expected
        entry.seek(-len(expected), io.SEEK_CUR)
        buffer = bytearray(size)
        assert entry.readinto(buffer) == len(expected) and buffer[:len(expected)] == expected
        assert entry.tell() == start + len(expected)


ERRORS = [  # (what, expected exception, the codes it may carry)
    (lambda a, p: korvat.open(p / "missing.arc"), korvat.NotFoundError, {Result.NOT_FOUND}),
    (lambda a, p: korvat.open(p / "missing.arc", "r+"), korvat.NotFoundError, {Result.NOT_FOUND}),
    (lambda a, p: korvat.open(p / "x.json"), korvat.Error, {Result.NOT_AN_ARCHIVE, Result.IO}),
    (lambda a, p: korvat.open(p / "w.arc"), korvat.Error, {Result.LOCKED, Result.IO}),
    (lambda a, p: korvat.open(p / "w.arc", "w"), ValueError, None),
    (lambda a, p: a.read("missing"), korvat.NotFoundError, {Result.NOT_FOUND}),
    (lambda a, p: a.open("missing"), korvat.NotFoundError, {Result.NOT_FOUND}),
    (lambda a, p: a.add("kept", b"again"), korvat.NameTakenError, {Result.NAME_TAKEN}),
    (lambda a, p: a.add("new", b"x", level=10), korvat.Error, {Result.BAD_LEVEL}),
    (lambda a, p: a.add("new", p / "missing.txt"), korvat.NotFoundError, {Result.NOT_FOUND}),
    (lambda a, p: a.remove("missing"), korvat.NotFoundError, {Result.NOT_FOUND}),
    (lambda a, p: a.stat(42), TypeError, None),
    (lambda a, p: [a.close(), a.names()], ValueError, None),
    (lambda a, p: [f := a.open("kept"), a.close(), f.read()], ValueError, None),
]


@pytest.mark.parametrize("what,exception,codes", ERRORS)
def test_errors_are_exceptions_with_the_library_code(tmp_path, what, exception, codes):
    (tmp_path / "x.json").write_text("{}" * 2000)
    with korvat.open(tmp_path / "w.arc", "a") as archive:
        archive.add("kept", b"kept")
        with pytest.raises(exception) as raised:
            what(archive, tmp_path)
        if codes is not None:
            assert raised.value.code in codes and raised.value.message
        assert archive.closed or archive.read("kept") == b"kept"


def test_damaged_data_and_read_only_mode_raise(tmp_path):
    with korvat.open(tmp_path / "d.arc", "a") as archive:
        archive.add("damaged", content(PART + 5, 5))
        archive.add("sound", b"sound")
    with open(tmp_path / "d.arc", "r+b") as file:
        file.seek(2048 + 100)
        file.write(b"\xff" * 16)
    with korvat.open(tmp_path / "d.arc") as archive:
        for read in (archive.read, lambda name: archive.open(name).read()):
            with pytest.raises(korvat.DamagedError):
                read("damaged")
        assert list(archive.verify()) == ["damaged"] and archive.read("sound") == b"sound"
        with pytest.raises(korvat.WrongModeError):
            archive.add("new", b"x")


def test_threads_read_one_archive(ranged):
    whole = content(SIZE, 4)

    def read(task):
        start, size = RANGES[task % len(RANGES)]
        with ranged.open(f"level{6 * (task % 2)}") as entry:
            entry.seek(start)
            part = entry.read(size)
        return part == whole[start:start + size] and ranged.read(f"level{6 * (task % 2)}") == whole

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert all(pool.map(read, range(24)))


def test_a_waiting_close_holds_off_new_readers():
    gate, order = korvat.archive.Gate(), []

    def enter(kind):
        with getattr(gate, kind)():
            order.append(kind)

    with gate.shared():
        closer = threading.Thread(target=enter, args=("alone",))
        closer.start()
        while not gate._waiting:
            time.sleep(0.001)
        reader = threading.Thread(target=enter, args=("shared",))
        reader.start()
        time.sleep(0.05)
    closer.join()
    reader.join()
    assert order == ["alone", "shared"]


def test_close_stops_reading_threads(tmp_path):
    with korvat.open(tmp_path / "c.arc", "a") as archive:
        archive.add("x", content(PART + 1, 6))
    archive = korvat.open(tmp_path / "c.arc")

    def read_until_closed(_):
        with pytest.raises(ValueError, match="closed archive"):
            while True:
                archive.read("x")

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        readers = pool.map(read_until_closed, range(4))
        time.sleep(0.05)
        archive.close()
        list(readers)


@pytest.mark.parametrize("library,reason", [
    ("/nonexistent/libkorvat.so.1", "No such file"),
    (__file__, "invalid ELF header"),
    ("libz.so.1", "lacks korvat_version"),
    ("", "beside the package.: no such file.*absent.so.1 .the system library path.: "),
])
def test_a_library_that_does_not_load_is_named_with_why(monkeypatch, library, reason):
    monkeypatch.setattr(korvat._library, "FILE_NAMES", ("libkorvat-absent.so.1",))
    with pytest.raises(korvat.LibraryError, match=f"(?s){library}.*{reason}.*KORVAT_LIBRARY"):
        korvat._library.load({"KORVAT_LIBRARY": library})


@pytest.mark.venv
def test_pip_installs_into_a_venv_with_the_library_beside(tmp_path):
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    shutil.copytree(source, tmp_path / "src", ignore=shutil.ignore_patterns(
        "tests", "build", "*.egg-info", "__pycache__", "libkorvat*"))
    shutil.copy(korvat._library.library()._name, tmp_path / "src/korvat/libkorvat.so.1")
    environment = {k: v for k, v in os.environ.items() if k != "KORVAT_LIBRARY"}
    environment["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    for command in (["/usr/bin/python3", "-m", "venv", "--system-site-packages", "env"],
                    ["env/bin/pip", "install", "-q", "--no-build-isolation", "--no-index", "./src"]):
        subprocess.run(command, cwd=tmp_path, env=environment, check=True)
    check = "import korvat; print(korvat._library.library()._name, korvat.version())"
    out = subprocess.run(["env/bin/python", "-c", check], cwd=tmp_path, env=environment,
                         check=True, capture_output=True, text=True).stdout.split()
    assert out == [str(tmp_path / "env/lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}"
                       / "site-packages/korvat/libkorvat.so.1"), korvat.version()]
