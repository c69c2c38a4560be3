#!/usr/bin/env python3
"""Plants faults in the product one at a time and reports which the tests
catch.

Each fault of the lists (by default scripts/planted-faults.txt, written by
the team with its tests, and scripts/planted-faults-independent.txt and
-independent-2.txt, each written from the product code alone by someone who
had not read the tests) replaces one exact snippet of a source file.
For every fault the script applies it, builds a Release tree with the
tests, runs ctest and prints "caught" (a test failed), "missed" (every test
passed), "n/a" (the snippet is not in the file any more, or not once) or
"no build" (the fault does not compile). The file is always put back, on
Ctrl-C too.

With --matrix every test runs for every fault, and each verdict names the
tests that failed: a test that is the only one to catch some fault must
stay, one that catches nothing alone is a candidate for removal.

The summary gives the caught rate per origin (a fault's `by:` field, "team"
when absent) and per product folder (the first component of its file).

Usage: scripts/plant-faults.py [--check] [--matrix] [--source DIR]
                               [--build DIR] [--faults FILE]... [ID ...]
"""

import argparse
import pathlib
import re
import shutil
import signal
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def parse_faults(text):
    """Blocks of `id:`, `file:`, `find:`, `replace:` lines and an optional
    `by:` line, separated by blank lines. In a snippet `\\n` stands for a
    line break and `\\\\` for a backslash."""
    faults, current = [], {}
    for line in text.splitlines() + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if current:
                faults.append(current)
            current = {}
            continue
        key, _, value = line.partition(": ")
        if key in ("find", "replace"):
            value = (value.replace("\\\\", "\0").replace("\\n", "\n")
                     .replace("\0", "\\"))
        current[key] = value
    for fault in faults:
        missing = {"id", "file", "find", "replace"} - fault.keys()
        if missing:
            sys.exit(f"fault {fault.get('id', '?')}: missing {sorted(missing)}")
        fault.setdefault("by", "team")
    return faults


def run(command, log, timeout):
    with open(log, "w") as out:
        try:
            return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return "timeout"


def configure(source, build):
    # ccache makes putting a file back cheap; the tree builds without it.
    launcher = "ccache" if shutil.which("ccache") else ""
    code = run(["cmake", "-S", source, "-B", build, "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=ON",
                "-DAMPERVALE_BENCHMARKS=OFF", "-DAMPERVALE_WERROR=OFF",
                f"-DCMAKE_CXX_COMPILER_LAUNCHER={launcher}"],
               build / "configure.log", 600)
    if code != 0:
        sys.exit(f"configure failed: see {build / 'configure.log'}")


def failed_tests(build):
    """Every test, then the names of those that failed."""
    log = build / "ctest.log"
    run(["ctest", "--test-dir", build, "-j2", "--timeout", "120"], log, 3600)
    listing = log.read_text().partition("The following tests FAILED:")[2]
    return re.findall(r"^\s*\d+ - (\S+)", listing, re.MULTILINE)


def verdict(build, matrix=False):
    """What the suite says about the tree as it is now, and with `matrix`
    the tests that failed."""
    if run(["cmake", "--build", build, "-j2"], build / "build.log", 3600) != 0:
        return "no build", []
    if matrix:
        failed = failed_tests(build)
        return ("caught" if failed else "missed"), failed
    # The quick unit tests first: most faults stop there.
    for selection in (["-E", "EndToEnd"], ["-R", "EndToEnd"]):
        code = run(["ctest", "--test-dir", build, "-j2", "--stop-on-failure",
                    "--timeout", "120"] + selection, build / "ctest.log", 3600)
        if code != 0:
            return "caught", []
    return "missed", []


def folder(fault):
    """The product folder a fault is planted in; tools/ampctl is tools."""
    return fault["file"].split("/")[0]


def rate(results):
    caught = results.count("caught")
    total = caught + results.count("missed")
    percent = f"{100 * caught / total:.0f} %" if total else "-"
    return f"{caught} of {total} ({percent})"


def print_summary(verdicts):
    """The overall count, then the caught rate per origin and per folder.
    `verdicts` pairs each fault with its result."""
    counts = {}
    for _, result in verdicts:
        counts[result] = counts.get(result, 0) + 1
    print(f"caught {rate([r for _, r in verdicts])}; "
          + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    for title, key in (("by", lambda f: f["by"]), ("folder", folder)):
        groups = {}
        for fault, result in verdicts:
            groups.setdefault(key(fault), []).append(result)
        for name, results in sorted(groups.items()):
            print(f"  {title} {name:12} caught {rate(results)}")


class Planted:
    """One fault in place; the original text comes back on leaving."""

    def __init__(self, path, original, faulty):
        self.path, self.original, self.faulty = path, original, faulty

    def __enter__(self):
        self.path.write_bytes(self.faulty.encode())
        return self

    def __exit__(self, *exc):
        self.path.write_bytes(self.original.encode())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", type=pathlib.Path, default=HERE.parent)
    parser.add_argument("--build", type=pathlib.Path)
    parser.add_argument("--faults", type=pathlib.Path, action="append",
                        help="a fault list; repeatable (default: both lists)")
    parser.add_argument("--check", action="store_true",
                        help="only report the faults whose snippet is gone")
    parser.add_argument("--matrix", action="store_true",
                        help="run every test and name those that fail")
    parser.add_argument("ids", nargs="*")
    options = parser.parse_args()
    source = options.source.resolve()
    build = (options.build or source / "build" / "faults").resolve()
    build.mkdir(parents=True, exist_ok=True)
    lists = options.faults or [HERE / "planted-faults.txt",
                               HERE / "planted-faults-independent.txt",
                               HERE / "planted-faults-independent-2.txt"]
    faults = [fault for path in lists
              for fault in parse_faults(path.read_bytes().decode())]
    if options.ids:
        faults = [f for f in faults if f["id"] in options.ids]
    if options.check:
        for fault in faults:
            path = source / fault["file"]
            text = path.read_bytes().decode() if path.exists() else ""
            if text.count(fault["find"]) != 1:
                print(f"n/a      {fault['id']}")
        return
    # SIGTERM unwinds like Ctrl-C, so the planted file is restored.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    configure(source, build)
    baseline, _ = verdict(build)
    if baseline != "missed":
        sys.exit(f"the unchanged tree does not pass ({baseline}): "
                 f"see {build}")
    verdicts = []
    for fault in faults:
        path = source / fault["file"]
        original = path.read_bytes().decode() if path.exists() else ""
        if original.count(fault["find"]) != 1:
            result, failed = "n/a", []
        else:
            faulty = original.replace(fault["find"], fault["replace"])
            with Planted(path, original, faulty):
                result, failed = verdict(build, options.matrix)
        verdicts.append((fault, result))
        print(f"{result:8} {fault['id']:32} {fault['file']}"
              + "".join(f" {test}" for test in failed), flush=True)
    print_summary(verdicts)


if __name__ == "__main__":
    main()
