"""Runs one measured command as a child and reads its own resource usage.

A small launcher (launch.py) forks each command, so that the command's max
RSS is not raised to the harness's size; wall time comes from
time.perf_counter around the child's whole life, CPU time (user + system) and
peak memory (ru_maxrss) from os.wait4 on that child. The launcher's own
resident size (about 5 MiB) is still the floor of every max RSS: rss_floor()
measures it.

For a shell pipeline run as one `bash -c` child, wait4 reports bash together
with every process it waited for: the CPU time is their sum and the max RSS
the largest of them.
"""

import os
import statistics
import subprocess
import sys
import tempfile


class CommandFailed(Exception):
    pass


class Sample:
    def __init__(self, wall, cpu, max_rss_kib):
        self.wall = wall
        self.cpu = cpu
        self.max_rss_kib = max_rss_kib


LAUNCHER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "launch.py")


def run_once(argv, cwd=None, stdout_path=os.devnull):
    """Runs argv to completion through the launcher; a Sample, or
    CommandFailed on a nonzero exit."""
    with tempfile.NamedTemporaryFile("r", prefix="korvat-bench-", suffix=".txt") as result:
        launcher = [sys.executable, "-I", "-S", LAUNCHER, result.name, stdout_path] + list(argv)
        child = subprocess.run(launcher, cwd=cwd, stderr=subprocess.PIPE)
        line = result.read().split()
    if child.returncode != 0 or len(line) != 4 or line[3] != "0":
        raise CommandFailed("%s failed (exit %s): %s" % (
            " ".join(argv), line[3] if len(line) == 4 else child.returncode,
            child.stderr.decode(errors="replace").strip()[:2000]))
    return Sample(float(line[0]), float(line[1]), int(line[2]))


def rss_floor():
    """The max RSS the launcher gives a command that uses no memory (KiB)."""
    return run_once(["true"]).max_rss_kib


def shell(script):
    """argv running script as one bash child (pipefail, so any stage failing fails it)."""
    return ["bash", "-o", "pipefail", "-c", script]


def summary(values):
    return {"min": min(values), "median": statistics.median(values)}


class Measurement:
    """The repetitions of one row: its samples and the size of what it produced."""

    def __init__(self, samples, output_bytes):
        self.wall = summary([s.wall for s in samples])
        self.cpu = summary([s.cpu for s in samples])
        self.max_rss_kib = summary([s.max_rss_kib for s in samples])
        self.output_bytes = output_bytes
        self.reps = len(samples)


def measure(argv, reps, cwd=None, before=None, output=None, check=None):
    """Runs argv reps times. before() runs ahead of each run, untimed (it
    deletes the previous run's outputs; the last run's stay for later rows);
    output() gives the size of what the first run produced and check()
    inspects it, both untimed."""
    samples, output_bytes = [], None
    for rep in range(reps):
        if before:
            before()
        samples.append(run_once(argv, cwd=cwd))
        if rep == 0:
            output_bytes = output() if output else None
            if check:
                check()
    return Measurement(samples, output_bytes)


def path_size(path):
    """Bytes of a file, or of every file in a tree."""
    if os.path.isfile(path):
        return os.path.getsize(path)
    total = 0
    for folder, _, filenames in os.walk(path):
        total += sum(os.path.getsize(os.path.join(folder, name)) for name in filenames)
    return total
