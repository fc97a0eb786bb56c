#!/usr/bin/env python3
"""Turns the raw files of bench/run.sh into the Markdown report.

Usage: report.py RAW_DIR SIZE...
"""

import json
import os
import re
import sys

SCAN_TARGET = 1.25
CLEAN_TARGET = 1.5
MEMORY_LIMIT_KIB = 32 * 1024
MEMORY_GROWTH_KIB = 4 * 1024
SYSCALLS = ["openat", "getdents64", "statx", "newfstatat", "unlinkat", "write", "close", "fcntl",
            "dup"]


def read(raw, name):
    path = os.path.join(raw, name)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return f.read()


def hyperfine(raw, name):
    text = read(raw, name)
    if text is None:
        return {}
    return {r["command"]: r for r in json.loads(text)["results"]}


def peak_kib(raw, name):
    text = read(raw, name)
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text or "")
    return int(match.group(1)) if match else None


def syscalls(raw, name):
    text = read(raw, name)
    counts = {}
    for line in (text or "").splitlines():
        fields = line.split()
        if len(fields) < 5 or not fields[3].isdigit() or fields[-1] == "total":
            continue
        counts[fields[-1]] = int(fields[3])
    return counts


def seconds(result):
    return "%.3f ± %.3f s (median %.3f)" % (result["mean"], result["stddev"], result["median"])


def mib(kib):
    return "—" if kib is None else "%.1f MiB" % (kib / 1024)


def verdict(ok):
    return "met" if ok else "NOT MET"


