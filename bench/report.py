"""Turns the raw results of bench/run into a Markdown report on standard output.

Usage: report.py RESULTS_DIR

Wall time: the median (and the quartiles) of every timed run of all rounds, from
hyperfine's per-run times. The ratio of the subject to another tool is paired: the
median over rounds of the ratio of the two tools' medians in the same round, so that a
change of the machine's load between rounds cancels out. CPU time: hyperfine gives the
mean user and system time of a round; the table shows the median of those round means.
Peak memory and minor page faults: medians of GNU time's samples.
"""

import glob
import json
import os
import re
import statistics
import sys


def load_rounds(results, label):
    """The rounds of `label` in order, each {name: {'times': [...], 'cpu': seconds}},
    and the tools' names in the order of the first round."""
    rounds = []
    for path in sorted(glob.glob(os.path.join(results, f"{label}-r*.json"))):
        with open(path, encoding="utf-8") as f:
            entries = json.load(f)["results"]
        rounds.append(
            {e["command"]: {"times": e["times"], "cpu": e["user"] + e["system"]} for e in entries}
        )
    order = list(rounds[0]) if rounds else []
    return rounds, order


def load_memory(results, label, name):
    """Medians of (peak resident set in KiB, minor page faults), or Nones."""
    path = os.path.join(results, f"{label}-mem-{name}.txt")
    samples = []
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                fields = line.split()
                if len(fields) == 2 and all(field.isdigit() for field in fields):
                    samples.append((int(fields[0]), int(fields[1])))
    if not samples:
        return None, None
    return (statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples))


def ms(seconds):
    return f"{seconds * 1000:.3f}"


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "n/a"


def paired_ratio(rounds, subject, other):
    ratios = [
        statistics.median(r[subject]["times"]) / statistics.median(r[other]["times"])
        for r in rounds
        if subject in r and other in r
    ]
    return statistics.median(ratios) if ratios else None


def summarise(results, label):
    rounds, order = load_rounds(results, label)
    rows = {}
    for name in order:
        times = [t for r in rounds for t in r[name]["times"]]
        if len(times) > 1:
            q1, median, q3 = statistics.quantiles(times, n=4, method="inclusive")
        else:
            q1 = median = q3 = times[0]
        mem, faults = load_memory(results, label, name)
        rows[name] = {
            "wall": median,
            "q1": q1,
            "q3": q3,
            "runs": len(times),
            "cpu": statistics.median(r[name]["cpu"] for r in rounds),
            "mem": mem,
            "faults": faults,
        }
    return rounds, order, rows


def timing_table(results, label, subject):
    rounds, order, rows = summarise(results, label)
    if subject not in rows:
        return [f"(no timings for {label})"], rows, rounds
    me = rows[subject]
    lines = [
        f"| tool | runs | wall median (ms) | wall quartiles (ms) | CPU user+sys (ms) "
        f"| peak RSS (KiB) | minor faults | {subject} ÷ tool: wall (paired) | CPU | memory |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for name in order:
        row = rows[name]
        mem = f"{row['mem']:.0f}" if row["mem"] is not None else "n/a"
        faults = f"{row['faults']:.0f}" if row["faults"] is not None else "n/a"
        if name == subject:
            ratios = ["—", "—", "—"]
        else:
            wall = paired_ratio(rounds, subject, name)
            ratios = [
                f"{wall:.2f}" if wall is not None else "n/a",
                ratio(me["cpu"], row["cpu"]),
                ratio(me["mem"], row["mem"]),
            ]
        lines.append(
            f"| {name} | {row['runs']} | {ms(row['wall'])} | {ms(row['q1'])} – {ms(row['q3'])} "
            f"| {ms(row['cpu'])} | {mem} | {faults} | " + " | ".join(ratios) + " |"
        )
    return lines, rows, rounds


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


def wine_configuration(results, name, title):
    """The section of one Wine configuration: its table and ratios, or why it was skipped."""
    out = ["", f"### {title}", ""]
    skipped = read_lines(results, f"wine-{name}-skipped.txt")
    if skipped:
        return out + [f"Skipped: {' '.join(skipped)}"]
    label = f"wine-{name}"
    lines, rows, rounds = timing_table(results, label, "zdrv.exe")
    out += lines + [""]
    for other in ("floor", "start", "baseline"):
        if "zdrv.exe" in rows and other in rows:
            paired = paired_ratio(rounds, "zdrv.exe", other)
            pooled = rows["zdrv.exe"]["wall"] / rows[other]["wall"]
            out.append(
                f"- zdrv.exe ÷ {other}: {paired:.2f} (wall, paired by round; {len(rounds)} rounds), "
                f"{pooled:.2f} (medians of all runs)."
            )
    for launcher in ("zdrv", "baseline"):
        dlls = " ".join(read_lines(results, f"{label}-dlls-{launcher}.txt")).split()
        if dlls:
            user32 = "user32 loaded" if "user32.dll" in dlls else "no user32"
            out.append(
                f"- DLLs in {launcher}.exe's process on a successful start (`WINEDEBUG=+loaddll`): "
                f"{', '.join(dlls[1:])} ({user32})."
            )
    return out


def main():
    results = sys.argv[1]
    out = ["# zdrv launch benchmark", "", "## Machine", ""]
    out += [f"- {line}" for line in read_lines(results, "machine.txt")]

    out += ["", "## Linux: `zdrv normal bench-noop` against the floor and the usual tools", ""]
    linux_skipped = read_lines(results, "linux-skipped.txt")
    if linux_skipped:
        out.append(f"Skipped: {' '.join(linux_skipped)}")
    else:
        lines, rows, rounds = timing_table(results, "linux", "zdrv")
        out += lines
        out.append("")
        for floor in ("floor", "floor+pipe"):
            if "zdrv" in rows and floor in rows:
                paired = (paired_ratio(rounds, "zdrv", floor) - 1) * 100
                pooled = (rows["zdrv"]["wall"] / rows[floor]["wall"] - 1) * 100
                out.append(
                    f"- zdrv's wall time against {floor}: {paired:+.1f} % (paired by round), "
                    f"{pooled:+.1f} % (medians of all runs)."
                )

    out += ["", "## Wine: `zdrv.exe normal noop.exe` against the floor and `start /normal noop.exe`"]
    skipped = read_lines(results, "wine-skipped.txt")
    if skipped:
        out += ["", f"Skipped: {' '.join(skipped)}"]
    for line in [] if skipped else read_lines(results, "wine-configurations.txt"):
        name, title = line.split("\t", 1)
        out += wine_configuration(results, name, title)

    out += ["", "## Sizes", ""]
    for line in read_lines(results, "sizes-linux.txt"):
        name, size, *libs = line.split()
        out.append(f"- `{name}` (Linux): {int(size):,} bytes; shared libraries: {', '.join(libs)}")
    for bits in ("32", "64"):
        for line in read_lines(results, f"sizes-win{bits}.txt"):
            name, rest = line.split(" ", 1)
            if name == "imports":
                out[-1] += f"; imports {', '.join(rest.split())}"
            else:
                out.append(f"- `{name}` ({bits}-bit): {int(rest):,} bytes")

    if linux_skipped:
        print("\n".join(out))
        return
    tools = ["zdrv", "floor", "floor+pipe", "nice", "chrt"]
    counted = ["zdrv", "floor", "floor+pipe"]
    if os.path.exists(os.path.join(results, "strace-baseline.txt")):
        tools.append("baseline")
        counted.append("baseline")
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
