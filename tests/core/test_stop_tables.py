import pickle
import re

import numpy as np
import pytest

from torvex._stops import StopTable, stop_table

BARS = np.arange(10, dtype=np.int64)
COLS = np.array(["a", "b", "c"], dtype=object)
SHAPE_MSG = (
    "one threshold per position column (3) or a table of bars x position columns (10 x 3); found an array of shape "
)


class TestBuild:
    @pytest.mark.parametrize("x", [0.1, 1, np.float32(0.25), np.int64(2), np.array(0.1)])
    def test_number_applies_to_every_column_and_bar(self, x):
        t = stop_table(x, BARS, COLS)
        assert t.values.shape == (1, 3) and t.values.dtype == np.float64
        assert np.all(t.values == float(x))
        assert t.rows.dtype == np.intp and np.array_equal(t.rows, np.zeros(10))

    def test_one_threshold_per_column(self):
        t = stop_table([0.1, np.inf, np.nan], BARS, COLS)
        np.testing.assert_array_equal(t.values, [[0.1, np.inf, np.nan]])
        assert t.threshold(7, 1) == np.inf

    def test_table_keeps_distinct_rows_and_maps_every_bar_back(self):
        a, b = [0.1, 0.2, np.nan], [0.1, 0.2, 0.3]
        full = np.array([a, a, b, b, a, a, a, b, a, [0.1, 0.2, -0.0]])
        t = stop_table(full, BARS, COLS)
        np.testing.assert_array_equal(t.values, [a, b, [0.1, 0.2, -0.0]])
        np.testing.assert_array_equal(t.values[t.rows], full)
        assert list(t.rows) == [0, 0, 1, 1, 0, 0, 0, 1, 0, 2]

    def test_large_table_round_trips(self):
        rng = np.random.default_rng(1)
        distinct = rng.random((30, 200))
        distinct[5, 7] = np.nan
        full = np.asfortranarray(distinct[rng.integers(0, 30, 1000)])
        t = stop_table(full, np.arange(1000), np.arange(200))
        assert t.values.shape[0] == len(np.unique(t.rows)) <= 30
        np.testing.assert_array_equal(t.values[t.rows], full)

    def test_empty_edges(self):
        assert stop_table(0.1, BARS[:0], COLS).rows.shape == (0,)
        assert stop_table(0.1, BARS, COLS[:0]).values.shape == (1, 0)
        t = stop_table(np.zeros((10, 0)), BARS, [])
        assert t.values.shape == (1, 0) and np.all(t.rows == 0)

    def test_stop_table_passes_through_unchanged(self):
        t = StopTable([[0.1, 0.2, 0.3]], np.zeros(10, dtype=int))
        assert stop_table(t, BARS, COLS) is t
        with pytest.raises(ValueError, match="one row per bar"):
            stop_table(t, BARS[:5], COLS)
        with pytest.raises(ValueError, match="position column"):
            stop_table(t, BARS, COLS[:2])


class TestRejects:
    @pytest.mark.parametrize("shape", [(4,), (10,), (10, 4), (1, 3), (10, 3, 1)])
    def test_wrong_shape_names_expected_and_actual(self, shape):
        with pytest.raises(ValueError, match=re.escape(SHAPE_MSG + str(shape))):
            stop_table(np.zeros(shape), BARS, COLS)

    @pytest.mark.parametrize(
        "x",
        [
            True,
            np.bool_(False),
            np.ones(3, dtype=bool),
            "0.1",
            ["0.1"] * 3,
            None,
            1j,
            {"a": 0.1},
            [0.1, None, 0.2],
            np.timedelta64(1, "D"),
            np.ma.array([0.1, 0.2, 0.3]),
        ],
    )
    def test_non_numbers(self, x):
        with pytest.raises(TypeError, match="stop threshold"):
            stop_table(x, BARS, COLS)

    def test_ragged_and_scalar_sizes(self):
        with pytest.raises(ValueError, match="ragged"):
            stop_table([[0.1, 0.2, 0.3], [0.1]], BARS, COLS)
        with pytest.raises(TypeError, match="price_index"):
            stop_table(0.1, 10, COLS)  # a count is not an index of bars

    @pytest.mark.parametrize(
        "values, rows, err",
        [
            ([0.1, 0.2], [0], ValueError),
            ([[0.1]], [[0]], ValueError),
            ([[0.1]], [1], ValueError),
            ([[0.1]], [-1], ValueError),
            ([[0.1]], [0.5], ValueError),
            ([[0.1]], [True], TypeError),
            ([[0.1]], np.array([2**64 - 1], dtype=np.uint64), ValueError),
            (np.empty((0, 1)), [0], ValueError),
        ],
    )
    def test_invalid_stop_table(self, values, rows, err):
        with pytest.raises(err):
            StopTable(values, rows)


class TestImmutability:
    def test_result_is_read_only_and_cannot_be_unlocked(self):
        t = stop_table(np.full((10, 3), 0.1), BARS, COLS)
        for arr in (t.values, t.rows):
            with pytest.raises(ValueError):
                arr[0] = 1
            with pytest.raises(ValueError):
                arr.flags.writeable = True
        with pytest.raises(AttributeError):
            t.values = np.zeros((1, 3))

    @pytest.mark.parametrize(
        "make",
        [
            lambda v, r: stop_table(v[0], BARS, COLS),
            lambda v, r: stop_table(v, BARS, COLS),
            lambda v, r: StopTable(v, r),
        ],
    )
    def test_caller_arrays_are_not_aliased(self, make):
        v, r = np.full((10, 3), 0.1), np.zeros(10, dtype=np.intp)
        t = make(v, r)
        v[:] = 9.0
        r[:] = 5
        assert np.all(t.values == 0.1) and np.all(t.rows == 0)

    def test_pickled_table_stays_read_only(self):
        t = pickle.loads(pickle.dumps(StopTable([[0.1, 0.2]], [0, 0])))
        np.testing.assert_array_equal(t.values[t.rows], [[0.1, 0.2]] * 2)
        assert not t.values.flags.writeable and not t.rows.flags.writeable