def main():
    raw = sys.argv[1]
    sizes = [int(n) for n in sys.argv[2:]]
    machine = [line.split(": ", 1) for line in read(raw, "machine.txt").splitlines()]
    info = dict(machine)
    out = []
    out.append("# Kehrlund against GNU find, %s on %s" % (info["date"], info["host"]))
    out.append("")
    out.append("## Machine and run")
    out.append("")
    for key, value in machine:
        out.append("- %s: %s" % (key, value))
    out.append("")

    trees = {n: json.loads(read(raw, "tree-%d.json" % n)) for n in sizes}
    out.append("## Trees (bench/gentree.py, seed %s)" % info["seed"])
    out.append("")
    out.append("| entries | folders | files | matching | hidden files | hidden folders | widest folder "
               "| next widest | depth |")
    out.append("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in sizes:
        t = trees[n]
        out.append("| %d | %d | %d | %d | %d | %d | %d | %d | %d |" % (
            n, t["folders"], t["files"], t["matching_files"], t["hidden_files"],
            t["hidden_folders"], t["widest_folder"], t["widest_other_folder"], t["max_depth"]))
    out.append("")

    out.append("## Time (hyperfine, a fresh copy of the tree before every run)")
    out.append("")
    out.append("Ratio = kehrlund / find, of the means and of the medians. Time per entry from the "
               "median.")
    out.append("")
    out.append("| entries | job | runs | kehrlund | find | ratio (mean) | ratio (median) "
               "| kehrlund µs/entry | find µs/entry |")
    out.append("|---:|---|---:|---|---|---:|---:|---:|---:|")
    ratios = {}
    per_entry = {}
    for n in sizes:
        for job in ("scan", "clean"):
            r = hyperfine(raw, "%s-%d.json" % (job, n))
            if "kehrlund" not in r or "find" not in r:
                continue
            k, f = r["kehrlund"], r["find"]
            ratios[(n, job)] = (k["mean"] / f["mean"], k["median"] / f["median"])
            per_entry[(n, job)] = (k["median"] / n * 1e6, f["median"] / n * 1e6)
            out.append("| %d | %s | %d | %s | %s | %.2f | %.2f | %.2f | %.2f |" % (
                n, job, len(k["times"]), seconds(k), seconds(f), ratios[(n, job)][0],
                ratios[(n, job)][1], per_entry[(n, job)][0], per_entry[(n, job)][1]))
    out.append("")

    out.append("## Peak memory (/usr/bin/time -v, maximum resident set size)")
    out.append("")
    out.append("| entries | kehrlund scan | kehrlund clean | find scan | find clean |")
    out.append("|---:|---:|---:|---:|---:|")
    peaks = {}
    for n in sizes:
        row = [peak_kib(raw, "mem-%s-%s-%d.txt" % (job, who, n))
               for who in ("kehrlund", "find") for job in ("scan", "clean")]
        peaks[n] = max(p for p in row[:2] if p is not None)
        out.append("| %d | %s | %s | %s | %s |" % (n, mib(row[0]), mib(row[1]), mib(row[2]),
                                                   mib(row[3])))
    out.append("")
    out.append("find's figures include the bash that starts it.")
    out.append("")

    out.append("## Same work")
    out.append("")
    for n in sizes:
        scan_total = (read(raw, "verify-scan-kehrlund-%d.txt" % n) or "").strip()
        scan_find = (read(raw, "verify-scan-find-%d.txt" % n) or "").strip()
        clean_total = (read(raw, "verify-clean-kehrlund-%d.txt" % n) or "").strip()
        errors = (read(raw, "verify-clean-errors-%d.txt" % n) or "").strip()
        same = (read(raw, "verify-clean-same-%d.txt" % n) or "").strip()
        out.append("- %d entries: scan: kehrlund \"%s\", find listed %s; clean: kehrlund \"%s\" "
                   "(%s error messages), %d matching files in the tree; removed lists of "
                   "kehrlund and find: %s." % (n, scan_total, scan_find, clean_total, errors,
                                               trees[n]["matching_files"], same))
    out.append("")

    straced = [n for n in sizes if read(raw, "strace-scan-kehrlund-%d.txt" % n)]
    for n in straced:
        columns = [("kehrlund scan", "strace-scan-kehrlund-%d.txt"),
                   ("find scan", "strace-scan-find-%d.txt"),
                   ("kehrlund clean", "strace-clean-kehrlund-%d.txt"),
                   ("find clean", "strace-clean-find-%d.txt")]
        counts = [syscalls(raw, name % n) for _, name in columns]
        out.append("## System calls (strace -c -f, %d entries)" % n)
        out.append("")
        out.append("Counts include start-up (and, for find, the bash that starts it and "
                   "faketime's). The tree has %d folders below the root (%d of them hidden) and "
                   "%d matching visible files." % (trees[n]["folders"] + trees[n]["hidden_folders"],
                                                   trees[n]["hidden_folders"],
                                                   trees[n]["matching_files"]))
        out.append("")
        out.append("| call | " + " | ".join(title for title, _ in columns) + " |")
        out.append("|---|" + "---:|" * len(columns))
        for call in SYSCALLS:
            out.append("| %s | %s |" % (call, " | ".join(str(c.get(call, 0)) for c in counts)))
        out.append("")
        visited = trees[n]["folders"] + 1
        for title, c in zip([t for t, _ in columns], counts):
            if not title.startswith("kehrlund"):
                continue
            out.append("- %s: %.2f getdents64 calls per folder walked (%d, the root included; "
                       "reading a folder to its end takes two), %d statx calls for %d matching "
                       "files, %d unlinkat." % (title, c.get("getdents64", 0) / visited, visited,
                                                c.get("statx", 0), trees[n]["matching_files"],
                                                c.get("unlinkat", 0)))
        out.append("")

    fixed = hyperfine(raw, "fixed.json")
    if fixed:
        processes = (read(raw, "processes.txt") or "?").strip()
        out.append("## Fixed cost of a run")
        out.append("")
        out.append("| command | time |")
        out.append("|---|---|")
        for name, result in fixed.items():
            out.append("| %s | %.1f ± %.1f ms |" % (name, result["mean"] * 1000,
                                                    result["stddev"] * 1000))
        if "no job" in fixed and "one job, empty folder" in fixed:
            out.append("")
            out.append("A job adds %.1f ms: the one snapshot of the files that running "
                       "programs hold open (%s processes were running), and reading, checking "
                       "and sweeping the job (an empty folder)." % (
                           (fixed["one job, empty folder"]["mean"] - fixed["no job"]["mean"])
                           * 1000, processes))
        out.append("")

    out.append("## Targets")
    out.append("")
    if (200000, "scan") in ratios:
        mean, median = ratios[(200000, "scan")]
        out.append("- scan at 200,000 entries within %.2fx of find: %.2fx (median %.2fx): %s" % (
            SCAN_TARGET, mean, median, verdict(median <= SCAN_TARGET)))
    if (200000, "clean") in ratios:
        mean, median = ratios[(200000, "clean")]
        out.append("- clean at 200,000 entries within %.2fx of find: %.2fx (median %.2fx): %s" % (
            CLEAN_TARGET, mean, median, verdict(median <= CLEAN_TARGET)))
    if 1000000 not in peaks:
        out.append("- peak memory at 1,000,000 entries: measured in the full mode only")
    else:
        out.append("- peak memory at 1,000,000 entries under 32 MiB: %s: %s" % (
            mib(peaks[1000000]), verdict(peaks[1000000] < MEMORY_LIMIT_KIB)))
        if 10000 in peaks:
            growth = peaks[1000000] - peaks[10000]
            out.append("- at most 4 MiB above the 10,000-entry run (same widest folder): "
                       "%+.1f MiB: %s" % (growth / 1024, verdict(growth <= MEMORY_GROWTH_KIB)))
    largest = max(sizes)
    for job in ("scan", "clean"):
        line = ", ".join("%d: %.2f" % (n, per_entry[(n, job)][0]) for n in sizes
                         if (n, job) in per_entry)
        if largest > 200000 and (largest, job) in per_entry and (200000, job) in per_entry:
            line += "; %d against 200000: x%.2f (find: x%.2f)" % (
                largest, per_entry[(largest, job)][0] / per_entry[(200000, job)][0],
                per_entry[(largest, job)][1] / per_entry[(200000, job)][1])
        out.append("- kehrlund µs per entry, %s: %s" % (job, line))
    out.append("  (linear growth keeps the time per entry about the same from 200,000 entries "
               "on; at 10,000 the fixed cost of a run still shows)")
    out.append("")
    print("\n".join(out))


if __name__ == "__main__":
    main()
