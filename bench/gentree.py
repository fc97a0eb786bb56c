#!/usr/bin/env python3
"""Builds a reproducible folder tree for the benchmark.

The same entry count and seed always give the same tree (names, nesting, sizes). Every tree has
one folder of exactly WIDE_FOLDER_FILES files, and every other folder holds fewer entries, so the
widest folder is the same at every tree size and memory can be compared across sizes. With --flat
the tree is a single folder (the root) that holds all entries as files.

Counted entries are everything below the root: visible and hidden folders and files.
About a third of the visible files match *.log or *.tmp (in mixed case); the rest do not match
(.txt, .log.gz, "catalog", ...). Hidden files and hidden folders, whose contents match, must be
left alone by both the program and find. About one name in a hundred is not ASCII.

systemd-tmpfiles, which ignores names and keeps a file when any of its times is young, is told
apart the same way: every file that must be kept (a name that does not match, a hidden file, any
file in a hidden folder) gets a modification time one year after the generation time. That
changes neither the status-change time (find -newerct) nor the birth time (the program).

Usage: gentree.py --entries N [--flat] [--seed S] [--summary FILE] ROOT
ROOT must not exist yet. A summary (JSON) goes to standard output, or to FILE.
"""

import argparse
import json
import os
import random
import sys
import time

MAX_DEPTH = 8
WIDE_FOLDER_FILES = 2500
WIDE_FOLDER_DEPTH = 3
HIDDEN_FOLDER_FILES = 5
KEEP_AHEAD = 365 * 24 * 3600  # seconds: how far the modification time of a kept file is ahead

STEMS = ["access", "Bericht", "build", "cache", "core", "debug", "Export", "import", "job",
         "Journal", "mail", "nightly", "report", "server", "session", "Sicherung", "trace",
         "upload", "worker", "Zugriff"]
NON_ASCII_STEMS = ["Übersicht", "größe", "café", "Ärger", "naïve", "Köln"]
MATCHING = [".log", ".tmp", ".LOG", ".Tmp", ".log", ".tmp", ".Log", ".TMP"]
NOT_MATCHING = [".txt", ".dat", ".log.gz", ".tmpl", ".csv", ".json", "", ".logx", "_log", ".bak"]
FOLDER_STEMS = ["data", "Logs", "archiv", "tmp", "Jahr", "projekt", "spool", "var", "Kunden",
                "b", "A", "old.log", "work.tmp"]


