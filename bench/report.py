"""The benchmark's report: ratios, the markdown tables, the JSON, RESULTS.md.

A row is one measured command (corpus, operation, level, tool). korvat's rows
carry the ratios of their median wall time to the peers' in the same corpus,
operation and level: korvat/zip, korvat/pigz, and korvat/cp for a level-0 add.
"""

import datetime
import json
import os
import platform
import re
import subprocess


class Row:
    def __init__(self, corpus, operation, level, tool, peer, command, measurement, note=""):
        self.corpus = corpus
        self.operation = operation
        self.level = level
        self.tool = tool      # what the table shows, e.g. "tar | pigz -6"
        self.peer = peer      # korvat, zip, gzip, pigz or cp: what ratios match on
        self.command = command
        self.measurement = measurement
        self.note = note
        self.ratios = {}


def median_wall(row):
    return row.measurement.wall["median"]


def add_ratios(rows):
    """Fills each korvat row's ratios against its peers' rows."""
    by_key = {(r.corpus, r.operation, r.level, r.peer): r for r in rows}
    for row in rows:
        if row.peer != "korvat":
            continue
        for peer in ("zip", "pigz"):
            other = by_key.get((row.corpus, row.operation, row.level, peer))
            if other and median_wall(other) > 0:
                row.ratios[peer] = median_wall(row) / median_wall(other)
        copy = by_key.get((row.corpus, "copy", None, "cp"))
        if row.operation == "add" and row.level == 0 and copy and median_wall(row) > 0:
            row.ratios["cp"] = median_wall(row) / median_wall(copy)


def scaling(rows, halves):
    """Per-file cost of -add and -list at half and full size. halves maps
    (corpus, operation, level) of a half-set row to (its files, the full set's)."""
    by_key = {(r.corpus, r.operation, r.level, r.peer): r for r in rows}
    result = []
    for (corpus, operation, level), (half_files, full_files) in halves.items():
        half = by_key.get((corpus, operation + " half", level, "korvat"))
        full = by_key.get((corpus, operation, level, "korvat"))
        if not half or not full:
            continue
        per_half = median_wall(half) / half_files
        per_full = median_wall(full) / full_files
        result.append({"corpus": corpus, "operation": operation, "level": level,
                       "half_files": half_files, "full_files": full_files,
                       "per_file_half_us": per_half * 1e6, "per_file_full_us": per_full * 1e6,
                       "full_over_half": per_full / per_half if per_half > 0 else None})
    return result


# --- Markdown -------------------------------------------------------------------

def seconds(value):
    return "%.3f" % value


def mib(kib):
    return "%.1f" % (kib / 1024)


def ratio(value):
    return "%.2f" % value if value is not None else ""


def size_text(row):
    size = row.measurement.output_bytes
    return "%.1f" % (size / 1e6) if size is not None else ""


def notes(row):
    parts = [row.note] if row.note else []
    if "cp" in row.ratios:
        parts.append("korvat/cp %.2f (%.0f%% of cp's throughput)"
                     % (row.ratios["cp"], 100 / row.ratios["cp"]))
    return "; ".join(parts)


TABLE_HEAD = (
    "| corpus | operation | level | tool | wall min (s) | wall median (s) | CPU min (s) "
    "| CPU median (s) | max RSS min (MiB) | max RSS median (MiB) | output (MB) "
    "| korvat/zip | korvat/pigz | note |\n"
    "|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n")


def table_line(row):
    m = row.measurement
    level = "" if row.level is None else str(row.level)
    cells = [row.corpus, row.operation, level, row.tool,
             seconds(m.wall["min"]), seconds(m.wall["median"]),
             seconds(m.cpu["min"]), seconds(m.cpu["median"]),
             mib(m.max_rss_kib["min"]), mib(m.max_rss_kib["median"]), size_text(row),
             ratio(row.ratios.get("zip")), ratio(row.ratios.get("pigz")), notes(row)]
    return cells_line(cells)


def cells_line(cells):
    """A table line; a '|' inside a cell (a pipeline) is escaped."""
    return "| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |\n"


SCALING_HEAD = (
    "| corpus | operation | level | half: files | half: per file (µs) | full: files "
    "| full: per file (µs) | full/half per file |\n|---|---|---|---:|---:|---:|---:|---:|\n")


def scaling_line(item):
    cells = [item["corpus"], item["operation"], str(item["level"]),
             str(item["half_files"]), "%.1f" % item["per_file_half_us"],
             str(item["full_files"]), "%.1f" % item["per_file_full_us"],
             ratio(item["full_over_half"])]
    return cells_line(cells)


def markdown(rows, scaled, rss_floor_kib):
    text = TABLE_HEAD + "".join(table_line(r) for r in rows)
    text += ("\nMax RSS: the child's own peak; for a pipeline the largest of its processes. "
             "Its floor here is %s MiB (what the launcher gives `true`).\n" % mib(rss_floor_kib))
    if scaled:
        text += "\nScaling with the number of files (korvat, median wall):\n\n"
        text += SCALING_HEAD + "".join(scaling_line(s) for s in scaled)
    return text


# --- Machine, JSON, RESULTS.md ------------------------------------------------------

def cpu_model():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    match = re.search(r"^Model name:\s*(.+)$", out, re.MULTILINE)
    return match.group(1).strip() if match else "unknown"


def memory_total():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemTotal:"):
                return "%.1f GiB" % (int(line.split()[1]) / 1024 / 1024)
    return "unknown"


def machine():
    return {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "nproc": len(os.sched_getaffinity(0)), "cpu": cpu_model(),
            "memory": memory_total(), "kernel": platform.release()}


def row_json(row):
    m = row.measurement
    return {"corpus": row.corpus, "operation": row.operation, "level": row.level,
            "tool": row.tool, "command": row.command, "reps": m.reps,
            "wall_s": m.wall, "cpu_s": m.cpu, "max_rss_kib": m.max_rss_kib,
            "output_bytes": m.output_bytes, "ratios": row.ratios, "note": row.note}


def write_json(path, info, options, rows, scaled, micro):
    document = {"machine": info, "options": options, "rows": [row_json(r) for r in rows],
                "scaling": scaled, "micro": micro}
    with open(path, "w") as out:
        json.dump(document, out, indent=1)


def machine_line(info):
    return "%s; %d cores (nproc); %s; %s memory; kernel %s" % (
        info["date"], info["nproc"], info["cpu"], info["memory"], info["kernel"])


def replace_section(text, heading, body):
    """text with the body under '## heading' replaced (up to the next '## ')."""
    pattern = re.compile(r"(^## %s[ \t]*\n)(.*?)(?=^## |\Z)" % re.escape(heading),
                         re.MULTILINE | re.DOTALL)
    if pattern.search(text):
        return pattern.sub(lambda m: m.group(1) + "\n" + body + "\n", text, count=1)
    return text.rstrip("\n") + "\n\n## %s\n\n%s\n" % (heading, body)


def write_results_md(path, label, info, command, table):
    heading = label.capitalize()
    body = "Run %s.\n\nCommand: `%s`\n\n%s" % (machine_line(info), command, table)
    text = open(path).read() if os.path.exists(path) else "# Benchmark results\n"
    with open(path, "w") as out:
        out.write(replace_section(text, heading, body))
