"""Turns the raw results of bench/run into a Markdown report on standard output.

Usage: report.py RESULTS_DIR

Wall time: the median (and the quartiles) of every timed run of all rounds, from
hyperfine's per-run times. CPU time: hyperfine gives the mean user and system time of a
round; the table shows the median of those round means. Peak memory: the median of GNU
time's maximum resident set size.
"""

import glob
import json
import os
import re
import statistics
import sys


def quartiles(values):
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], statistics.median(values), q[2]


def load_timings(results, label):
    """name -> {'times': [...], 'cpu': [...]} over every round of `label`."""
    tools = {}
    order = []
    for path in sorted(glob.glob(os.path.join(results, f"{label}-r*.json"))):
        with open(path, encoding="utf-8") as f:
            for entry in json.load(f)["results"]:
                name = entry["command"]
                if name not in tools:
                    tools[name] = {"times": [], "cpu": []}
                tools[name]["times"].extend(entry["times"])
                tools[name]["cpu"].append(entry["user"] + entry["system"])
    # The order of the first round's commands is the order the tools were listed in.
    first = sorted(glob.glob(os.path.join(results, f"{label}-r0.json")))
    if first:
        with open(first[0], encoding="utf-8") as f:
            order = [entry["command"] for entry in json.load(f)["results"]]
    return tools, order


def load_memory(results, label, name):
    path = os.path.join(results, f"{label}-mem-{name}.txt")
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        values = [int(line) for line in f if line.strip().isdigit()]
    return statistics.median(values) if values else None


def ms(seconds):
    return f"{seconds * 1000:.3f}"


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "n/a"


def timing_table(results, label, subject):
    tools, order = load_timings(results, label)
    if subject not in tools:
        return [f"(no timings for {label})"], {}
    rows = {}
    for name in order:
        low, median, high = quartiles(tools[name]["times"])
        rows[name] = {
            "wall": median,
            "q1": low,
            "q3": high,
            "runs": len(tools[name]["times"]),
            "cpu": statistics.median(tools[name]["cpu"]),
            "mem": load_memory(results, label, name),
        }
    lines = [
        f"| tool | runs | wall median (ms) | wall quartiles (ms) | CPU user+sys (ms) "
        f"| peak RSS (KiB) | {subject} ÷ tool: wall | CPU | memory |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    me = rows[subject]
    for name in order:
        row = rows[name]
        mem = f"{row['mem']:.0f}" if row["mem"] is not None else "n/a"
        mark = "—" if name == subject else None
        lines.append(
            f"| {name} | {row['runs']} | {ms(row['wall'])} | {ms(row['q1'])} – {ms(row['q3'])} "
            f"| {ms(row['cpu'])} | {mem} "
            f"| {mark or ratio(me['wall'], row['wall'])} | {mark or ratio(me['cpu'], row['cpu'])} "
            f"| {mark or ratio(me['mem'], row['mem'])} |"
        )
    return lines, rows


CALLGRIND_ROWS = [
    ("everything (program totals)", r"PROGRAM TOTALS"),
    ("dynamic loader: loading and relocating (`_dl_start`)", r":_dl_start \["),
    ("lazy binding of library calls (`_dl_runtime_resolve`)", r":_dl_runtime_resolve\w* \["),
    ("`main`, all of it", r":main \["),
    ("reading the call (`argument_text`)", r"::argument_text\("),
    ("lower-casing the keyword (`lower_case`)", r"::lower_case\("),
    ("short path and existence (`kurzname`, `vorhanden`)", r"Module1::(kurzname|vorhanden)\("),
    ("the start (`create_process`)", r"::create_process\("),
    ("ending (`exit`)", r":exit \["),
]


def callgrind_counts(results, name):
    path = os.path.join(results, f"callgrind-{name}.txt")
    if not os.path.exists(path):
        return {}
    counts = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.readlines()
    for label, pattern in CALLGRIND_ROWS:
        # A function can be listed once per source file it has code from; its largest
        # inclusive count is the whole function. Distinct functions are summed.
        per_function = {}
        for line in lines:
            match = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)", line)
            if match and re.search(pattern, match.group(2)):
                function = re.sub(r"^[^:]*:(?!:)|\s*\[.*$", "", match.group(2))
                value = int(match.group(1).replace(",", ""))
                per_function[function] = max(per_function.get(function, 0), value)
        counts[label] = sum(per_function.values())
    return counts


def strace_counts(results, name):
    path = os.path.join(results, f"strace-{name}.txt")
    counts = {}
    if not os.path.exists(path):
        return counts
    with open(path, encoding="utf-8") as f:
        for line in f:
            tokens = line.split()
            if len(tokens) >= 5 and re.match(r"[\d.]+$", tokens[0]) and tokens[3].isdigit():
                counts[tokens[-1]] = int(tokens[3])
    return counts


def read_lines(results, name):
    path = os.path.join(results, name)
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f]


def main():
    results = sys.argv[1]
    out = ["# zdrv launch benchmark", "", "## Machine", ""]
    out += [f"- {line}" for line in read_lines(results, "machine.txt")]

    out += ["", "## Linux: `zdrv normal bench-noop` against the floor and the usual tools", ""]
    lines, rows = timing_table(results, "linux", "zdrv")
    out += lines
    if "zdrv" in rows and "floor" in rows:
        over = (rows["zdrv"]["wall"] / rows["floor"]["wall"] - 1) * 100
        out += ["", f"zdrv's wall time is {over:+.1f} % against the floor."]

    out += ["", "## Wine: `zdrv.exe normal benchnoop.exe` against `start /normal benchnoop.exe`", ""]
    skipped = read_lines(results, "wine-skipped.txt")
    if skipped:
        out += [f"Skipped: {' '.join(skipped)}"]
    else:
        out += timing_table(results, "wine", "zdrv.exe")[0]

    out += ["", "## Sizes", ""]
    for line in read_lines(results, "sizes-linux.txt"):
        name, size, *libs = line.split()
        out.append(f"- `{name}` (Linux): {int(size):,} bytes; shared libraries: {', '.join(libs)}")
    for line in read_lines(results, "sizes-win32.txt"):
        name, rest = line.split(" ", 1)
        if name == "imports":
            out.append(f"- DLLs `zdrv.exe` imports: {', '.join(rest.split())}")
        else:
            out.append(f"- `{name}`: {int(rest):,} bytes")

    tools = ["zdrv", "floor", "nice", "chrt"]
    counted = ["zdrv", "floor"]
    counts = {name: callgrind_counts(results, name) for name in counted}
    out += ["", "## Instructions of one launch (callgrind, the launcher's process only)", ""]
    out += ["| part | " + " | ".join(counted) + " |", "|---|" + "---:|" * len(counted)]
    for label, _ in CALLGRIND_ROWS:
        cells = []
        for name in counted:
            value = counts[name].get(label, 0)
            cells.append(f"{value:,}" if value else "—")
        out.append(f"| {label} | " + " | ".join(cells) + " |")

    calls = {name: strace_counts(results, name) for name in tools}
    names = sorted(
        {call for name in tools for call in calls[name]} - {"total"},
        key=lambda call: (-calls["zdrv"].get(call, 0), call),
    )
    out += ["", "## System calls of one launch (strace -f -c: the launcher and the program it starts)", ""]
    out += ["| system call | " + " | ".join(tools) + " |", "|---|" + "---:|" * len(tools)]
    for call in names + ["total"]:
        out.append(f"| {call} | " + " | ".join(str(calls[name].get(call, 0)) for name in tools) + " |")
    print("\n".join(out))


if __name__ == "__main__":
    main()
