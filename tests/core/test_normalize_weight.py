"""normalize_weight: gross exposure brought to at most 1, then each weight
capped at the position limit, in place."""

import math
import struct

import pytest

from torvex.core.pathsim import normalize_weight


def bits(x):
    return struct.pack("<d", x)


@pytest.mark.parametrize("weights, limit, expected", [
    ({}, 1, {}),
    ({"a": 0.5, "b": -0.5}, 1, {"a": 0.5, "b": -0.5}),  # gross exactly 1: not scaled
    ({"a": 0.0, "b": 0.0}, 0.5, {"a": 0.0, "b": 0.0}),
    ({"a": 0.9, "b": 0.1}, 0.5, {"a": 0.5, "b": 0.1}),  # clipped only; sums to 0.6
    ({"a": -0.8}, 0.3, {"a": -0.3}),
    # Gross 2: scaled to 0.75 and 0.25, then a is clipped to 0.5; nothing is
    # handed on to b, so the result sums to 0.75.
    ({"a": 1.5, "b": 0.5}, 0.5, {"a": 0.5, "b": 0.25}),
    ({"a": -3, "b": 1}, 1, {"a": -0.75, "b": 0.25}),
])
def test_examples(weights, limit, expected):
    assert normalize_weight(weights, limit) == expected


@pytest.mark.parametrize("weights", [{"a": 0.6, "b": 0.6}, {"a": 0.6, "b": 0.7}, {"x": 0.45, "y": -0.8}])
def test_scaling_multiplies_by_the_reciprocal(weights):
    # {a: 0.6, b: 0.7}: 0.6 * (1 / 1.3) is 0.4615384615384616 while 0.6 / 1.3 is
    # 0.46153846153846156; the result is the former, to the last bit.
    gross = sum(abs(w) for w in weights.values())
    expected = {k: w * (1 / gross) for k, w in weights.items()}
    out = normalize_weight(dict(weights), 1)
    assert {k: bits(v) for k, v in out.items()} == {k: bits(v) for k, v in expected.items()}


def test_nan_weight_stops_scaling_and_is_not_clipped():
    out = normalize_weight({"a": math.nan, "b": 2.0, "c": -0.4}, 1)
    assert math.isnan(out["a"])
    assert (out["b"], out["c"]) == (1.0, -0.4)  # b clipped, not scaled


def test_changes_in_place_and_returns_the_same_object():
    w = {"a": 0.6, "b": 0.6}
    assert normalize_weight(weights=w, position_limit=1.0) is w
    assert list(w) == ["a", "b"] and w["a"] == w["b"] == 0.6 * (1 / 1.2)


def test_none_is_rejected():
    with pytest.raises(AttributeError):
        normalize_weight(None, 1)
