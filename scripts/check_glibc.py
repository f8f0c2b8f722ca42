#!/usr/bin/env python3
"""Fails when a binary needs more of the system than its package's tag promises.

Usage: check_glibc.py GLIBC_FLOOR BINARY...   (for example: check_glibc.py 2.36 vorn_native.so)

Reads each binary's dynamic section and versioned symbol needs with objdump.
A binary passes when every GLIBC_x.y version it needs is at most the floor,
when it needs no version of the C++ runtime (linked in statically, so a
machine without libstdc++ runs it), and when every library it loads is one of
glibc's own or libgcc_s.so.1, whose unwinder every glibc system has (Debian's
libc6 depends on it), at versions up to GCC 7.0.0: the distributions of glibc
2.34 and later ship GCC 11's or later. Prints the highest glibc version each
one needs.
"""
import re
import subprocess
import sys

# glibc's own libraries: present wherever glibc is.
ALLOWED_LIBRARIES = re.compile(
    r"^(libc|libm|libdl|librt|libpthread|ld-linux-x86-64|ld-linux-aarch64|libgcc_s)\.so\.\d+$")
GCC_CEILING = "7.0.0"
VERSION = re.compile(r"\b(GLIBC|GLIBCXX|CXXABI|GCC)_([0-9][0-9.]*)\b")


def version_key(text):
    return tuple(int(part) for part in text.split("."))


def problems_of(path, floor):
    """(highest glibc version needed, [problems]) of one binary."""
    dynamic = subprocess.run(["objdump", "-p", path], check=True, capture_output=True,
                             text=True).stdout
    symbols = subprocess.run(["objdump", "-T", path], check=True, capture_output=True,
                             text=True).stdout
    problems = []
    for library in re.findall(r"^\s*NEEDED\s+(\S+)", dynamic, re.M):
        if not ALLOWED_LIBRARIES.match(library):
            problems.append("loads %s, which is neither glibc's nor libgcc_s" % library)
    highest, runtime = "0", {}
    for line in symbols.splitlines():
        if "*UND*" not in line:
            continue  # what the binary defines binds nothing on the target
        for family, version in VERSION.findall(line):
            if family == "GCC" and version_key(version) <= version_key(GCC_CEILING):
                continue
            if family != "GLIBC":
                runtime.setdefault(family, "%s_%s: %s" % (family, version, line.split()[-1]))
            elif version_key(version) > version_key(highest):
                highest = version
    for _, need in sorted(runtime.items()):
        problems.append("needs a shared runtime, %s among others" % need)
    if version_key(highest) > version_key(floor):
        needing = sorted({line.split()[-1] for line in symbols.splitlines()
                          if "*UND*" in line and re.search(r"GLIBC_([0-9.]+)\)", line)
                          and version_key(re.search(r"GLIBC_([0-9.]+)\)", line).group(1))
                          > version_key(floor)})
        problems.append("needs GLIBC_%s, above the tag's %s (through %s)"
                        % (highest, floor, ", ".join(needing)))
    return highest, problems


def main(argv):
    if len(argv) < 3 or not re.match(r"^\d+\.\d+$", argv[1]):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    floor, failed = argv[1], False
    for path in argv[2:]:
        highest, problems = problems_of(path, floor)
        for problem in problems:
            print("%s: %s" % (path, problem), file=sys.stderr)
        failed = failed or bool(problems)
        print("%s: needs glibc %s (tag: %s)%s" % (path, highest, floor,
                                                 " FAILED" if problems else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
