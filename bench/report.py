#!/usr/bin/env python3
"""Turns the raw files of bench/run.sh into the Markdown report.

Usage: report.py RAW_DIR FILESYSTEM[,FILESYSTEM...] TREE...

A file system is a folder of RAW_DIR (here, ext4 or tmpfs); a tree is N (nested) or flat-N (one
folder of N entries).
"""

import json
import statistics
import os
import re
import sys

# The peers as hyperfine names them, their names in the report and the jobs each is timed for:
# kehrlund (the program under test), the baseline (another build, typically the one before a
# change; left out when not given), find, systemd-tmpfiles, the floor of a clean (bench/floor.c,
# no scan) and its promise floor (bench/promisefloor.c, no scan).
PEERS = [("kehrlund", "kehrlund", ("scan", "clean")),
         ("baseline", "baseline", ("scan", "clean")),
         ("find", "find", ("scan", "clean")),
         ("tmpfiles", "systemd-tmpfiles", ("scan", "clean")),
         ("floor", "floor", ("clean",)),
         ("promisefloor", "promise floor", ("clean",))]
NAMES = {who: name for who, name, _ in PEERS}
BUILDS = ["kehrlund", "baseline"]
# The ratios of kehrlund's time to those of the others, in the tables.
RATIO_PEERS = ["find", "tmpfiles", "floor", "promisefloor", "baseline"]
# The targets: paired ratios of kehrlund's time to a peer's, warm, on the nested tree of
# TARGET_TREE entries, on each file system type; the cold daily case against find and
# systemd-tmpfiles; the peak memory of the clean and the scan of the same tree.
TARGET_TREE = "200000"
TARGET_KINDS = ["ext4", "tmpfs"]
TARGETS = [("clean", "floor", 1.25), ("clean", "promisefloor", 1.15), ("clean", "find", 0.75),
           ("clean", "tmpfiles", 0.80), ("scan", "find", 0.50)]
DAILY_TARGETS = [("find", 0.70), ("tmpfiles", 1.00)]
MEMORY_TARGET_KIB = 12 * 1024
SYSCALL_TREE = "200000"
SYSCALLS = ["openat", "getdents64", "statx", "newfstatat", "unlinkat", "write", "close", "fcntl",
            "dup", "futex", "clone3"]
OTHER_SYSCALL_SHOWN = 100  # a further call gets a row of its own from this count on


def read(*path):
    path = os.path.join(*path)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return f.read()


def text(*path):
    return (read(*path) or "").strip()


def hyperfine(*path):
    content = read(*path)
    if content is None:
        return {}
    return {r["command"]: r for r in json.loads(content)["results"]}


def merge_rounds(target, rounds):
    """Joins hyperfine's files of one run each into one, the times of round i at index i."""
    times, user, system = {}, {}, {}
    for path in rounds:
        with open(path, encoding="utf-8") as f:
            for r in json.load(f)["results"]:
                times.setdefault(r["command"], []).extend(r["times"])
                user.setdefault(r["command"], []).append(r["user"])
                system.setdefault(r["command"], []).append(r["system"])
    results = [{"command": who, "times": t, "median": statistics.median(t),
                "mean": statistics.mean(t), "min": min(t), "max": max(t),
                "stddev": statistics.stdev(t) if len(t) > 1 else 0.0,
                "user": statistics.mean(user[who]), "system": statistics.mean(system[who])}
               for who, t in times.items()]
    with open(target, "w", encoding="utf-8") as f:
        json.dump({"results": results}, f)


def paired_ratio(m, who, peer):
    """The median of the ratios of the runs made in the same round, else of the medians."""
    if "kehrlund" not in m or peer not in m:
        return None
    a, b = m[who], m[peer]
    if len(a) == len(b):
        return statistics.median(x / y for x, y in zip(a, b))
    return statistics.median(a) / statistics.median(b)


def seconds(value):
    return "%.3f s" % value


def peak_kib(*path):
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", read(*path) or "")
    return int(match.group(1)) if match else None


def syscalls(*path):
    """Calls per system call from strace -c, and the total ("total" as a key)."""
    counts = {}
    for line in (read(*path) or "").splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[3].isdigit():
            counts[fields[-1]] = int(fields[3])
    return counts


def label(tree):
    """The tree as a table cell."""
    if tree.startswith("flat-"):
        return "%s in one folder" % format(int(tree[5:]), ",")
    return format(int(tree), ",")


