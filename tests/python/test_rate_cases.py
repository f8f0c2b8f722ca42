"""tests/rate_cases.txt, the table of limits that every store answers alike,
run against RustEngine.from_rates and ZoneEngine's rates.

The module offers no clock but the system's, so only what a case does at its
first instant runs here (the rest takes the scripted clock of the C++ runner).
A run counts when all of it fell within one millisecond: the engine then saw
one instant, as the table's clock would have shown it. A run that spans a
tick of the clock is tried again on fresh keys.
"""
import collections
import shutil
import tempfile
import time
import unittest

from vorn_loader import REPO, RustEngine, vorn_native

TABLE = REPO / "tests" / "rate_cases.txt"
ATTEMPTS = 50

Case = collections.namedtuple("Case", "line algorithm rates steps")
Step = collections.namedtuple("Step", "line at op key fields")


def number(text):
    """A count or cost as the table writes it: an int when whole, else a float."""
    return float(text) if "." in text else int(text)


def read_cases():
    cases = []
    for line_number, line in enumerate(TABLE.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split()
        if fields[0] == "case":
            rates = [tuple(map(number, rate.split("/"))) for rate in fields[2:]]
            cases.append(Case(line_number, fields[1], rates, []))
        else:
            cases[-1].steps.append(Step(line_number, int(fields[0]), fields[1], fields[2],
                                        fields[3:]))
    return cases


def wait_text(ms):
    return "never" if ms is None else str(ms)


def answer_text(result, policies):
    """A check's answer in the table's words; the rate is found by its policy."""
    rate = policies.index((result["limit"], result["window_ms"]))
    return " ".join([result["reason"], str(result["remaining"]),
                     wait_text(result["retry_after_ms"]), wait_text(result["reset_after_ms"]),
                     str(rate)])


def now_ms():
    return time.time_ns() // 1_000_000


class RateCases(unittest.TestCase):
    def run_first_instant(self, case, engine):
        """The case's steps at its first instant, checked once a run fits in one
        millisecond; False when none did."""
        first = [step for step in case.steps if step.at == case.steps[0].at]
        self.assertEqual(len(set(engine.policies)), len(case.rates), "rates told apart")
        for attempt in range(ATTEMPTS):
            prefix = "%d/" % attempt
            answers = []
            started = now_ms()
            for step in first:
                key = prefix + step.key
                if step.op == "check":
                    result = engine.check_limits(key, "/", cost=number(step.fields[0]))
                    answers.append(answer_text(result, engine.policies))
                elif step.op == "refund":
                    answers.append(engine.refund(key, number(step.fields[0])))
                else:
                    answers.append(engine.reset(key))
            if now_ms() != started:
                continue
            for step, answer in zip(first, answers):
                expected = " ".join(step.fields[1:]) if step.op == "check" else None
                self.assertEqual(answer, expected, "%s line %d" % (TABLE.name, step.line))
            return True
        return False

    def run_every_case(self, make_engine):
        cases = read_cases()
        self.assertGreater(len(cases), 5)
        for case in cases:
            with self.subTest(line=case.line, algorithm=case.algorithm, rates=case.rates):
                engine = make_engine(case)
                if engine is None:
                    continue
                if not self.run_first_instant(case, engine):
                    self.skipTest("no run within one millisecond: the machine is too busy")

    def test_in_process(self):
        self.run_every_case(
            lambda case: RustEngine.from_rates(case.algorithm, "active", case.rates))

    def test_in_a_zone(self):
        directory = tempfile.mkdtemp(prefix="vorn-zones-")
        self.addCleanup(shutil.rmtree, directory, True)
        made = []

        def zone_engine(case):
            name = "rates-%d" % case.line
            self.addCleanup(vorn_native.remove_zone, name, directory)
            try:
                engine = vorn_native.ZoneEngine(name, 1 << 20, case.algorithm, "active", None,
                                                None, None, None, "", directory, "deny",
                                                rates=case.rates)
            except vorn_native.ZoneError as error:
                # Zones that hold one rate only refuse a limit of several.
                if len(case.rates) > 1 and "one rate only" in str(error):
                    return None
                raise
            made.append(case)
            return engine

        self.run_every_case(zone_engine)
        self.assertTrue(made)


if __name__ == "__main__":
    unittest.main()
