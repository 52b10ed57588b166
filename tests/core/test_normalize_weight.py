"""normalize_weight: gross exposure brought to at most 1, then each weight
capped at the position limit, in place."""

import math
import struct

import pytest

from torvex.core.pathsim import normalize_weight


def bits(x):
    return struct.pack("<d", x)


@pytest.mark.parametrize(
    "weights, limit, expected",
    [
        ({}, 1, {}),
        ({"a": 0.5, "b": -0.5}, 1, {"a": 0.5, "b": -0.5}),  # gross exactly 1: not scaled
        ({"a": 0.0, "b": 0.0}, 0.5, {"a": 0.0, "b": 0.0}),
        ({"a": 0.9, "b": 0.1}, 0.5, {"a": 0.5, "b": 0.1}),  # clipped only; sums to 0.6
        ({"a": -0.8}, 0.3, {"a": -0.3}),
        # Gross 2: scaled to 0.75 and 0.25, then a is clipped to 0.5; nothing is
        # handed on to b, so the result sums to 0.75.
        ({"a": 1.5, "b": 0.5}, 0.5, {"a": 0.5, "b": 0.25}),
        ({"a": -3, "b": 1}, 1, {"a": -0.75, "b": 0.25}),
    ],
)
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


class _Mapping(dict):
    """A dict subclass: always taken through the host's operators."""


def _typed(d):
    return {k: (type(v), bits(v)) for k, v in d.items()}


@pytest.mark.parametrize(
    "values, limit",
    [
        ([0.6, 0.7], 1.0),
        ([0.9, -0.8, 0.3], 0.5),
        ([2.0, 0.5], 0.3),
        ([0.25, 0.25], 1.0),
        ([1e-300, 3.0], 1.0),  # a scaled weight underflows to a subnormal
        ([1e308, 1e308], 1.0),  # the gross overflows
        ([float("inf"), 1.0], 1.0),
        ([math.nan, 2.0], 1.0),
    ],
)
@pytest.mark.parametrize("kinds", ["float", "float64", "mixed"])
def test_dict_of_floats_matches_the_host_operators(values, limit, kinds):
    np = pytest.importorskip("numpy")
    make = {
        "float": lambda i, v: float(v),
        "float64": lambda i, v: np.float64(v),
        "mixed": lambda i, v: np.float64(v) if i % 2 else float(v),
    }[kinds]
    weights = {i: make(i, v) for i, v in enumerate(values)}
    with np.errstate(all="ignore"):
        fast = normalize_weight(dict(weights), limit)
        slow = normalize_weight(_Mapping(weights), limit)
    assert _typed(fast) == _typed(slow)


def test_floating_point_errors_are_reported_as_numpy_reports_them():
    np = pytest.importorskip("numpy")
    weights = {0: np.float64(1e308), 1: np.float64(1e308)}
    with np.errstate(over="raise"), pytest.raises(FloatingPointError):
        normalize_weight(dict(weights), 1.0)
    with pytest.warns(RuntimeWarning, match="overflow"):
        normalize_weight(dict(weights), 1.0)
    # Python floats alone overflow silently, as the host's operators do.
    with np.errstate(all="raise"):
        assert normalize_weight({0: 1e308, 1: 1e308}, 1.0) == {0: 0.0, 1: 0.0}


def test_a_clipped_weight_is_the_limit_object():
    limit = 0.25
    out = normalize_weight({0: 0.5, 1: -0.5, 2: -0.75}, limit)
    assert out[0] is limit and out[1] == out[2] == -0.25 and out[1] is out[2]