def named(tree):
    """The tree in a sentence."""
    if tree.startswith("flat-"):
        return "one folder of %s entries" % format(int(tree[5:]), ",")
    return "%s entries" % format(int(tree), ",")


def mib(kib):
    return "—" if kib is None else "%.1f MiB" % (kib / 1024)


def ratio_shown(value):
    return "%.2fx" % value


def target_row(out, title, value, limit, show):
    """One row of the targets' table: value (None when not measured) against an upper limit."""
    if value is None:
        out.append("| %s | at most %s | not measured | — |" % (title, show(limit)))
    else:
        out.append("| %s | at most %s | %s | %s |" % (title, show(limit), show(value),
                                                   "met" if value <= limit else "not met"))


def time_section(out, raw, fs, trees, info):
    out.append("### Time")
    out.append("")
    out.append("| tree | job | cache | runs | " + " | ".join(name for _, name, _ in PEERS)
               + " | kehrlund µs/entry |")
    out.append("|---|---|---|---:|" + "---:|" * (len(PEERS) + 1))
    medians = {}
    for t in trees:
        for job in ("scan", "clean"):
            for cache in ("warm", "cold"):
                r = hyperfine(raw, fs, "time-%s-%s-%s.json" % (job, cache, t))
                if "kehrlund" not in r:
                    continue
                medians[(t, job, cache)] = {who: r[who]["times"] for who, _, _ in PEERS
                                            if who in r}
                cells = ["%.3f ± %.3f s" % (r[who]["median"], r[who]["stddev"]) if who in r
                         else "—" for who, _, _ in PEERS]
                out.append("| %s | %s | %s | %d | %s | %.2f |" % (
                    label(t), job, cache, len(r["kehrlund"]["times"]), " | ".join(cells),
                    r["kehrlund"]["median"] / info[t]["entries"] * 1e6))
    out.append("")
    if medians:
        out.append("Ratios of kehrlund's time to the others' (below 1: kehrlund is faster), the "
                   "median of the ratios of the runs made in the same round:")
        out.append("")
        out.append("| tree | job | cache | " + " | ".join("kehrlund / %s" % NAMES[who]
                                                       for who in RATIO_PEERS) + " |")
        out.append("|---|---|---|" + "---:|" * len(RATIO_PEERS))
        for (t, job, cache), m in medians.items():
            out.append("| %s | %s | %s | %s |" % (label(t), job, cache, " | ".join(
                "%.2f" % paired_ratio(m, "kehrlund", who) if who in m else "—"
                for who in RATIO_PEERS)))
        out.append("")
    return medians


def memory_section(out, raw, fs, trees):
    out.append("### Peak memory (/usr/bin/time -v, maximum resident set size)")
    out.append("")
    columns = [(who, name, job) for who, name, jobs in PEERS for job in jobs]
    out.append("| tree | " + " | ".join("%s %s" % (name, job) for _, name, job in columns)
               + " |")
    out.append("|---|" + "---:|" * len(columns))
    peaks = {}
    for t in trees:
        # The first two are kehrlund's (as built), which the targets judge.
        row = [peak_kib(raw, fs, "mem-%s-%s-%s.txt" % (job, who, t)) for who, _, job in columns]
        if row[0] is not None or row[1] is not None:
            peaks[t] = max(p for p in row[:2] if p is not None)
        out.append("| %s | %s |" % (label(t), " | ".join(mib(p) for p in row)))
    out.append("")
    return peaks


