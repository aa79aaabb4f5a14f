#!/usr/bin/env python3
"""Checks that the product's folders use each other only downwards.

    scripts/check-floors.py

layers.txt (at the project's root) lists the product's folders from the top floor down, one floor
a line; folders on one line may use each other. Every `#include "folder/..."` of a .cpp or .h file
in a listed folder that names a folder on a higher floor is printed with its file and line; a folder
holding C++ sources that is on no floor (tests, fuzz, bench and the simulator stand beside the
house) is printed too. Exit status 1 when there is either, else 0.
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BESIDE = {"tests", "fuzz", "bench", "sim", "cmake", "docs", "scripts", "data", "packaging"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/')


def floors():
    levels = {}
    with open(os.path.join(ROOT, "layers.txt"), encoding="utf-8") as f:
        number = 0
        for line in f:
            folders = line.split("#", 1)[0].split()
            if not folders:
                continue
            for folder in folders:
                levels[folder] = number
            number += 1
    return levels


def sources(folder):
    for directory, _, files in os.walk(os.path.join(ROOT, folder)):
        for name in sorted(files):
            if name.endswith((".cpp", ".h")):
                yield os.path.join(directory, name)


def main():
    levels = floors()
    wrong = 0
    for folder in sorted(levels):
        for path in sources(folder):
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if m and m.group(1) in levels and levels[m.group(1)] < levels[folder]:
                        wrong += 1
                        print("%s:%d: %s/ includes %s/, a floor above it"
                              % (os.path.relpath(path, ROOT), number, folder, m.group(1)))
    for entry in sorted(os.listdir(ROOT)):
        if entry.startswith((".", "build")) or entry in BESIDE or entry in levels:
            continue
        if os.path.isdir(os.path.join(ROOT, entry)) and any(sources(entry)):
            wrong += 1
            print("%s/ holds C++ sources but is on no floor of layers.txt" % entry)
    if wrong:
        print("%d include(s) or folder(s) break the floors of layers.txt" % wrong)
        return 1
    print("floors: every include runs down or stays on its floor (%d folders)" % len(levels))
    return 0


if __name__ == "__main__":
    sys.exit(main())
