#!/usr/bin/env python3
"""Sorts the sanitizer logs of a host run: fails on every error report, and on
every leak whose allocation stack passes through the library. Leaks of the
interpreters themselves (and of the shells they spawn) are counted, not failed.
Usage: sanitizer_logs.py LOGDIR"""
import pathlib
import re
import sys

OURS = re.compile(r"vorn_native|vorn::|/(python|src/\w+)/\w+\.(cpp|h):")
# Leaks through the library that are understood and reported but not fixed yet:
# they are counted and printed on every run, not failed. Remove an entry once its
# fault is fixed, so that it can never come back unnoticed.
KNOWN = {}
ERROR = re.compile(r"ERROR: AddressSanitizer|runtime error:|AddressSanitizer: CHECK failed")


def leak_records(text):
    """The 'Direct leak' / 'Indirect leak' paragraphs of one LeakSanitizer report."""
    for block in re.split(r"\n\s*\n", text):
        if re.match(r"\s*(Direct|Indirect) leak", block):
            yield block


def main(logdir):
    failures, foreign = [], 0
    known = {text: 0 for text in KNOWN}
    for path in sorted(pathlib.Path(logdir).iterdir()):
        text = path.read_text(errors="replace")
        if ERROR.search(text):
            failures.append(f"{path.name}:\n{text}")
        for record in leak_records(text):
            match = next((k for k in KNOWN if re.search(k, record)), None)
            if match:
                known[match] += 1
            elif OURS.search(record):
                failures.append(f"{path.name}: leak through the library\n{record}")
            else:
                foreign += 1
    print(f"sanitizer logs: {foreign} leak records outside the library (interpreters), "
          f"{len(failures)} findings")
    for pattern, count in known.items():
        if count:
            print(f"KNOWN, reported, not fixed: {count} leak records: {KNOWN[pattern]}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