def folder_count(entries):
    return max(500, min(6000, entries // 40))


def file_name(rng, index):
    """Name of the index-th file of a folder (unique within the folder) and its kind."""
    roll = rng.random()
    if rng.random() < 0.01:
        stem = rng.choice(NON_ASCII_STEMS)
    else:
        stem = rng.choice(STEMS)
        if rng.random() < 0.2:
            stem = stem.upper()
    if roll < 0.03:
        return "." + stem + "-" + str(index) + rng.choice(MATCHING + NOT_MATCHING), "hidden"
    if roll < 0.03 + 0.97 / 3:
        return stem + "-" + str(index) + rng.choice(MATCHING), "matching"
    return stem + "-" + str(index) + rng.choice(NOT_MATCHING), "other"


def create(path, keep, times):
    """Creates the empty file; one to be kept gets the modification time ahead (times)."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    if keep:
        os.utime(fd, times)
    os.close(fd)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", type=int, required=True)
    parser.add_argument("--flat", action="store_true", help="one folder that holds every entry")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--summary")
    parser.add_argument("root")
    args = parser.parse_args()

    now = time.time()
    ahead = (now, now + KEEP_AHEAD)
    if args.flat:
        rng = random.Random("kehrlund-bench/flat/%d/%d" % (args.seed, args.entries))
        visible_folders = hidden_folders = 0
        folders, counters, hidden = [("", 0)], [0], []
        per_folder = [args.entries]
        wide, widest_other = 0, 0
    else:
        rng = random.Random("kehrlund-bench/%d/%d" % (args.seed, args.entries))
        visible_folders = folder_count(args.entries)
        hidden_folders = visible_folders // 100 + 1
        folders, counters, hidden, per_folder, wide, widest_other = nested_layout(
            rng, args.entries, visible_folders, hidden_folders)

    os.mkdir(args.root)
    for path, _ in folders[1:]:
        os.mkdir(os.path.join(args.root, path))
    kinds = {"matching": 0, "other": 0, "hidden": 0}
    for (path, _), count in zip(folders, per_folder):
        folder = os.path.join(args.root, path)
        for index in range(count):
            name, kind = file_name(rng, index)
            kinds[kind] += 1
            create(os.path.join(folder, name), kind != "matching", ahead)
    for path in hidden:
        os.mkdir(os.path.join(args.root, path))
        for index in range(HIDDEN_FOLDER_FILES):
            name = "inside-" + str(index) + (".log" if index % 2 == 0 else ".tmp")
            create(os.path.join(args.root, path, name), True, ahead)

    files = sum(per_folder) + hidden_folders * HIDDEN_FOLDER_FILES
    summary = {
        "entries": args.entries,
        "layout": "flat" if args.flat else "nested",
        "seed": args.seed,
        "folders": visible_folders,
        "hidden_folders": hidden_folders,
        "files": files,
        "matching_files": kinds["matching"],
        "kept_files": files - kinds["matching"],
        "other_files": kinds["other"],
        "hidden_files": kinds["hidden"],
        "files_in_hidden_folders": hidden_folders * HIDDEN_FOLDER_FILES,
        "widest_folder": per_folder[wide],
        "widest_other_folder": widest_other,
        "max_depth": max(depth for _, depth in folders),
        "kept_modified": time.strftime("%Y-%m-%d %H:%M", time.localtime(ahead[1])),
    }
    text = json.dumps(summary, sort_keys=True)
    if args.summary:
        with open(args.summary, "w") as out:
            out.write(text + "\n")
    else:
        print(text)


def nested_layout(rng, entries, visible_folders, hidden_folders):
    """Folders (path, depth) with the root first, their subfolder counts, the hidden folders,
    the file count per folder, the index of the wide folder and the widest count of the others."""
    # Folder tree: every folder hangs below a random earlier folder that is not yet at the
    # deepest level. Index 0 is the root itself (depth 0, not counted).
    folders = [("", 0)]
    counters = [0]
    for _ in range(visible_folders):
        while True:
            parent = rng.randrange(len(folders))
            if folders[parent][1] < MAX_DEPTH:
                break
        counters[parent] += 1
        name = rng.choice(FOLDER_STEMS) + "-" + str(counters[parent])
        folders.append((os.path.join(folders[parent][0], name), folders[parent][1] + 1))
        counters.append(0)
    # The wide folder: the first folder at its depth (there always is one with these counts).
    wide = next(i for i, (_, depth) in enumerate(folders) if depth == WIDE_FOLDER_DEPTH)

    hidden = []
    for i in range(hidden_folders):
        while True:
            parent = rng.randrange(len(folders))
            if folders[parent][1] < MAX_DEPTH:
                break
        hidden.append(os.path.join(folders[parent][0], ".cache-" + str(i)))

    # Files: the wide folder gets its fixed count, the others share the rest by random weights.
    files_left = (entries - visible_folders - hidden_folders * (1 + HIDDEN_FOLDER_FILES)
                  - WIDE_FOLDER_FILES)
    if files_left < 0:
        sys.exit("gentree.py: too few entries for the folder layout")
    others = [i for i in range(len(folders)) if i != wide]
    weights = [rng.uniform(0.1, 3.0) for _ in others]
    per_folder = [0] * len(folders)
    per_folder[wide] = WIDE_FOLDER_FILES
    for index in rng.choices(others, weights=weights, k=files_left):
        per_folder[index] += 1
    widest_other = max(per_folder[i] + counters[i] for i in others)
    if widest_other >= WIDE_FOLDER_FILES:
        sys.exit("gentree.py: a folder came out wider than the wide folder")
    return folders, counters, hidden, per_folder, wide, widest_other


if __name__ == "__main__":
    main()