def same_work_section(out, raw, fs, trees, info):
    out.append("### Same work")
    out.append("")
    out.append("The files each leaves (`find tree -type f`) must be the same, fewer by the "
               "matching visible files of the tree; systemd-tmpfiles also removes the folders it "
               "empties. The floor removes the files kehrlund logged in its untimed clean, in "
               "that order; the promise floor the same files grouped by folder.")
    out.append("")
    for t in trees:
        tree = info[t]
        if read(raw, fs, "left-kehrlund-%s.txt" % t) is None:
            continue
        left = {}
        for who, _, _ in PEERS:
            counts = text(raw, fs, "left-%s-%s.txt" % (who, t)).split()
            left[who] = tuple(int(x) for x in counts) if len(counts) == 2 else None
        matching = tree["matching_files"]
        to_keep = tree["files"] - matching
        removed = {"kehrlund": text(raw, fs, "verify-clean-same-%s.txt" % t)}
        if "baseline" in BUILDS:
            removed["baseline"] = text(raw, fs, "verify-clean-same-baseline-%s.txt" % t)
        same_left = {who: text(raw, fs, "verify-remaining-%s-%s.txt" % (who, t))
                     for who, _, _ in PEERS[1:]}
        floor_log = text(raw, fs, "verify-floor-log-%s.txt" % t)
        promise_log = text(raw, fs, "verify-promisefloor-log-%s.txt" % t)
        folders = text(raw, fs, "verify-promisefloor-folders-%s.txt" % t).split()
        if len(folders) == 2:
            grouped = "%s folders, %s" % (folders[1], "each once" if folders[0] == folders[1]
                                          else "gone through %s times" % folders[0])
        else:
            grouped = "—"
        scanned = {who: text(raw, fs, "verify-scan-%s-%s.txt" % (who, t))
                   for who in BUILDS + ["find", "tmpfiles"]}
        scan_ok = (all(scanned[who] == "Treffer gesamt: 0" for who in BUILDS)
                   and scanned["find"] == "0" and scanned["tmpfiles"] == str(tree["files"]))
        clean_ok = (all(v == "same %d" % matching for v in removed.values())
                    and all(v == "same" for v in same_left.values())
                    and floor_log == "same %d" % matching
                    and promise_log == "same %d" % matching
                    and all(v is not None and v[0] == to_keep for v in left.values()))

        def counts(index):
            return ", ".join("%s %s" % (name, "—" if left[who] is None else left[who][index])
                             for who, name, _ in PEERS)

        out.append(
            "- %s: %s. Scan: %s, find listed %s, systemd-tmpfiles left %s of %d files. "
            "Clean: %s, %d matching visible files in the tree; removed lists against find's: %s; "
            "the floor's log against its list: %s; the promise floor's log against its list: %s "
            "(%s); the two builds' logs in order: %s; files left: %s, of %d (%d to keep); left "
            "against kehrlund: %s; folders left (the root included): %s, of %d." % (
                named(t), "the same work" if scan_ok and clean_ok else "NOT THE SAME WORK",
                ", ".join('%s "%s"' % (who, scanned[who]) for who in BUILDS), scanned["find"],
                scanned["tmpfiles"], tree["files"],
                ", ".join('%s "%s" (%s error messages)' % (
                    who, text(raw, fs, "verify-clean-%s-%s.txt" % (who, t)),
                    text(raw, fs, "verify-clean-errors-%s-%s.txt" % (who, t)) or "?")
                    for who in BUILDS), matching,
                ", ".join("%s %s" % (who, removed[who] or "—") for who in BUILDS),
                floor_log or "—", promise_log or "—", grouped,
                text(raw, fs, "verify-order-%s.txt" % t) or "—", counts(0),
                tree["files"], to_keep,
                ", ".join("%s %s" % (name, same_left[who] or "—") for who, name, _ in PEERS[1:]),
                counts(1), tree["folders"] + tree["hidden_folders"] + 1))
    out.append("")


