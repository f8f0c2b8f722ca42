"""Limit texts as users write them: "5/minute", "100 per 5 minutes",
"10/second; 1000/hour".

A limit is 1 to MAX_RATES rates separated by ";" or ",". A rate is a whole
count, "/" or "per", an optional whole multiplier and a unit (s, sec, second,
seconds, m, min, minute, minutes, h, hour, hours, d, day, days). Case is free,
and so are spaces and tabs between the parts; none are needed ("10/5m").
js/limits.js reads the same texts the same way and fails with the same
messages (tests/limit_texts.txt holds both to it).
"""
import json
import math
import re
from typing import Any, List, Tuple

MAX_RATES = 4
#: The largest count a text may give: every count up to it is exact in a double.
MAX_COUNT = 2 ** 53
MAX_WINDOW_MS = 366 * 86_400_000

_UNIT_MS = {}
for _names, _ms in ((("s", "sec", "second", "seconds"), 1000),
                    (("m", "min", "minute", "minutes"), 60_000),
                    (("h", "hour", "hours"), 3_600_000),
                    (("d", "day", "days"), 86_400_000)):
    _UNIT_MS.update(dict.fromkeys(_names, _ms))

GRAMMAR = ("a limit is 1 to 4 rates separated by ';' or ',', each a whole count, '/' or 'per', "
           "an optional whole multiplier and a unit (s, sec, second, seconds, m, min, minute, "
           "minutes, h, hour, hours, d, day, days), for example \"10/second; 1000/hour\" or "
           "\"100 per 5 minutes\"")

# Only ASCII digits, letters and blanks: a Unicode digit or a letter that folds to
# an ASCII one is not part of any rate.
_BLANK = "[ \t]*"
_RATE = re.compile(_BLANK + "([0-9]+)" + _BLANK + "(?:/|per)" + _BLANK + "([0-9]*)" + _BLANK
                   + "([a-z]+)" + _BLANK, re.ASCII | re.IGNORECASE)
_SEPARATORS = re.compile("[;,]")


def _quoted(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)


def _fail(text: str, reason: str) -> ValueError:
    return ValueError("limit " + _quoted(text) + ": " + reason + "; " + GRAMMAR)


def _digits_value(digits: str) -> int:
    # int() of a few hundred thousand digits is slow; any count that long is too large.
    digits = digits.lstrip("0")
    if not digits:
        return 0
    return int(digits) if len(digits) <= 20 else MAX_COUNT + 1


def _parse_rate(text: str, part: str) -> Tuple[int, int]:
    """One rate of `text` (`part`, between separators) as (count, window_ms)."""
    matched = _RATE.fullmatch(part)
    if matched is None:
        written = part.strip(" \t")
        raise _fail(text, "cannot read " + _quoted(written) if written else "a rate is missing")
    count_digits, multiplier_digits, unit = matched.groups()
    count = _digits_value(count_digits)
    if count > MAX_COUNT:
        raise _fail(text, "a count is at most 2^53")
    unit_ms = _UNIT_MS.get(unit.lower())
    if unit_ms is None:
        raise _fail(text, "unknown unit " + _quoted(unit))
    multiplier = _digits_value(multiplier_digits) if multiplier_digits else 1
    if multiplier == 0:
        raise _fail(text, "a window is at least 1 ms")
    if multiplier > MAX_WINDOW_MS // unit_ms:
        raise _fail(text, "a window is at most 366 days")
    return count, multiplier * unit_ms


def parse_limit(text: str) -> List[Tuple[int, int]]:
    """The rates of a limit text, in the order written, as (count, window_ms) pairs.

    ValueError, quoting the text and stating the grammar, when it is not one;
    TypeError when it is not a str.
    """
    if not isinstance(text, str):
        raise TypeError("a limit must be a str such as \"10/second\", not "
                        + type(text).__name__)
    parts = _SEPARATORS.split(text)
    if len(parts) > MAX_RATES:
        raise _fail(text, str(len(parts)) + " rates, at most 4")
    return [_parse_rate(text, part) for part in parts]


def window_ms_of(seconds: Any, name: str = "window") -> int:
    """A window given in seconds (an int or a float), as whole milliseconds rounded
    to the nearest one; ValueError outside 1 ms..366 days, TypeError for a non-number."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(name + " must be a number of seconds, not " + type(seconds).__name__)
    # The bounds keep the product finite (NaN and infinities fail them too).
    window_ms = math.floor(seconds * 1000 + 0.5) if 0 < seconds <= MAX_WINDOW_MS else 0
    if not 1 <= window_ms <= MAX_WINDOW_MS:
        raise ValueError(name + " must be from 1 ms to 366 days (0.001 to 31622400 seconds), "
                         "not " + repr(seconds))
    return window_ms
