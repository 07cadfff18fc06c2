#!/usr/bin/env python3
"""Summarises what the sanitizer runs wrote, and decides whether it counts
against this project.

    sanitize-report.py sanitizer DIR   ASan / UBSan logs (asan.PID, ubsan.PID):
                                       every report counts
    sanitize-report.py tsan DIR        ThreadSanitizer logs (tsan.PID): reports
                                       with a frame in the module count; those
                                       entirely inside FFmpeg, x264, CPython or
                                       the C library are listed apart
    sanitize-report.py valgrind DIR    memcheck logs (*.vg): errors and
                                       "definitely lost" blocks with a frame in
                                       the module count

A frame is the module's when it names the package's extension
(corvane/_engine.*.so), a function of the corvane namespace or a file under
src/. Frames of the module that the runtime left unsymbolised are looked up
with addr2line. Exit status 1 when something counts, else 0.
"""

import re
import subprocess
import sys
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULE_FRAME = re.compile(r"\((\S*corvane/_engine[^)\s/]*\.so)\+(0x[0-9a-f]+)\)")
OURS = re.compile(r"corvane/_engine[.\w-]*\.so|\bcorvane::|" + re.escape(str(ROOT / "src")) + r"/|"
                  r"\bsrc/(av|source|rendition|ladder|log|module)/")


def symbolize(line):
    """'function file:line' for a module frame that has only an offset."""
    m = MODULE_FRAME.search(line)
    if not m or " in " in line.split("(")[0]:
        return None
    done = subprocess.run(["addr2line", "-f", "-C", "-e", m.group(1), m.group(2)],
                          capture_output=True, text=True)
    parts = done.stdout.split("\n")
    if done.returncode != 0 or len(parts) < 2 or parts[0] == "??":
        return None
    return f"{parts[0]} {parts[1].replace(str(ROOT) + '/', '')}"


# ASan and UBSan frames give an address ("#3 0x7f.. in f file:line"), TSan
# frames do not ("#3 f file:line (lib.so+0x..)"); then valgrind's.
FRAME = re.compile(r"^\s*(?:#\d+ (?:0x[0-9a-f]+ (?:in )?)?|==\d+==\s+(?:at|by) 0x[0-9A-Fa-f]+: )(.*)$")


def frames(block):
    """The stack frames of a report, without their numbers and addresses."""
    return [m.group(1).strip() for m in map(FRAME.match, block.splitlines()) if m]


def is_ours(block):
    # The stacks of the threads' creation say nothing about where a race is:
    # every thread the module starts has the module on that stack.
    block = re.split(r"(?m)^\s*Thread T\d+ .*created by", block)[0]
    return any(OURS.search(f) for f in frames(block)) or bool(
        re.search(re.escape(str(ROOT / "src")) + r"/\S+:\d+", block))


def where(block):
    """The first place in the module, symbolised where needed."""
    m = re.search(re.escape(str(ROOT)) + r"/(src/\S+?:\d+)", block)
    if m:
        return m.group(1)
    for f in frames(block):
        if OURS.search(f):
            return symbolize(f) or f
    first = frames(block)
    return first[0] if first else "?"


def kind_of(block):
    for pattern in (r"runtime error: [^:\n]*?(?= \(| cannot|: |$)", r"ERROR: AddressSanitizer: [\w-]+",
                    r"WARNING: ThreadSanitizer: [\w -]+?(?= \(|$)", r"AddressSanitizer: CHECK failed",
                    r"ERROR: LeakSanitizer"):
        m = re.search(pattern, block, re.M)
        if m:
            return m.group(0)
    return block.strip().splitlines()[0][:120] if block.strip() else "empty report"


def split_sanitizer(text):
    parts = re.split(r"(?m)^=+\n", text)
    return [p for p in parts if re.search(r"WARNING: ThreadSanitizer|ERROR: \w+Sanitizer|"
                                          r"Sanitizer: CHECK failed|runtime error:", p)]


def report(mode, directory):
    directory = Path(directory)
    ours, theirs = Counter(), Counter()
    example = {}
    if mode in ("sanitizer", "tsan"):
        files = sorted(p for p in directory.iterdir() if p.is_file())
        for path in files:
            for block in split_sanitizer(path.read_text(errors="replace")):
                key = f"{kind_of(block)} at {where(block)}"
                (ours if mode == "sanitizer" or is_ours(block) else theirs)[key] += 1
                example.setdefault(key, path)
    else:
        files = sorted(directory.glob("*.vg"))
        for path in files:
            text = path.read_text(errors="replace")
            blocks = re.split(r"(?m)^==\d+== \n", text)
            for block in blocks:
                head = re.search(r"(?m)^==\d+== (Invalid \w+ of size \d+|Conditional jump[^\n]*|"
                                 r"Use of uninitialised[^\n]*|Syscall param[^\n]*|"
                                 r"Mismatched free[^\n]*|Invalid free[^\n]*|Source and destination overlap[^\n]*|"
                                 r"[\d,]+ bytes in [\d,]+ blocks are definitely lost[^\n]*)", block)
                if not head:
                    continue
                title = re.sub(r"[\d,]+ bytes in [\d,]+ blocks", "N bytes", head.group(1))
                title = re.sub(r" in loss record [\d,]+ of [\d,]+", "", title)
                key = f"{title} at {where(block)}"
                (ours if is_ours(block) else theirs)[key] += 1
                example.setdefault(key, path)
    print(f"[sanitize-report] {mode}: {len(files)} log file(s) in {directory}")
    titles = [("reports", ours)] if mode == "sanitizer" else [
        ("reports from this project's code", ours), ("reports inside libraries only", theirs)]
    for title, counter in titles:
        print(f"  {title}: {sum(counter.values())}")
        for key, n in counter.most_common():
            print(f"    {n} x {key}  (e.g. {example[key]})")
    return 1 if ours else 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("sanitizer", "tsan", "valgrind"):
        sys.exit(__doc__)
    sys.exit(report(sys.argv[1], sys.argv[2]))