def syscall_section(out, raw, fs, info):
    """The table of system calls; returns kehrlund's calls per entry in the clean, or None."""
    t = SYSCALL_TREE
    columns = [("%s %s" % (name, job), syscalls(raw, fs, "strace-%s-%s-%s.txt" % (job, who, t)))
               for job in ("scan", "clean") for who, name, jobs in PEERS if job in jobs]
    columns = [(title, counts) for title, counts in columns if counts]
    if not columns:
        return None
    tree = info[t]
    out.append("### System calls (strace -c -f, %s)" % named(t))
    out.append("")
    out.append("Each program alone (faketime's library loaded into it for the clean), start-up "
               "included. The tree has %d folders below the root (%d of them hidden) and %d "
               "matching visible files." % (tree["folders"] + tree["hidden_folders"],
                                            tree["hidden_folders"], tree["matching_files"]))
    out.append("")
    shown = list(SYSCALLS)
    further = {call for _, counts in columns for call, n in counts.items()
               if n >= OTHER_SYSCALL_SHOWN and call not in shown and call != "total"}
    shown += sorted(further, key=lambda call: -max(c.get(call, 0) for _, c in columns))
    out.append("| call | " + " | ".join(title for title, _ in columns) + " |")
    out.append("|---|" + "---:|" * len(columns))
    for call in shown:
        out.append("| %s | %s |" % (call, " | ".join(str(c.get(call, 0)) for _, c in columns)))
    rest = [c.get("total", 0) - sum(c.get(call, 0) for call in shown) for _, c in columns]
    out.append("| all others | %s |" % " | ".join(str(n) for n in rest))
    out.append("| total | %s |" % " | ".join(str(c.get("total", 0)) for _, c in columns))
    out.append("")
    visited = tree["folders"] + 1
    per_entry = None
    for title, c in columns:
        if title == "floor clean":
            out.append("- floor clean: %d calls, %.2f per removed file, %d unlink, %d write." % (
                c.get("total", 0), c.get("total", 0) / tree["matching_files"],
                c.get("unlink", 0) + c.get("unlinkat", 0), c.get("write", 0)))
            continue
        if title == "promise floor clean":
            hits = tree["matching_files"]
            out.append("- promise floor clean: %d calls, %.2f per removed file; per removed file "
                       "%s." % (c.get("total", 0), c.get("total", 0) / hits, ", ".join(
                           "%.2f %s" % (c.get(call, 0) / hits, call)
                           for call in ("statx", "openat", "newfstatat", "fcntl", "unlinkat",
                                        "close", "write"))))
            continue
        if not title.startswith("kehrlund"):
            continue
        line = ("- %s: %d calls, %.2f per entry; %.2f getdents64 calls per folder walked (%d, the "
                "root included; reading a folder to its end takes two), %d statx calls for %d "
                "matching files, %d unlinkat" % (
                    title, c.get("total", 0), c.get("total", 0) / tree["entries"],
                    c.get("getdents64", 0) / visited, visited, c.get("statx", 0),
                    tree["matching_files"], c.get("unlinkat", 0)))
        if title.endswith("clean"):
            if title == "kehrlund clean":
                per_entry = c.get("total", 0) / tree["entries"]
            line += ", %.2f write calls per hit (%d)" % (
                c.get("write", 0) / tree["matching_files"], c.get("write", 0))
        out.append(line + ".")
    out.append("")
    return per_entry


DAILY_PEERS = [("kehrlund", "kehrlund"), ("find", "find"), ("tmpfiles", "systemd-tmpfiles"),
               ("baseline", "baseline")]


def daily_section(out, raw):
    """The cold daily case; returns its times per peer (round i at index i), or None."""
    r = hyperfine(raw, "daily", "time-daily-cold.json")
    if "kehrlund" not in r:
        return None
    tree = json.loads(read(raw, "tree-daily.json"))
    peers = [(who, name) for who, name in DAILY_PEERS if who in r]
    old = text(raw, "daily", "old.txt")
    files = text(raw, "daily", "files.txt")
    out.append("## Cold daily case")
    out.append("")
    out.append("A daily timer with a 30-day period meets a cold cache: the job of 30 days on the "
               "nested tree of %s (%s files, %s of them matching and visible), of which %s "
               "matching files (every 30th of the sorted paths) were born on 2025-01-01 and "
               "have their status-change, access and modification times there too; every other "
               "file was born when the image was made. No faketime: the real clock. File system: "
               "%s. Before each run a fresh copy of the image is loop-mounted, then `sync` and "
               "`echo 3 > /proc/sys/vm/drop_caches`; the peers take turns, round by round. find "
               "runs the clean's command line (`! -newerct '30 days ago' -delete`), "
               "systemd-tmpfiles `--clean` with the line `e TREE - - - 30d`." % (
                   named(str(tree["entries"])), files or "?",
                   text(raw, "daily", "matching.txt") or "?", old or "?",
                   text(raw, "daily", "filesystem.txt") or "?"))
    out.append("")
    out.append("| peer | runs | median | min | max | peak memory |")
    out.append("|---|---:|---:|---:|---:|---:|")
    for who, name in peers:
        out.append("| %s | %d | %.3f ± %.3f s | %.3f s | %.3f s | %s |" % (
            name, len(r[who]["times"]), r[who]["median"], r[who]["stddev"], r[who]["min"],
            r[who]["max"], mib(peak_kib(raw, "daily", "mem-%s.txt" % who))))
    out.append("")
    times = {who: r[who]["times"] for who, _ in peers}
    out.append("Paired ratios (the median of the ratios within each round): %s." % ", ".join(
        "kehrlund / %s %.2f" % (name, paired_ratio(times, "kehrlund", who))
        for who, name in peers if who != "kehrlund"))
    out.append("")
    removed = {who: text(raw, "daily", "verify-removed-%s.txt" % who) for who, _ in peers}
    left = {who: text(raw, "daily", "verify-remaining-%s.txt" % who) for who, _ in peers[1:]}
    ok = (all(v == "same %s" % old for v in removed.values())
          and all(v.startswith("same ") for v in left.values()))
    out.append(
        "Same work: %s. Removed against the %s old files: %s; files left against kehrlund's: "
        "%s; files left: %s; the logs end with %s." % (
            "the same files removed" if ok else "NOT THE SAME WORK", old or "?",
            ", ".join("%s %s" % (name, removed[who] or "—") for who, name in peers),
            ", ".join("%s %s" % (name, left[who] or "—") for who, name in peers[1:]),
            ", ".join("%s %s" % (name, text(raw, "daily", "left-%s.txt" % who) or "—")
                      for who, name in peers),
            ", ".join('%s "%s" (%s error messages)' % (
                name, text(raw, "daily", "verify-log-%s.txt" % who),
                text(raw, "daily", "verify-errors-%s.txt" % who) or "?")
                for who, name in peers if who in BUILDS)))
    out.append("")
    return times


