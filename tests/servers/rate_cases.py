"""The table of limits of several rates, costs, refunds and resets
(tests/rate_cases.txt) as the Redis tests run it, and the scripted clock they
run it on."""
import os
import time
from typing import List, NamedTuple, Optional, Tuple, Union

from redis_support import REPO

RATE_CASES_FILE = os.path.join(REPO, "tests", "rate_cases.txt")
# The scripted clock starts a day ahead of the server's, so a key lives for as
# long as the scripted time says (the scripts extend a key's life by how far a
# clock passed in runs ahead) and a slow step never finds it gone early.
AHEAD_BASE_MS = int(time.time() * 1000) + 86_400_000

Number = Union[int, float]


class Step(NamedTuple):
    at: int
    operation: str  # check, refund or reset
    key: str
    cost: Optional[Number]
    # For a check: reason, remaining, next ms, reset ms (None: never), rate index.
    expected: Optional[Tuple[str, int, Optional[int], Optional[int], int]]
    line: int


class Case(NamedTuple):
    algorithm: str
    rates: List[Tuple[int, int]]
    steps: List[Step]
    line: int


def _number(text: str) -> Number:
    return int(text) if text.isdigit() else float(text)


def _wait(text: str) -> Optional[int]:
    return None if text == "never" else int(text)


def read_rate_cases() -> List[Case]:
    cases: List[Case] = []
    with open(RATE_CASES_FILE, encoding="utf-8") as table:
        for number, line in enumerate(table, 1):
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "case":
                rates = [tuple(int(part) for part in rate.split("/")) for rate in words[2:]]
                cases.append(Case(words[1], rates, [], number))
                continue
            at, operation, key = int(words[0]), words[1], words[2]
            cost = _number(words[3]) if len(words) > 3 else None
            expected = None
            if operation == "check":
                reason, remaining, next_ms, reset_ms, rate = words[4:9]
                expected = (reason, int(remaining), _wait(next_ms), _wait(reset_ms), int(rate))
            cases[-1].steps.append(Step(at, operation, key, cost, expected, number))
    return cases


def told(result, policies) -> Tuple[str, int, Optional[int], Optional[int], int]:
    """A check_limits result in the table's terms; the rate is found by its policy."""
    policy = (result["limit"], result["window_ms"])
    return (result["reason"], result["remaining"], result["retry_after_ms"],
            result["reset_after_ms"], list(policies).index(policy))
