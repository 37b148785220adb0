#!/usr/bin/env python3
"""korvat against zip, tar | gzip, tar | pigz and cp -r on real corpora.

Builds the corpora once (bench/corpus.py), then for each corpus and level
times adding, extracting everything, extracting one file and listing, each
command as a child whose wall time, CPU time and max RSS are measured
(bench/measure.py), and prints a markdown table with korvat's ratios to zip
and pigz and writes the same figures as JSON (bench/report.py). Every korvat
archive is extracted once and compared with its corpus byte for byte; a
mismatch fails the run. Standard library only.
"""

import argparse
import filecmp
import json
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

import corpus as corpora  # noqa: E402 (after the line above)
import measure  # noqa: E402
import report  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ALL_CORPORA = ("include", "libs", "small")
PEERS = ("zip", "unzip", "gzip", "pigz", "tar", "cp")


class Failure(Exception):
    pass


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    release = os.path.join(REPO, "build-release")
    parser.add_argument("--corpus", default=",".join(ALL_CORPORA),
                        help="comma-separated: include, libs, small (default all), and big "
                        "(one 1 GiB file, for peak memory), flat and spread (20,000 files in "
                        "one directory and in 200), only when named")
    parser.add_argument("--levels", default="0,1,6,9", help="compression levels (default 0,1,6,9)")
    parser.add_argument("--reps", type=int, default=3, help="repetitions of each command")
    parser.add_argument("--work", default=os.path.join(release, "bench-work"),
                        help="where corpora and outputs go")
    parser.add_argument("--smoke", action="store_true",
                        help="tiny generated corpus, 1 rep, levels 0 and 6, missing peers skipped")
    parser.add_argument("--json", help="results file (default WORK/results.json)")
    parser.add_argument("--korvat", default=os.path.join(release, "korvat"))
    parser.add_argument("--micro", action="store_true", help="also run the micro benchmarks")
    parser.add_argument("--micro-bin", default=os.path.join(release, "bench", "micro",
                                                            "korvat_micro"))
    parser.add_argument("--results-md", help="write the table into this file's section --label")
    parser.add_argument("--label", choices=("before", "after"), default="before")
    args = parser.parse_args(argv)
    if args.smoke:
        args.corpus, args.levels, args.reps = "tiny", "0,6", 1
    args.corpora = [c for c in args.corpus.split(",") if c]
    args.level_list = [int(level) for level in args.levels.split(",") if level]
    args.work = os.path.abspath(args.work)
    args.korvat = os.path.abspath(args.korvat)
    return args


def check_arguments(args):
    unknown = [c for c in args.corpora
               if c not in ALL_CORPORA + ("big", "flat", "spread", "tiny")]
    if unknown:
        raise Failure("unknown corpus: %s" % ", ".join(unknown))
    if any(level < 0 or level > 9 for level in args.level_list) or not args.level_list:
        raise Failure("levels go from 0 to 9")
    if args.reps < 1:
        raise Failure("--reps must be at least 1")
    if not os.access(args.korvat, os.X_OK):
        raise Failure("no korvat executable at %s (build it, or give --korvat)" % args.korvat)


def available_peers(smoke):
    """The peer tools found; a full run needs them all, a smoke run skips the missing."""
    found = {tool for tool in PEERS if shutil.which(tool)}
    missing = [tool for tool in PEERS if tool not in found]
    if missing and not smoke:
        raise Failure("missing peers: %s (scripts/bench.sh installs them as root)"
                      % " ".join(missing))
    for tool in missing:
        print("skipping %s: not installed" % tool, flush=True)
    return found


# --- One corpus ------------------------------------------------------------------

class Bench:
    """What the rows of one run share: options, peers, the output folder, the rows."""

    def __init__(self, args, peers):
        self.args = args
        self.peers = peers
        self.out = os.path.join(args.work, "out")
        self.aside = os.path.join(args.work, "aside")  # earlier outputs, deleted at the end
        self.rows = []
        self.halves = {}

    def path(self, name):
        return os.path.join(self.out, name)

    def run(self, corpus, operation, level, tool, peer, argv, note="", **options):
        print("  %-8s %-12s %-2s %s" % (corpus.name, operation, "" if level is None else level,
                                        tool), flush=True)
        result = measure.measure(argv, self.args.reps, **options)
        self.rows.append(report.Row(corpus.name, operation, level, tool, peer,
                                    " ".join(argv), result, note))


def fresh_file(*paths):
    """A before() that deletes paths (an archive and its journal)."""
    def remove():
        for path in paths:
            if os.path.lexists(path):
                os.remove(path)
        os.sync()  # no earlier output is written back while the command runs
    return remove


def set_aside(path, aside):
    """Moves path, if there, into the directory aside, which is deleted only
    when the run ends: ext4 passes over inodes freed in the last few minutes
    when it makes new ones, so deleting 100,000 files shortly before a run
    makes each file that run creates cost a search past them, for whichever
    tool comes next."""
    if os.path.lexists(path):
        os.makedirs(aside, exist_ok=True)
        os.rename(path, os.path.join(aside, str(len(os.listdir(aside)))))


