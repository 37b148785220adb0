"""The benchmark's corpora: built once under WORK/corpus and reused when present.

Every corpus is a tree of regular files and real directories whose relative
paths are unique ignoring case (the archive stores names in lower case), so
every tool packs exactly the same files and the extracted archive can be
compared with the corpus byte for byte.
"""

import hashlib
import os
import re
import shutil
import stat

INCLUDE_SOURCE = "/usr/include"
LIBS_SOURCE = "/usr/lib/x86_64-linux-gnu"
LIBS_BUDGET = 300 * 1000 * 1000
SHARED_LIBRARY = re.compile(r"\.so(\.|$)")


class Corpus:
    """A built corpus: its tree is ROOT/NAME, packed from ROOT as NAME/..."""

    def __init__(self, root, name, halves=None, middle=None):
        self.root = root
        self.name = name
        self.halves = halves  # (first half's subtree, its file count) for scaling rows
        self.middle = middle  # the file in the middle of the set, for one-file extraction

    @property
    def path(self):
        return os.path.join(self.root, self.name)


# --- Deterministic text ------------------------------------------------------

MASK64 = (1 << 64) - 1


class SplitMix64:
    """A tiny seeded PRNG whose output is the same on every machine and Python."""

    def __init__(self, seed):
        self.state = seed & MASK64

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def below(self, n):
        return self.next() % n


WORDS = (
    "archive block buffer chain compress data entry file index level name offset part "
    "record region size stored table texture sound map level wind grass brick wall tree "
    "the a of to and in is it for on with as by at from that this be are was were not or "
    "player enemy door key light shadow water stone metal wood fire ice sky cloud road "
    "north south east west red green blue black white small large quick slow open closed "
    "load save read write seek flush close copy move find list stat check verify update"
).split()


def text_pool(rng, size):
    """size bytes of sentences made of WORDS and numbers, wrapped into lines."""
    out, line = [], []
    length = 0
    while length < size:
        count = 4 + rng.below(12)
        words = [WORDS[rng.below(len(WORDS))] for _ in range(count)]
        if rng.below(4) == 0:
            words.insert(rng.below(count), str(rng.below(100000)))
        sentence = " ".join(words).capitalize() + ". "
        line.append(sentence)
        if sum(map(len, line)) > 60 + rng.below(20):
            text = "".join(line).rstrip() + "\n"
            out.append(text)
            length += len(text)
            line = []
    return "".join(out).encode("ascii")[:size]


# --- Generated files ------------------------------------------------------------

def generate_small(path, dirs, subdirs, files, edge_files=False):
    """dirs x subdirs x files text files of 200..4000 bytes, split into two
    halves part0/ and part1/ (the first half is the 50% subset)."""
    rng = SplitMix64(20261207)
    pool = text_pool(rng, 1 << 20)
    index = 0
    for d in range(dirs):
        half = "part0" if d < dirs // 2 else "part1"
        for s in range(subdirs):
            folder = os.path.join(path, half, "d%02d" % d, "s%d" % s)
            os.makedirs(folder, exist_ok=True)
            for f in range(files):
                size = 200 + rng.below(3801)
                header = b"file %d\n" % index
                start = rng.below(len(pool) - size)
                body = pool[start:start + size - len(header)]
                with open(os.path.join(folder, "f%03d.txt" % f), "wb") as out:
                    out.write(header + body)
                index += 1
    if edge_files:
        write_edge_files(path)


