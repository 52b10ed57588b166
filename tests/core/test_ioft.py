"""ioft: nanoseconds since the Unix epoch to a naive local datetime."""

import time
from datetime import datetime

import numpy as np
import pytest

from torvex.core.pathsim import ioft


@pytest.fixture(autouse=True)
def utc(monkeypatch):
    monkeypatch.setenv("TZ", "UTC")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


@pytest.mark.parametrize(
    "v, expected",
    [
        (0, datetime(1970, 1, 1)),
        (1_500_000_000_000_000_000, datetime(2017, 7, 14, 2, 40)),
        (1.5e18, datetime(2017, 7, 14, 2, 40)),  # a float gives what the equal int gives
        (np.int64(1_500_000_000_000_000_000), datetime(2017, 7, 14, 2, 40)),
        (np.float64(1.5e18), datetime(2017, 7, 14, 2, 40)),
        (-86_400 * 10**9, datetime(1969, 12, 31)),
        (1_500_000_000_123_456_789, datetime(2017, 7, 14, 2, 40, 0, 123457)),  # to the microsecond
    ],
)
def test_dates(v, expected):
    out = ioft(v)
    assert type(out) is datetime and out.tzinfo is None
    assert out == expected


def test_keyword_call():
    assert ioft(v=0) == datetime(1970, 1, 1)


def test_follows_the_process_time_zone(monkeypatch):
    monkeypatch.setenv("TZ", "UTC-8")  # POSIX notation for eight hours east of UTC
    time.tzset()
    assert ioft(0) == datetime(1970, 1, 1, 8)


@pytest.mark.parametrize("v, error", [("0", TypeError), (None, TypeError), (10**400, OverflowError)])
def test_bad_values(v, error):
    with pytest.raises(error):
        ioft(v)