def fresh_dir(path, aside):
    """A before() that leaves path an empty directory, an earlier output set
    aside."""
    def recreate():
        set_aside(path, aside)
        os.makedirs(path)
        os.sync()  # no earlier output is written back while the command runs
    return recreate


def bench_corpus(bench, corpus):
    set_aside(bench.out, bench.aside)
    os.makedirs(bench.out)
    print("corpus %s: warming the cache" % corpus.name, flush=True)
    corpora.warm(corpus.path)
    if "cp" in bench.peers:
        target = bench.path("cp-" + corpus.name)
        bench.run(corpus, "copy", None, "cp -r", "cp", ["cp", "-r", corpus.path, target],
                  before=lambda: set_aside(target, bench.aside) or os.sync(),
                  output=lambda: measure.path_size(target))
        set_aside(target, bench.aside)
    for level in bench.args.level_list:
        archives = add_rows(bench, corpus, level)
        extract_rows(bench, corpus, level, archives)
        if corpus.middle:
            extract_one_rows(bench, corpus, level, archives)
        list_rows(bench, corpus, level, archives)
        if corpus.halves and level == scaling_level(bench.args.level_list):
            half_rows(bench, corpus, level)
        set_aside(bench.out, bench.aside)
        os.makedirs(bench.out)


def scaling_level(levels):
    return 6 if 6 in levels else levels[-1]


# --- Rows ---------------------------------------------------------------------------

def add_rows(bench, corpus, level):
    """-add and its peers at one level; the archives they leave, by peer."""
    archives = {"korvat": bench.path("%s-%d.korvat" % (corpus.name, level))}
    korvat = archives["korvat"]
    bench.run(corpus, "add", level, "korvat -add", "korvat",
              [bench.args.korvat, korvat, "-add", corpus.name, corpus.root, str(level)],
              before=fresh_file(korvat, korvat + "-journal"),
              output=lambda: os.path.getsize(korvat))
    if "zip" in bench.peers:
        archives["zip"] = zip_add(bench, corpus, level)
    for compressor in ("gzip", "pigz"):
        if compressor in bench.peers and "tar" in bench.peers:
            if compressor == "gzip" and level == 0:
                continue  # gzip has no level 0; pigz -0 stores
            archives[compressor] = tar_add(bench, corpus, level, compressor)
    return archives


def zip_add(bench, corpus, level):
    target = bench.path("%s-%d.zip" % (corpus.name, level))
    bench.run(corpus, "add", level, "zip -r -q -%d" % level, "zip",
              ["zip", "-r", "-q", "-%d" % level, target, corpus.name], cwd=corpus.root,
              before=fresh_file(target), output=lambda: os.path.getsize(target))
    return target


def tar_add(bench, corpus, level, compressor):
    target = bench.path("%s-%d-%s.tar.gz" % (corpus.name, level, compressor))
    script = "tar -C '%s' -c '%s' | %s -%d > '%s'" % (corpus.root, corpus.name, compressor,
                                                     level, target)
    bench.run(corpus, "add", level, "tar | %s -%d" % (compressor, level), compressor,
              measure.shell(script), before=fresh_file(target),
              output=lambda: os.path.getsize(target))
    return target


def extract_rows(bench, corpus, level, archives):
    dest = bench.path("extract")
    bench.run(corpus, "extract all", level, "korvat -extract", "korvat",
              [bench.args.korvat, archives["korvat"], "-extract", dest],
              before=fresh_dir(dest, bench.aside), output=lambda: measure.path_size(dest),
              check=lambda: verify_extracted(corpus, os.path.join(dest, corpus.name)))
    if "zip" in archives and "unzip" in bench.peers:
        bench.run(corpus, "extract all", level, "unzip -q", "zip",
                  ["unzip", "-q", archives["zip"], "-d", dest],
                  before=fresh_dir(dest, bench.aside), output=lambda: measure.path_size(dest))
    tar_extract(bench, corpus, level, archives, dest)
    set_aside(dest, bench.aside)


def tar_extract(bench, corpus, level, archives, dest):
    """tar x of the tarball, decompressed by pigz when there is one, else by gzip."""
    compressor = "pigz" if "pigz" in archives else "gzip" if "gzip" in archives else None
    if compressor is None:
        return
    script = "%s -dc '%s' | tar -x -C '%s'" % (compressor, archives[compressor], dest)
    bench.run(corpus, "extract all", level, "%s -d | tar x" % compressor, compressor,
              measure.shell(script), before=fresh_dir(dest, bench.aside),
              output=lambda: measure.path_size(dest))