def mixed_chunk(rng, pool, index, size):
    """size bytes: three quarters text from pool, a quarter random bytes."""
    text = size - size // 4
    start = rng.below(len(pool) - text)
    noise = hashlib.shake_256(b"korvat bench %d" % index).digest(size // 4)
    return pool[start:start + text] + noise


def write_mixed_file(path, size, seed):
    """A partly compressible file of size bytes, written in 1 MiB chunks."""
    rng = SplitMix64(seed)
    pool = text_pool(rng, 1 << 20)
    chunk = 1 << 20
    with open(path, "wb") as out:
        for index in range(0, size, chunk):
            out.write(mixed_chunk(rng, pool, index, min(chunk, size - index)))


def generate_flat(path, files, folders):
    """files text files of 200..4000 bytes spread over folders directories
    (one: all in path/all); the same bytes whatever the spread, so that
    extracting into one directory compares with extracting into many."""
    rng = SplitMix64(20261208)
    pool = text_pool(rng, 1 << 20)
    per_folder = files // folders
    for index in range(files):
        folder = os.path.join(path, "all" if folders == 1 else "d%03d" % (index // per_folder))
        if index % per_folder == 0:
            os.makedirs(folder, exist_ok=True)
        size = 200 + rng.below(3801)
        header = b"file %d\n" % index
        start = rng.below(len(pool) - size)
        with open(os.path.join(folder, "f%05d.txt" % index), "wb") as out:
            out.write(header + pool[start:start + size - len(header)])


def write_edge_files(path):
    """An empty file and one of several compressed parts (for the tiny corpus)."""
    folder = os.path.join(path, "part1", "edge")
    os.makedirs(folder, exist_ok=True)
    open(os.path.join(folder, "empty.bin"), "wb").close()
    write_mixed_file(os.path.join(folder, "multipart.bin"), 1000000, 5)


# --- Copies of system files -----------------------------------------------------

def is_regular_readable(path):
    try:
        info = os.stat(path)  # follows a link to a file
    except OSError:
        return False
    return stat.S_ISREG(info.st_mode) and os.access(path, os.R_OK)


def copy_file(source, target, taken, relative):
    """Copies one file unless its name is taken ignoring case or it cannot be read."""
    key = relative.lower()
    if key in taken or not is_regular_readable(source):
        return 0
    try:
        shutil.copyfile(source, target)
    except OSError:
        return 0
    taken.add(key)
    return os.path.getsize(target)


def copy_tree(source, target):
    """Copies source's regular files; links to directories are not followed,
    directories beginning with '.' are left out (the archive tool skips them)."""
    taken = set()
    for folder, dirnames, filenames in os.walk(source, followlinks=False):
        dirnames[:] = sorted(d for d in dirnames
                             if not d.startswith(".") and not os.path.islink(os.path.join(folder, d)))
        relative_folder = os.path.relpath(folder, source)
        os.makedirs(os.path.join(target, relative_folder), exist_ok=True)
        for name in sorted(filenames):
            relative = os.path.normpath(os.path.join(relative_folder, name))
            copy_file(os.path.join(folder, name), os.path.join(target, relative), taken, relative)


def largest_libraries(source, budget):
    """Real paths of the largest shared libraries under source, biggest first,
    as many as fit in budget bytes."""
    found = {}
    for folder, _, filenames in os.walk(source, followlinks=False):
        for name in filenames:
            if SHARED_LIBRARY.search(name):
                real = os.path.realpath(os.path.join(folder, name))
                if is_regular_readable(real):
                    found[real] = os.path.getsize(real)
    chosen, total = [], 0
    for real, size in sorted(found.items(), key=lambda item: (-item[1], item[0])):
        if total + size <= budget:
            chosen.append(real)
            total += size
    return chosen


def copy_libraries(source, target, budget):
    os.makedirs(target, exist_ok=True)
    taken = set()
    for real in largest_libraries(source, budget):
        name = os.path.basename(real)
        copy_file(real, os.path.join(target, name), taken, name)


# --- Building and reuse -----------------------------------------------------------

def build(root, name, builder):
    """Runs builder(path) unless the corpus is already complete (a stamp beside it)."""
    path = os.path.join(root, name)
    stamp = path + ".complete"
    if os.path.exists(stamp):
        return
    print("building corpus %s in %s" % (name, path), flush=True)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    builder(path)
    open(stamp, "w").close()


SMALL_SHAPE = (100, 10, 100)  # directories x subdirectories x files: 100,000 files
TINY_SHAPE = (4, 3, 10)       # 120 files, plus the edge files
BIG_FILE = 1 << 30            # the one file of the big corpus
FLAT_FILES = 20000            # flat: all in one directory; spread: in 200
FLAT_FOLDERS = {"flat": 1, "spread": 200}


def small_halves(name, shape):
    dirs, subdirs, files = shape
    first = (dirs // 2) * subdirs * files
    middle = "%s/part1/d%02d/s0/f000.txt" % (name, dirs // 2)
    return (os.path.join(name, "part0"), first), middle


def prepare(root, name):
    """Builds (or finds) the corpus called name: include, libs, small, big, flat,
    spread or tiny."""
    if name == "include":
        build(root, name, lambda path: copy_tree(INCLUDE_SOURCE, path))
        return Corpus(root, name)
    if name == "libs":
        build(root, name, lambda path: copy_libraries(LIBS_SOURCE, path, LIBS_BUDGET))
        return Corpus(root, name)
    if name == "big":
        build(root, name, lambda path: write_mixed_file(os.path.join(path, "big.bin"),
                                                        BIG_FILE, 1))
        return Corpus(root, name)
    if name in FLAT_FOLDERS:
        build(root, name, lambda path: generate_flat(path, FLAT_FILES, FLAT_FOLDERS[name]))
        return Corpus(root, name)
    shape = SMALL_SHAPE if name == "small" else TINY_SHAPE
    build(root, name, lambda path: generate_small(path, *shape, edge_files=name == "tiny"))
    halves, middle = small_halves(name, shape)
    return Corpus(root, name, halves, middle)


def files_of(tree):
    """{relative path: absolute path} of every regular file under tree."""
    found = {}
    for folder, dirnames, filenames in os.walk(tree):
        dirnames.sort()
        for name in filenames:
            absolute = os.path.join(folder, name)
            found[os.path.relpath(absolute, tree)] = absolute
    return found


def warm(tree):
    """Reads every file once so the timed runs start from a warm cache."""
    for absolute in files_of(tree).values():
        with open(absolute, "rb") as source:
            while source.read(1 << 20):
                pass
