#!/usr/bin/env python3
"""Reads a valgrind memcheck XML report and fails on every error whose stack
passes through the library: a definite or indirect leak allocated under it, or
any invalid access or use of uninitialised memory inside it. Reports of the
interpreter alone (its own start-up and shut-down) are counted, not failed.
Usage: valgrind_report.py REPORT.xml"""
import sys
import xml.etree.ElementTree as ET

LEAKS = {"Leak_DefinitelyLost", "Leak_IndirectlyLost"}
IGNORED = {"Leak_PossiblyLost", "Leak_StillReachable"}


def ours(frame):
    obj = frame.findtext("obj") or ""
    fn = frame.findtext("fn") or ""
    return "vorn_native" in obj or fn.startswith("vorn::")


def describe(error):
    lines = [f"{error.findtext('kind')}: {error.findtext('what') or error.findtext('xwhat/text')}"]
    for frame in error.find("stack").findall("frame"):
        lines.append(f"    {frame.findtext('fn') or '?'} "
                     f"({(frame.findtext('obj') or '').rsplit('/', 1)[-1]}"
                     f" {frame.findtext('file') or ''}:{frame.findtext('line') or ''})")
    return "\n".join(lines)


def main(path):
    findings, foreign = [], 0
    for error in ET.parse(path).getroot().findall("error"):
        kind = error.findtext("kind")
        if kind in IGNORED:
            continue
        if any(ours(frame) for frame in error.find("stack").findall("frame")):
            findings.append(describe(error))
        else:
            foreign += 1
    print(f"valgrind: {len(findings)} errors through the library, "
          f"{foreign} in the interpreter alone")
    for finding in findings:
        print(finding, file=sys.stderr)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
