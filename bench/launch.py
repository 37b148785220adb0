"""Runs one command for the benchmark and writes its resource usage.

Usage: python3 -I -S launch.py RESULT STDOUT ARGV...

Linux gives a child the resident size its parent had when it forked as the
floor of its max RSS, so the measured commands are forked from this small,
fresh interpreter rather than from the harness (whose memory grows with the
corpora). It forks and execs ARGV with its output in STDOUT, reads the
child's own CPU time and max RSS with os.wait4, and writes
"wall cpu max_rss_kib exit_code" to RESULT.
"""

import os
import sys
import time


def resolve(program):
    """program's path, searched in PATH before the fork: a search in the child
    would allocate, and the child's memory is the command's floor."""
    if "/" in program:
        return program
    for folder in os.get_exec_path():
        path = os.path.join(folder, program)
        if os.access(path, os.X_OK) and not os.path.isdir(path):
            return path
    return program


def main(result, stdout, argv):
    program = resolve(argv[0])
    out = os.open(stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            os.dup2(out, 1)
            os.close(out)
            os.execv(program, argv)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    os.close(out)
    with open(result, "w") as out:
        out.write("%.6f %.6f %d %d\n" % (wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss,
                                         os.waitstatus_to_exitcode(status)))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
