"""The refusal log: one structured line per refused request, through the logger
"vorn" at WARNING, at most a set number of lines a second, so that an attack
cannot flood the logs. The refusals left out are counted, and the next line
written says how many there were (`omitted`).

Each line's record carries, beside its message, the attributes `limit` (the
limit's name), `key` (the client as the engine keyed it: an address, or "id:"
and an identity), `route`, `retry_after_s` (None when no wait lifts it),
`shadow` (True when shadow mode let the request through) and `omitted`, which
structured formatters pick up. Thread-safe.
"""
import logging
import math
import threading
import time
from typing import Any, Optional, Union

#: Lines a second when `log_refusals=True`.
DEFAULT_LINES_PER_SECOND = 10


def refusal_log_of(setting: Union[None, bool, int], logger: Optional[logging.Logger] = None
                   ) -> Optional["RefusalLog"]:
    """The log a `log_refusals` setting asks for: None (or False) for none, True
    for DEFAULT_LINES_PER_SECOND lines a second, a positive int for that many."""
    if setting is None or setting is False:
        return None
    if setting is True:
        return RefusalLog(DEFAULT_LINES_PER_SECOND, logger)
    if isinstance(setting, int) and not isinstance(setting, bool) and setting > 0:
        return RefusalLog(setting, logger)
    raise TypeError("log_refusals must be True, False or a positive number of lines a second, "
                    "not " + repr(setting))


class RefusalLog:
    def __init__(self, lines_per_second: int, logger: Optional[logging.Logger] = None,
                 clock: Any = time.monotonic) -> None:
        self.lines_per_second = lines_per_second
        self.logger = logger if logger is not None else logging.getLogger("vorn")
        self._clock = clock
        self._lock = threading.Lock()
        self._second = -1
        self._written = 0
        self._omitted = 0
        #: Refusals left out since the log began.
        self.omitted_total = 0

    def refused(self, limit: str, key: str, route: str, result: Any) -> None:
        """Logs the refusal `result` (a check's result dict) unless this second's
        lines are all written."""
        second = math.floor(self._clock())
        with self._lock:
            if second != self._second:
                self._second, self._written = second, 0
            if self._written >= self.lines_per_second:
                self._omitted += 1
                self.omitted_total += 1
                return
            self._written += 1
            omitted, self._omitted = self._omitted, 0
        wait = result.get("retry_after_ms")
        retry = None if wait is None and "retry_after_ms" in result else -(-(wait or 0) // 1000)
        shadow = bool(result.get("allowed"))
        self.logger.warning(
            "vorn: %s %s on %s by the limit %s; retry in %s s%s",
            "would refuse" if shadow else "refused", key, route, limit,
            "never" if retry is None else retry,
            " (%d refusals not logged before this one)" % omitted if omitted else "",
            extra={"limit": limit, "key": key, "route": route, "retry_after_s": retry,
                   "shadow": shadow, "omitted": omitted})
