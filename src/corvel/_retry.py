"""When and how long the client waits before sending a failed request again (opt-in: ``retries``).

Only a request the service cannot have acted on, or told us to send again, is retried: a connection that
could not be made or broke before any byte of the answer, a connect time-out, and the statuses that mean
"busy" or "try later". An answer already being read is never sent again, so nothing is recorded twice.
"""

from __future__ import annotations

import email.utils
import logging
import random
import time
from collections.abc import Mapping
from typing import Any

from corvel.config import Configurator

logger = logging.getLogger("corvel")

MOST = 10  # retries a configuration may ask for
BASE = 0.5  # the first backoff's ceiling, in seconds; it doubles with each retry
LONGEST_BACKOFF = 8.0
LONGEST_RETRY_AFTER = 60.0
STATUSES = frozenset({408, 429, 500, 502, 503, 504})


def attempts(section: str) -> int:
    """The ``retries`` option of ``section``, read for every request: a whole number from 0 to 10."""
    if not Configurator.has_option(section, "retries"):
        return 0
    value = Configurator.get(section, "retries")
    number = value if isinstance(value, int) and not isinstance(value, bool) else None
    if isinstance(value, str) and value.strip().isdigit():
        number = int(value.strip())
    if number is None or not 0 <= number <= MOST:
        raise ValueError(f"the option retries of section {section!r} must be a whole number from 0 to {MOST}, "
                         f"not {value!r}")
    return number


def retryable_error(exc: BaseException) -> bool:
    """Whether a failure to get an answer at all may be retried: no byte of the answer had arrived."""
    import httpx
    import requests

    if isinstance(exc, requests.ConnectionError):
        # A read time-out after the request went out is not one; a certificate refused stays refused.
        return not isinstance(exc, requests.exceptions.SSLError)
    return isinstance(exc, (httpx.ConnectError, httpx.ConnectTimeout, httpx.ReadError, httpx.WriteError,
                            httpx.RemoteProtocolError))


def delay(attempt: int, headers: Mapping[str, Any] | None = None) -> float:
    """Seconds to wait before retry ``attempt`` (0 for the first): the service's Retry-After (seconds or an
    HTTP date), capped, or an exponential backoff with full jitter."""
    after = headers.get("Retry-After") if headers is not None else None
    if after is not None:
        seconds = _seconds(str(after))
        if seconds is not None:
            return min(max(seconds, 0.0), LONGEST_RETRY_AFTER)
    return random.uniform(0, min(LONGEST_BACKOFF, BASE * 2**attempt))


def _seconds(after: str) -> float | None:
    after = after.strip()
    if after.isdigit():
        return float(after)
    try:
        return email.utils.parsedate_to_datetime(after).timestamp() - time.time()
    except (TypeError, ValueError, OverflowError):
        return None


def note(attempt: int, retries: int, wait: float, reason: str) -> None:
    """One line at WARNING on the "corvel" logger per retry (the reason comes redacted)."""
    logger.warning("request failed (%s); retry %d of %d in %.2f s", reason, attempt + 1, retries, wait)
