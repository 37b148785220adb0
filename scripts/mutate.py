#!/usr/bin/env python3
"""A small mutation check of the test suite, run by hand (not in CI).

Copies the committed tree into a scratch directory, builds it once, then for
each one-line fault below: applies it alone, rebuilds, runs ctest and puts the
line back. A fault the suite notices is killed; one it does not, survived.
Prints a table and the score.

  scripts/mutate.py                 # every fault
  scripts/mutate.py --only 3,5      # some of them, by number
  scripts/mutate.py --keep DIR      # build in DIR and leave it there
  scripts/mutate.py --exclude 'consumer|python'   # skip slow tests by name

ctest stops at a fault's first failing test, so a killed fault costs little.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

# file, line as it is, line as the fault has it, what the fault means.
MUTATIONS = [
    ("archive/Inflate.cpp",
     "  if (result != LIBDEFLATE_SUCCESS || inflated != realSize) return false;",
     "  if (result != LIBDEFLATE_SUCCESS) return false;",
     "a part that inflates short is read as whole"),
    ("archive/Names.cpp",
     "    } else if (c >= 'A' && c <= 'Z') {",
     "    } else if (c >= 'A' && c <= 'Y') {",
     "one capital letter left out of name normalisation"),
    ("archive/ArchiveIndex.cpp",
     "  if (r.offset < dataEnd || end > header.indexOffset) return false;",
     "  if (r.offset < dataEnd) return false;",
     "a region reaching past the index is accepted at open"),
    ("archive/Journal.cpp",
     "  if (!out.Spill() || !fs_.Flush(journal_.Handle())) return false;",
     "  if (!out.Spill()) return false;",
     "a journal segment not flushed before the archive is overwritten"),
    ("archive/Journal.cpp",
     "          !WriteAll(fs_, archive, extent.offset + done, chunk.data(), n)) {",
     "          (WriteAll(fs_, archive, extent.offset + done, chunk.data(), n), false)) {",
     "a rollback whose writes fail deletes the journal anyway"),
    ("tool/Dispatcher.cpp",
     "  if (!closed) return kExitFailed;",
     "  if (!closed) return commandOk ? kExitOk : kExitFailed;",
     "a failed index write at Close exits 0 after a command that succeeded"),
    # At Close the journal, not the header, commits (the header keeps the mark
    # until the journal is gone), so a flush left out between the new index
    # and header loses nothing. In a rollback the restored header clears the
    # mark and so commits: there it must follow the restored bytes.
    ("archive/Journal.cpp",
     "  if (!fs_.Truncate(archive, length_) || !fs_.Flush(archive)) return false;",
     "  if (!fs_.Truncate(archive, length_)) return false;",
     "the header written back before the restored bytes are flushed"),
    ("archive/Journal.cpp",
     "             fs_.FlushDirectory(DirectoryOf(path_)) && Mark();",
     "             Mark();",
     "the journal's directory entry not flushed after its creation"),
    ("archive/Journal.cpp",
     "  if (Crc(crc, head, 16) != format::LoadU32(head + 16)) return false;",
     "  if (Crc(crc, head, 16) != format::LoadU32(head + 16) && false) return false;",
     "a torn journal segment is applied"),
    ("archive/Journal.cpp",
     "      finding.state = failed ? State::Unreadable : State::NotAJournal;",
     "      finding.state = State::NotAJournal;",
     "a journal that could not be read is taken for a foreign file"),
    ("archive/ArchiveIndex.cpp",
     "  dataEnd = end;",
     "  dataEnd = std::max(dataEnd, uint64_t(r.offset));",
     "overlapping regions accepted at open"),
    ("archive/ArchiveIndex.cpp",
     "    if (stored > size && stored < best) {",
     "    if (stored > size && stored <= best) {",
     "of equal free slots the later one is taken"),
    ("archive/ArchiveRead.cpp",
     "  buffer.currentPart = kNoPart;",
     "",
     "a caller's buffer keeps a part that failed to load"),
    ("archive/ArchiveExtract.cpp",
     '    if (component == "..") inside = false;',
     "",
     "a name with '..' is extracted outside the destination"),
    ("archive/ArchiveVerify.cpp",
     "  return InflatePart(stored, storedSize, out, realSize, &consumed) && consumed == storedSize;",
     "  return InflatePart(stored, storedSize, out, realSize, &consumed);",
     "a part with bytes after its zlib stream passes -verify"),
]


def run(argv, cwd, log):
    return subprocess.run(argv, cwd=cwd, stdout=log, stderr=subprocess.STDOUT).returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", help="comma-separated fault numbers (from 1)")
    parser.add_argument("--keep", help="scratch directory to use and keep")
    parser.add_argument("--jobs", default="2", help="build and ctest parallelism (default 2)")
    parser.add_argument("--exclude", default="consumer",
                        help="ctest -E regex of tests not run (default: consumer)")
    parser.add_argument("--skip-baseline", action="store_true",
                        help="do not first run the suite on the unmutated tree")
    args = parser.parse_args()
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    chosen = range(1, len(MUTATIONS) + 1)
    if args.only:
        chosen = [int(n) for n in args.only.split(",")]

    scratch = args.keep or tempfile.mkdtemp(prefix="korvat-mutate-")
    src, build = os.path.join(scratch, "src"), os.path.join(scratch, "build")
    files = set(filter(None, subprocess.run(["git", "ls-files", "-z"], cwd=repo, check=True,
                                            capture_output=True).stdout.decode().split("\0")))
    # A kept build is reused: only files that differ are copied, and with a
    # new time, so that make rebuilds exactly what changed.
    for root, _, names in os.walk(src):
        for name in names:
            if os.path.relpath(os.path.join(root, name), src) not in files:
                os.remove(os.path.join(root, name))
    for name in files:
        source, target = os.path.join(repo, name), os.path.join(src, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if not os.path.exists(target) or open(source, "rb").read() != open(target, "rb").read():
            shutil.copyfile(source, target)
            shutil.copymode(source, target)
    log_path = os.path.join(scratch, "log.txt")
    with open(log_path, "w") as log:
        ctest = ["ctest", "--test-dir", build, "-j", args.jobs, "-E", args.exclude]
        if not (run(["cmake", "-S", src, "-B", build], src, log) and
                run(["cmake", "--build", build, "-j", args.jobs], src, log) and
                (args.skip_baseline or run(ctest, src, log))):
            sys.exit("the unmutated tree does not build or pass; see " + log_path)
        rows, killed = [], 0
        for n in chosen:
            path, before, after, what = MUTATIONS[n - 1]
            target = os.path.join(src, path)
            with open(target) as f:
                original = f.read()
            if original.count(before + "\n") != 1:
                rows.append((n, "stale", what))
                continue
            with open(target, "w") as f:
                f.write(original.replace(before + "\n", after + "\n" if after else ""))
            start = time.time()
            log.write("\n=== %d: %s\n" % (n, what))
            log.flush()
            if not run(["cmake", "--build", build, "-j", args.jobs], src, log):
                outcome = "no build"
            elif run(ctest + ["--stop-on-failure"], src, log):
                outcome = "SURVIVED"
            else:
                outcome, killed = "killed", killed + 1
            with open(target, "w") as f:
                f.write(original)
            rows.append((n, outcome, "%s (%.0f s)" % (what, time.time() - start)))
            print("%2d  %-8s  %s" % rows[-1], flush=True)
        if args.keep:  # the kept build as the sources are, the last fault undone
            run(["cmake", "--build", build, "-j", args.jobs], src, log)
    print("\n| # | outcome | fault |\n|---:|---|---|")
    for row in rows:
        print("| %d | %s | %s |" % row)
    print("\nkilled %d of %d" % (killed, len(rows)))
    if args.keep:
        print("build and log (log.txt) kept in " + scratch)
    else:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