def extract_one_rows(bench, corpus, level, archives):
    dest = bench.path("one")
    bench.run(corpus, "extract one", level, "korvat -extract NAME", "korvat",
              [bench.args.korvat, archives["korvat"], "-extract", dest, corpus.middle],
              before=fresh_dir(dest, bench.aside), output=lambda: measure.path_size(dest),
              check=lambda: verify_one(corpus, dest))
    if "zip" in archives and "unzip" in bench.peers:
        bench.run(corpus, "extract one", level, "unzip -q NAME", "zip",
                  ["unzip", "-q", archives["zip"], corpus.middle, "-d", dest],
                  before=fresh_dir(dest, bench.aside), output=lambda: measure.path_size(dest))
    set_aside(dest, bench.aside)


def list_rows(bench, corpus, level, archives):
    bench.run(corpus, "list", level, "korvat -list", "korvat",
              [bench.args.korvat, archives["korvat"], "-list"])
    if "zip" in archives and "unzip" in bench.peers:
        bench.run(corpus, "list", level, "unzip -l", "zip", ["unzip", "-l", archives["zip"]])


def half_rows(bench, corpus, level):
    """-add and -list of the first half of the files, for the per-file cost."""
    subtree, files = corpus.halves
    total = len(corpora.files_of(corpus.path))
    target = bench.path("%s-half-%d.korvat" % (corpus.name, level))
    bench.run(corpus, "add half", level, "korvat -add (%d files)" % files, "korvat",
              [bench.args.korvat, target, "-add", subtree, corpus.root, str(level)],
              before=fresh_file(target, target + "-journal"),
              output=lambda: os.path.getsize(target))
    bench.run(corpus, "list half", level, "korvat -list (%d files)" % files, "korvat",
              [bench.args.korvat, target, "-list"])
    for operation in ("add", "list"):
        bench.halves[(corpus.name, operation, level)] = (files, total)


# --- Checks ---------------------------------------------------------------------------

def verify_extracted(corpus, extracted):
    """The extracted tree holds every corpus file (names in lower case) with its bytes."""
    expected = {name.lower(): path for name, path in corpora.files_of(corpus.path).items()}
    found = corpora.files_of(extracted)
    if set(found) != set(expected):
        missing = sorted(set(expected) - set(found))[:5]
        extra = sorted(set(found) - set(expected))[:5]
        raise Failure("%s: extracted files differ from the corpus (missing %s, extra %s)"
                      % (corpus.name, missing, extra))
    for name, path in found.items():
        if not filecmp.cmp(path, expected[name], shallow=False):
            raise Failure("%s: %s extracted with other bytes" % (corpus.name, name))


def verify_one(corpus, dest):
    extracted = os.path.join(dest, corpus.middle)
    if not filecmp.cmp(extracted, os.path.join(corpus.root, corpus.middle), shallow=False):
        raise Failure("%s: %s extracted with other bytes" % (corpus.name, corpus.middle))


# --- Micro benchmarks -------------------------------------------------------------------

def run_micro(args):
    """The micro benchmarks' JSON, or None when the binary was not built."""
    if not os.access(args.micro_bin, os.X_OK):
        print("micro benchmarks not built (%s); configure with -DKORVAT_BENCH=ON"
              % args.micro_bin, flush=True)
        return None
    out = os.path.join(args.work, "micro.json")
    argv = [args.micro_bin, "--benchmark_out=" + out, "--benchmark_out_format=json"]
    if args.smoke:
        argv += ["--korvat_smoke", "--benchmark_min_time=0.01"]
    print("micro benchmarks: %s" % " ".join(argv), flush=True)
    subprocess.run(argv, check=True)
    with open(out) as source:
        return json.load(source)


# --- Main -----------------------------------------------------------------------------------

def run(args):
    check_arguments(args)
    peers = available_peers(args.smoke)
    os.makedirs(args.work, exist_ok=True)
    bench = Bench(args, peers)
    for name in args.corpora:
        bench_corpus(bench, corpora.prepare(os.path.join(args.work, "corpus"), name))
    shutil.rmtree(bench.out, ignore_errors=True)
    shutil.rmtree(bench.aside, ignore_errors=True)
    report.add_ratios(bench.rows)
    scaled = report.scaling(bench.rows, bench.halves)
    micro = run_micro(args) if args.micro else None
    info = report.machine()
    info["rss_floor_kib"] = measure.rss_floor()
    table = report.markdown(bench.rows, scaled, info["rss_floor_kib"])
    print("\n" + table)
    options = {"corpora": args.corpora, "levels": args.level_list, "reps": args.reps,
               "smoke": args.smoke, "korvat": args.korvat}
    json_path = args.json or os.path.join(args.work, "results.json")
    report.write_json(json_path, info, options, bench.rows, scaled, micro)
    print("JSON written to %s" % json_path)
    if args.results_md:
        command = "bench/run.py " + " ".join(sys.argv[1:])
        report.write_results_md(args.results_md, args.label, info, command, table)


def main(argv):
    args = parse_args(argv)
    try:
        run(args)
    except (Failure, measure.CommandFailed) as error:
        print("bench: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
