"""The zone command, `python -m vorn`: the table of cases that the Node suite
runs too (tests/node/zone_command_cases.json), on zones made by this host. The
Node suite runs it on zones made by Node, with the Node command and, when
Python is there, this one: both commands print the same for the same zone."""
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from vorn_loader import LIBRARY_DIR, REPO

sys.path.insert(0, str(REPO))

import vorn  # noqa: E402
from vorn._zone_command import main  # noqa: E402

CASES = json.loads((REPO / "tests" / "node" / "zone_command_cases.json").read_text())["cases"]


def make_zones(directory):
    """The zones and files the cases show, made by this host's engines."""
    made = vorn.create_engine(capacity=10, refill_rate=0.0, zone="made", zone_dir=directory,
                              zone_size=128 << 10)
    other_limit = vorn.create_engine(capacity=5, refill_rate=0.0, zone="made", zone_dir=directory)
    # More clients than the zone holds: every set fills, and each client past that evicts one.
    for client in range(20000):
        made.check("10.%d.%d.1" % (client >> 8, client & 255), "/")
    other_limit.check("10.0.0.1", "/")
    spare = vorn.create_engine(capacity=10, refill_rate=0.0, zone="spare", zone_dir=directory,
                               zone_size=1 << 20)
    spare.check("10.0.0.1", "/")
    with open(os.path.join(directory, "vorn.bad.zone-v3"), "w") as damaged:
        damaged.write("junk\n")
    open(os.path.join(directory, "vorn.old.zone-v2"), "w").close()  # empty: opening it would show
    os.mkdir(os.path.join(directory, "vorn.dir.zone-v3"))
    open(os.path.join(directory, "notes.txt"), "w").close()


def filled(value, directory):
    if isinstance(value, str):
        return value.replace("{dir}", directory)
    if isinstance(value, list):
        return [filled(item, directory) for item in value]
    if isinstance(value, dict):
        return {key: filled(item, directory) for key, item in value.items()}
    return value


def run_here(cases):
    results = []
    saved = os.environ.pop("XDG_RUNTIME_DIR", None)
    try:
        for case in cases:
            os.environ.pop("XDG_RUNTIME_DIR", None)
            os.environ.update(case["env"])
            out, err = io.StringIO(), io.StringIO()
            status = main(case["args"], out=out, err=err)
            results.append({"status": status, "stdout": out.getvalue(), "stderr": err.getvalue()})
    finally:
        os.environ.pop("XDG_RUNTIME_DIR", None)
        if saved is not None:
            os.environ["XDG_RUNTIME_DIR"] = saved
    return results


class ZoneCommandTest(unittest.TestCase):
    def temporary_directory(self):
        directory = tempfile.mkdtemp(prefix="vorn-zone-command-")
        self.addCleanup(shutil.rmtree, directory, True)
        return directory

    def check_results(self, results, directory):
        self.assertEqual(len(results), len(CASES))
        for index, (case, result) in enumerate(zip(CASES, results)):
            with self.subTest(case=index, args=case["args"]):
                self.assertEqual(result["status"], case["status"], result["stderr"])
                if "json" in case:
                    expected = json.dumps(filled(case["json"], directory), indent=2) + "\n"
                else:
                    expected = "".join(line + "\n" for line in filled(case.get("stdout", []),
                                                                      directory))
                self.assertEqual(result["stdout"], expected)
                if "stderr" in case:
                    self.assertEqual(result["stderr"].splitlines(),
                                     filled(case["stderr"], directory))
                else:  # a usage error says so in one line
                    self.assertEqual(len(result["stderr"].splitlines()), case["status"] and 1)

    def test_the_command_shows_a_python_zone_as_zone_stats_does(self):
        directory = self.temporary_directory()
        make_zones(directory)
        shown = filled(next(case["json"] for case in CASES
                            if case["args"][:2] == ["zone", "made"] and "json" in case), directory)
        stats = vorn.zone_stats("made", directory)
        fields = [field for field in shown if field in stats]
        self.assertEqual(len(fields), 10)
        self.assertEqual({field: stats[field] for field in fields},
                         {field: shown[field] for field in fields})
        self.check_results(run_here([{"args": filled(case["args"], directory),
                                      "env": filled(case.get("env", {}), directory)}
                                     for case in CASES]), directory)
        # Looking for a zone never makes it.
        self.assertFalse(os.path.lexists(directory + "/vorn.missing.zone-v3"))

    def test_python_m_vorn_runs_the_command(self):
        directory = self.temporary_directory()
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(LIBRARY_DIR), str(REPO)]))
        run = subprocess.run([sys.executable, "-m", "vorn", "zone", "none", "--zone-dir",
                              directory], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
        self.assertEqual((run.returncode, run.stdout, run.stderr),
                         (1, "", "vorn: no zone 'none' in %s\n" % directory))


if __name__ == "__main__":
    unittest.main()