def main():
    if sys.argv[1] == "--merge":
        merge_rounds(sys.argv[2], sys.argv[3:])
        return
    raw = sys.argv[1]
    filesystems = [fs for fs in sys.argv[2].split(",") if fs]
    trees = sys.argv[3:]
    machine = [line.split(": ", 1) for line in read(raw, "machine.txt").splitlines()]
    info = dict(machine)
    if info.get("baseline", "none") == "none":
        PEERS[:] = [p for p in PEERS if p[0] != "baseline"]
        BUILDS.remove("baseline")
        RATIO_PEERS.remove("baseline")
    out = []
    out.append("# Kehrlund against GNU find and systemd-tmpfiles, %s on %s" % (info["date"],
                                                                            info["host"]))
    out.append("")
    out.append("## Machine and run")
    out.append("")
    for key, value in machine:
        out.append("- %s: %s" % (key, value))
    out.append("")

    trees_info = {t: json.loads(read(raw, "tree-%s.json" % t)) for t in trees}
    daily_tree = read(raw, "tree-daily.json")
    shown = list(trees)
    if daily_tree:
        daily_info = json.loads(daily_tree)
        trees_info.setdefault(str(daily_info["entries"]), daily_info)
        shown = list(dict.fromkeys(shown + [str(daily_info["entries"])]))
    out.append("## Trees (bench/gentree.py, seed %s)" % info["seed"])
    out.append("")
    out.append("Files to keep have a modification time a year ahead, so that systemd-tmpfiles "
               "keeps them too.")
    out.append("")
    out.append("| tree | entries | folders | files | matching | to keep | hidden files "
               "| hidden folders | widest folder | next widest | depth |")
    out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for t in shown:
        i = trees_info[t]
        out.append("| %s | %d | %d | %d | %d | %d | %d | %d | %d | %d | %d |" % (
            label(t), i["entries"], i["folders"], i["files"], i["matching_files"],
            i["files"] - i["matching_files"], i["hidden_files"], i["hidden_folders"],
            i["widest_folder"], i["widest_other_folder"], i["max_depth"]))
    out.append("")

    if filesystems:
        out.append("Times are from hyperfine, with a fresh copy of the tree before every run, the "
                   "commands taking turns one run each, round after round, each round starting with "
                   "the next command: median ± standard deviation; a ratio is the median of the "
                   "ratios within each round, so that a slower spell of the machine hits both sides "
                   "alike. Cold runs drop the caches after "
                   "the copy (`sync; echo 3 > /proc/sys/vm/drop_caches`); on tmpfs the tree itself "
                   "stays in memory, only the programs' own files and other caches go. Peak memory "
                   "and the same work come from one untimed run of each. The baseline is another "
                   "build of the program, given on the command line (typically the one before a "
                   "change); the floor (bench/floor.c, clean "
                   "only) does nothing but remove the files of a list made beforehand and append "
                   "each path to a log, one write per file; the promise floor "
                   "(bench/promisefloor.c, clean only) removes the same files keeping the "
                   "program's promises, from the list grouped by folder: each folder opened "
                   "once, and per file the status read (statx), the file opened, its identity "
                   "checked (fstat), a write lease taken, the removal, the close and one write "
                   "to its log, seven system calls.")
        out.append("")
    results = {}
    for fs in filesystems:
        described = text(raw, fs, "filesystem.txt")
        kind = described.split()[0] if described else "?"
        out.append("## File system %s: %s" % (fs, described))
        out.append("")
        medians = time_section(out, raw, fs, trees, trees_info)
        peaks = memory_section(out, raw, fs, trees)
        same_work_section(out, raw, fs, trees, trees_info)
        per_entry = syscall_section(out, raw, fs, trees_info)
        results[fs] = (kind, medians, peaks, per_entry)
    daily = daily_section(out, raw)

    fixed = hyperfine(raw, "fixed.json")
    if fixed:
        processes = text(raw, "processes.txt") or "?"
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
    out.append("Ratios are paired (the median of the ratios of the runs of one round) and "
               "taken in this run; the clean and the scan warm, on the nested tree of %s. Peak "
               "memory is kehrlund's, from its untimed warm runs of the same tree." % named(
                   TARGET_TREE))
    out.append("")
    out.append("| target | limit | measured | |")
    out.append("|---|---|---:|---|")
    kinds = list(TARGET_KINDS) + [results[fs][0] for fs in filesystems
                                  if results[fs][0] not in TARGET_KINDS]
    kinds = list(dict.fromkeys(kinds))
    sections = [(kind, fs) for kind in kinds
                for fs in ([fs for fs in filesystems if results[fs][0] == kind]
                           or ([None] if kind in TARGET_KINDS else []))]
    for kind, fs in sections:
        name = "%s (%s)" % (kind, fs) if fs and fs != kind else kind
        medians = results[fs][1] if fs else {}
        for job, peer, limit in TARGETS:
            title = "%s, %s: %s, kehrlund / %s" % (name, named(TARGET_TREE), job, NAMES[peer])
            m = medians.get((TARGET_TREE, job, "warm"), {})
            target_row(out, title, paired_ratio(m, "kehrlund", peer) if peer in m else None,
                       limit, ratio_shown)
    for kind, fs in sections:
        name = "%s (%s)" % (kind, fs) if fs and fs != kind else kind
        for job in ("clean", "scan"):
            peak = peak_kib(raw, fs, "mem-%s-kehrlund-%s.txt" % (job, TARGET_TREE)) if fs else None
            target_row(out, "%s, %s: peak memory of kehrlund's %s" % (
                name, named(TARGET_TREE), job), peak, MEMORY_TARGET_KIB, mib)
    daily_entries = json.loads(daily_tree)["entries"] if daily_tree else int(TARGET_TREE)
    for peer, limit in DAILY_TARGETS:
        target_row(out, "cold daily case, %s, ext4: kehrlund / %s" % (
            named(str(daily_entries)), NAMES[peer]),
            paired_ratio(daily, "kehrlund", peer) if daily and peer in daily else None, limit,
            ratio_shown)
    out.append("")

    out.append("## Reported figures (not judged)")
    out.append("")
    out.append("From the runs of this run, as paired ratios: kehrlund against the baseline "
               "(below 1: kehrlund is faster), warm, kehrlund's clean against the floor's "
               "on the trees the targets leave out, and against the promise floor's on every "
               "tree.")
    out.append("")
    for kind, fs in [(kind, fs) for kind, fs in sections if fs]:
        medians = results[fs][1]
        name = "%s (%s)" % (kind, fs) if fs != kind else kind
        shown_trees = list(dict.fromkeys(list(trees) + [TARGET_TREE]))
        for t in shown_trees:
            pairs = [(job, "baseline") for job in ("scan", "clean") if "baseline" in BUILDS]
            if t != TARGET_TREE:
                pairs.append(("clean", "floor"))
            pairs.append(("clean", "promisefloor"))
            for job, peer in pairs:
                m = medians.get((t, job, "warm"), {})
                title = "%s, %s: %s, kehrlund against %s" % (name, named(t), job, NAMES[peer])
                if "kehrlund" in m and peer in m:
                    out.append("- %s: %.2fx (medians %s against %s)" % (
                        title, paired_ratio(m, "kehrlund", peer),
                        seconds(statistics.median(m["kehrlund"])),
                        seconds(statistics.median(m[peer]))))
                else:
                    out.append("- %s: not measured" % title)
        per_entry = results[fs][3]
        if per_entry is not None:
            out.append("- %s, %s: system calls per entry in kehrlund's clean: %.2f" % (
                name, named(SYSCALL_TREE), per_entry))
    if "baseline" in BUILDS:
        if daily and "baseline" in daily:
            out.append("- cold daily case: kehrlund against the baseline: %.2fx (medians %s "
                       "against %s)" % (paired_ratio(daily, "kehrlund", "baseline"),
                                        seconds(statistics.median(daily["kehrlund"])),
                                        seconds(statistics.median(daily["baseline"]))))
        else:
            out.append("- cold daily case: kehrlund against the baseline: not measured")
    out.append("")
    print("\n".join(out))


if __name__ == "__main__":
    main()
