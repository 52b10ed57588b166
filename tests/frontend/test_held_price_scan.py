"""torvex.core._scan.held_prices against a plain NumPy reference, and its refusals of bad arguments.

The reference lays every held cell on a (bars x columns) mask: held cell k covers column cols[k]
from bar exec_bars[rows[k]] through the next executed bar (the last bar for the last row), each
(bar, column) once.  On that mask it finds the first bad price (a value <= 0 or +inf; NaN passes),
the first high below its low and the opens or closes outside [low, high] widened by a relative
1e-9, by bar, then column.
"""

import numpy as np
import pytest

from torvex.core import _scan

NONE = (-1, -1, -1)
SLACK = 1e-9


def held_mask(nbars, ncols, exec_bars, rows, cols):
    mask = np.zeros((nbars, ncols), dtype=bool)
    for r, c in zip(rows, cols):
        start = exec_bars[r]
        stop = exec_bars[r + 1] if r + 1 < len(exec_bars) else nbars - 1
        mask[start : stop + 1, c] = True
    return mask


def first(cells):
    """The first (bar, column) of a bool grid, by bar then column; None if there is none."""
    hits = np.argwhere(cells)  # row-major: by bar, then column
    return None if hits.size == 0 else (int(hits[0, 0]), int(hits[0, 1]))


def reference(grids, exec_bars, rows, cols, ohlc):
    nbars, ncols = grids[0].shape
    mask = held_mask(nbars, ncols, exec_bars, rows, cols)
    with np.errstate(invalid="ignore", over="ignore"):
        bad_by_frame = [mask & ((g <= 0) | (g == np.inf)) for g in grids]
        at = first(np.logical_or.reduce(bad_by_frame))
        bad = NONE if at is None else (next(f for f, b in enumerate(bad_by_frame) if b[at]), *at)
        if ohlc is None:
            return bad, NONE, NONE, 0
        o, h, lo, c = (grids[i] for i in ohlc)
        at = first(mask & (h < lo))
        inverted = NONE if at is None else (0, *at)
        low = np.minimum(lo * (1 - SLACK), lo * (1 + SLACK))
        high = np.maximum(h * (1 + SLACK), h * (1 - SLACK))
        priced = mask & ~(np.isnan(o) | np.isnan(h) | np.isnan(lo) | np.isnan(c))
        o_out = priced & ((o < low) | (o > high))
        c_out = priced & ((c < low) | (c > high))
    count = int(o_out.sum() + c_out.sum())
    at = first(o_out | c_out)
    outside = NONE if at is None else (0 if o_out[at] else 1, *at)
    return bad, inverted, outside, count


SPECIAL = np.array([np.nan, 0.0, -0.0, -1.0, -1e300, np.inf, -np.inf, 1e300, 1.7e308, 5e-324, -5e-324])


def random_grid(rng, nbars, ncols, bad_rate):
    g = rng.uniform(1.0, 100.0, (nbars, ncols))
    hit = rng.random((nbars, ncols)) < bad_rate
    g[hit] = rng.choice(SPECIAL, hit.sum())
    return g


def random_ohlc(rng, nbars, ncols, rate):
    """Four frames around one close, with cells nudged outside the bar, inverted bars, NaN and the
    special values at the given rate; negative bars whose opens lie just inside them."""
    close = rng.uniform(1.0, 100.0, (nbars, ncols))
    high = close * rng.uniform(1.0, 1.05, close.shape)
    low = close * rng.uniform(0.95, 1.0, close.shape)
    open_ = low + (high - low) * rng.random(close.shape)
    frames = [open_, high, low, close]
    for f in frames:
        hit = rng.random(f.shape) < rate
        f[hit] *= rng.choice([0.9, 1.1, 1 + 3e-10, 1 - 3e-10, 1 + 3e-9, 1 - 3e-9], hit.sum())
        hit = rng.random(f.shape) < rate / 2
        f[hit] = rng.choice(SPECIAL, hit.sum())
    neg = rng.random(close.shape) < rate / 2  # low -1, high -0.5: an open a hair above the low is inside
    low[neg], high[neg], open_[neg], close[neg] = -1.0, -0.5, -1.0 + 5e-10, -0.5 - 5e-10
    return frames


def random_cells(rng, nbars, ncols):
    nexec = int(rng.integers(0, min(nbars, 8) + 1))
    exec_bars = np.sort(rng.choice(nbars, nexec, replace=False)).astype(np.int64)
    if nexec == 0:
        e = np.empty(0, np.int64)
        return exec_bars, e, e
    ncells = int(rng.integers(0, 3 * ncols + 1))
    rows = np.sort(rng.integers(0, nexec, ncells)).astype(np.int64)
    cols = rng.integers(0, ncols, ncells).astype(np.int64)  # repeats and any order within a row
    return exec_bars, rows, cols


def layouts(rng, g):
    """The same values in other memory layouts: C, F, a strided slice, reversed, transposed copy."""
    nbars, ncols = g.shape
    big = np.full((2 * nbars + 1, 3 * ncols + 2), 77.0)
    big[1::2, 2::3] = g
    rev = np.ascontiguousarray(g[::-1, ::-1])[::-1, ::-1]
    return {
        "C": np.ascontiguousarray(g),
        "F": np.asfortranarray(g),
        "strided": big[1::2, 2::3],
        "reversed": rev,
        "F strided": np.asfortranarray(big)[1::2, 2::3],
    }


def check(grids, exec_bars, rows, cols, ohlc):
    got = _scan.held_prices(tuple(grids), exec_bars, rows, cols, ohlc)
    want = reference([np.asarray(g) for g in grids], exec_bars, rows, cols, ohlc)
    assert got == want


@pytest.mark.parametrize("seed", range(40))
def test_prices_alone_match_the_reference_in_every_layout(seed):
    rng = np.random.default_rng(seed)
    nbars, ncols = int(rng.integers(1, 40)), int(rng.integers(1, 12))
    ngrids = int(rng.integers(1, 4))
    values = [random_grid(rng, nbars, ncols, rng.choice([0.0, 0.01, 0.1, 0.5])) for _ in range(ngrids)]
    exec_bars, rows, cols = random_cells(rng, nbars, ncols)
    for name in ("C", "F", "strided", "reversed", "F strided"):
        grids = [layouts(rng, v)[name] for v in values]
        check(grids, exec_bars, rows, cols, None)
    # Layouts mixed among the grids of one call.
    mixed = [layouts(rng, v)[k] for v, k in zip(values, ("F", "C", "strided"))]
    check(mixed, exec_bars, rows, cols, None)


@pytest.mark.parametrize("seed", range(40))
def test_ohlc_matches_the_reference_in_every_layout(seed):
    rng = np.random.default_rng(1000 + seed)
    nbars, ncols = int(rng.integers(1, 40)), int(rng.integers(1, 12))
    frames = random_ohlc(rng, nbars, ncols, rng.choice([0.0, 0.02, 0.1, 0.3]))
    exec_bars, rows, cols = random_cells(rng, nbars, ncols)
    # The grids in another order than open, high, low, close; the trading price is the open.
    order = [3, 0, 1, 2]  # close, open, high, low
    ohlc = (1, 2, 3, 0)
    for name in ("C", "F", "strided", "reversed", "F strided"):
        grids = [layouts(rng, frames[i])[name] for i in order]
        check(grids, exec_bars, rows, cols, ohlc)
    # A trading price other than the four, and one grid given twice.
    extra = random_grid(rng, nbars, ncols, 0.05)
    grids = [np.asfortranarray(extra)] + [np.asfortranarray(f) for f in frames] + [frames[3]]
    check(grids, exec_bars, rows, cols, (1, 2, 3, 5))


def test_a_large_grid_by_column_and_by_bar():
    rng = np.random.default_rng(7)
    nbars, ncols = 600, 300
    frames = random_ohlc(rng, nbars, ncols, 0.0005)
    exec_bars = np.sort(rng.choice(nbars, 40, replace=False)).astype(np.int64)
    rows = np.repeat(np.arange(40, dtype=np.int64), 30)
    cols = rng.integers(0, ncols, rows.size).astype(np.int64)
    for layout in (np.asfortranarray, np.ascontiguousarray):
        check([layout(f) for f in frames], exec_bars, rows, cols, (0, 1, 2, 3))


def test_each_held_cell_is_counted_once():
    # Column 0 held by three consecutive rows and repeated within a row: its segments meet at the
    # executed bars; the cells there count once.
    nbars = 10
    high = np.full((nbars, 1), 10.0)
    low = np.full((nbars, 1), 9.0)
    close = np.full((nbars, 1), 11.0)  # every close above its high
    open_ = np.full((nbars, 1), 9.5)
    exec_bars = np.array([2, 4, 6], dtype=np.int64)
    rows = np.array([0, 0, 1, 2], dtype=np.int64)
    cols = np.zeros(4, dtype=np.int64)
    for layout in (np.asfortranarray, np.ascontiguousarray):
        grids = tuple(layout(g) for g in (open_, high, low, close))
        bad, inverted, outside, count = _scan.held_prices(grids, exec_bars, rows, cols, (0, 1, 2, 3))
        assert (bad, inverted, outside, count) == (NONE, NONE, (1, 2, 0), 8)  # bars 2 .. 9


def test_first_bad_cell_is_by_bar_then_column_then_frame():
    a = np.ones((6, 3))
    b = np.ones((6, 3))
    a[4, 0] = 0.0  # later bar, first column
    b[3, 2] = -1.0  # earlier bar, last column
    a[3, 2] = np.inf  # the same cell in an earlier frame
    exec_bars = np.array([0], dtype=np.int64)
    rows = np.zeros(3, dtype=np.int64)
    cols = np.array([2, 0, 1], dtype=np.int64)
    for layout in (np.asfortranarray, np.ascontiguousarray):
        got = _scan.held_prices((layout(a), layout(b)), exec_bars, rows, cols, None)
        assert got[0] == (0, 3, 2)


def test_cells_outside_the_held_ones_are_not_read():
    g = np.full((8, 2), np.nan)
    g[2:5, 1] = 1.0  # column 1 held from bar 2 through bar 4
    exec_bars = np.array([2, 4], dtype=np.int64)
    rows = np.array([0], dtype=np.int64)
    cols = np.array([1], dtype=np.int64)
    g[:2, 1] = 0.0
    g[5:, 1] = -1.0
    g[:, 0] = 0.0
    for layout in (np.asfortranarray, np.ascontiguousarray):
        assert _scan.held_prices((layout(g),), exec_bars, rows, cols, None)[0] == NONE
    g[4, 1] = 0.0  # the bar it is sold at
    assert _scan.held_prices((g,), exec_bars, rows, cols, None)[0] == (0, 4, 1)


def test_nan_passes_and_positive_values_to_the_largest_float_pass():
    g = np.array([[np.nan, 5e-324, 1.7976931348623157e308, 1.0]]).T
    got = _scan.held_prices((g,), np.array([0], np.int64), np.array([0], np.int64), np.array([0], np.int64), None)
    assert got == (NONE, NONE, NONE, 0)


def test_a_bar_below_zero_is_judged_with_the_slack_widening_it():
    # low -1, high -0.5: an open a hair above the low lies inside the bar whatever the layout.
    one = np.ones((3, 2))
    low, high = -1.0 * one, -0.5 * one
    open_, close = (-1.0 + 5e-10) * one, (-0.5 - 5e-10) * one
    args = (np.array([0], np.int64), np.array([0, 0], np.int64), np.array([0, 1], np.int64), (0, 1, 2, 3))
    for layout in (np.asfortranarray, np.ascontiguousarray):
        got = _scan.held_prices(tuple(layout(g) for g in (open_, high, low, close)), *args)
        assert got[2:] == (NONE, 0)


@pytest.mark.parametrize("missing", [1, 2])  # the high, the low
def test_an_open_or_close_is_outside_only_where_all_four_are_priced(missing):
    one = np.ones((3, 1))
    frames = [12.0 * one, 11.0 * one, 9.0 * one, 8.0 * one]  # open above the high, close below the low
    frames[missing] = np.full((3, 1), np.nan)
    args = (np.array([0], np.int64), np.array([0], np.int64), np.array([0], np.int64), (0, 1, 2, 3))
    for layout in (np.asfortranarray, np.ascontiguousarray):
        got = _scan.held_prices(tuple(layout(f) for f in frames), *args)
        assert got == (NONE, NONE, NONE, 0)


def test_without_held_cells_nothing_is_found():
    g = np.zeros((4, 2))
    e = np.empty(0, np.int64)
    assert _scan.held_prices((g,), e, e, e, None) == (NONE, NONE, NONE, 0)
    assert _scan.held_prices((g,), np.array([1], np.int64), e, e, (0, 0, 0, 0)) == (NONE, NONE, NONE, 0)
    empty = np.empty((0, 0))
    assert _scan.held_prices((empty,), e, e, e, None) == (NONE, NONE, NONE, 0)


def test_broadcast_and_read_only_grids():
    row = np.array([1.0, 0.0, 2.0])
    g = np.broadcast_to(row, (5, 3))  # zero row stride, read-only
    got = _scan.held_prices((g,), np.array([3], np.int64), np.array([0], np.int64), np.array([1], np.int64), None)
    assert got[0] == (0, 3, 1)
    col = np.broadcast_to(np.array([[1.0], [np.inf], [1.0]]), (3, 4))  # zero column stride
    got = _scan.held_prices((col,), np.array([0], np.int64), np.array([0], np.int64), np.array([3], np.int64), None)
    assert got[0] == (0, 1, 3)


# ------------------------------------------------------------------ refusals of the glue

G = np.ones((5, 3))
E = np.array([0, 2], dtype=np.int64)
R = np.array([0, 1], dtype=np.int64)
C = np.array([0, 2], dtype=np.int64)


def call(grids=(G,), exec_bars=E, rows=R, cols=C, ohlc=None):
    return _scan.held_prices(grids, exec_bars, rows, cols, ohlc)


def test_well_formed_call():
    assert call() == (NONE, NONE, NONE, 0)
    assert call(grids=(G, G, G, G), ohlc=(0, 1, 2, 3)) == (NONE, NONE, NONE, 0)
    assert call(grids=(G,) * 8) == (NONE, NONE, NONE, 0)


@pytest.mark.parametrize(
    "kw, error, text",
    [
        (dict(grids=(np.ones(5),)), ValueError, "grids: expected a 2-D array"),
        (dict(grids=(np.ones((5, 3, 1)),)), ValueError, "grids: expected a 2-D array"),
        (dict(grids=(np.ones((5, 3), np.float32),)), ValueError, "grids: expected a 2-D array of float64"),
        (dict(grids=(np.ones((5, 3), np.int64),)), ValueError, "grids: expected a 2-D array of float64"),
        (dict(grids=(np.ones((5, 3), np.complex128),)), ValueError, "grids:"),
        (dict(grids=(np.ones((5, 3), bool),)), ValueError, "grids:"),
        (dict(grids=(np.ones((5, 3)).astype(">f8"),)), ValueError, "grids:"),
        (dict(grids=(G, np.ones((5, 4)))), ValueError, "grids: expected arrays of one shape"),
        (dict(grids=(G, np.ones((6, 3)))), ValueError, "grids: expected arrays of one shape"),
        (dict(grids=(G,) * 9), ValueError, "grids: expected 1 to 8 arrays"),
        (dict(grids=()), ValueError, "grids: expected 1 to 8 arrays"),
        (dict(grids=[G]), TypeError, ""),
        (dict(grids=G), TypeError, ""),
        (dict(grids=([[1.0, 2.0]],)), TypeError, ""),
        (dict(grids=(None,)), TypeError, ""),
        (dict(grids=(b"12345678",)), ValueError, "grids:"),
        (dict(exec_bars=[0, 2]), TypeError, "exec_bars: expected an int64 array"),
        (dict(exec_bars=None), TypeError, "exec_bars"),
        (dict(exec_bars=np.array([0, 2], np.int32)), ValueError, "exec_bars: expected a 1-D int64 array"),
        (dict(exec_bars=np.array([0, 2], np.uint64)), ValueError, "exec_bars: expected a 1-D int64 array"),
        (dict(exec_bars=np.array([0.0, 2.0])), ValueError, "exec_bars: expected a 1-D int64 array"),
        (dict(exec_bars=np.array([[0, 2]], np.int64)), ValueError, "exec_bars: expected a 1-D int64 array"),
        (dict(exec_bars=np.array([0, 2], np.dtype(">i8"))), ValueError, "exec_bars:"),
        (dict(exec_bars=np.array([2, 0], np.int64)), ValueError, "exec_bars: expected ascending bars"),
        (dict(exec_bars=np.array([2, 2], np.int64)), ValueError, "exec_bars: expected ascending bars"),
        (dict(exec_bars=np.array([0, 5], np.int64)), ValueError, "exec_bars: expected ascending bars in [0, 5)"),
        (dict(exec_bars=np.array([-1, 2], np.int64)), ValueError, "exec_bars:"),
        (dict(exec_bars=np.array([0, 2**62], np.int64)), ValueError, "exec_bars:"),
        (dict(rows=np.array([1, 0], np.int64)), ValueError, "rows: expected non-decreasing rows"),
        (dict(rows=np.array([0, 2], np.int64)), ValueError, "rows: expected non-decreasing rows in [0, 2)"),
        (dict(rows=np.array([-1, 0], np.int64)), ValueError, "rows:"),
        (dict(rows=np.array([0], np.int64)), ValueError, "cols: expected one column per row"),
        (dict(rows=np.array([0, 0], np.int64), exec_bars=np.empty(0, np.int64)), ValueError, "rows:"),
        (dict(cols=np.array([0, 3], np.int64)), ValueError, "cols: expected columns in [0, 3)"),
        (dict(cols=np.array([-1, 0], np.int64)), ValueError, "cols:"),
        (dict(cols=np.array([0, -(2**63)], np.int64)), ValueError, "cols:"),
        (dict(cols=np.array([0, 1, 2], np.int64)), ValueError, "cols: expected one column per row"),
        (dict(cols=object()), TypeError, "cols: expected an int64 array"),
        (dict(grids=(G,) * 4, ohlc=(0, 1, 2, 4)), ValueError, "ohlc: expected grid indices in [0, 4)"),
        (dict(grids=(G,) * 4, ohlc=(0, 1, -1, 3)), ValueError, "ohlc: expected grid indices"),
        (dict(grids=(G,) * 4, ohlc=(0, 1, 2, 2**40)), ValueError, "ohlc:"),
        (dict(grids=(G,) * 4, ohlc=(0, 1, 2, 2**80)), ValueError, "ohlc:"),
        (dict(grids=(G,) * 4, ohlc=(0, 1, 2)), TypeError, "ohlc: expected None or four grid indices"),
        (dict(grids=(G,) * 4, ohlc=(0, 1, 2, 3, 0)), TypeError, "ohlc: expected None or four grid indices"),
        (dict(grids=(G,) * 4, ohlc=("0", 1, 2, 3)), TypeError, ""),
        (dict(grids=(G,) * 4, ohlc=[0, 1, 2, 3]), TypeError, "ohlc: expected None or four grid indices"),
        (dict(grids=(G,) * 4, ohlc=0), TypeError, "ohlc: expected None or four grid indices"),
        (dict(grids=(G,) * 4, ohlc="0123"), TypeError, "ohlc: expected None or four grid indices"),
    ],
)
def test_bad_arguments_are_refused(kw, error, text):
    with pytest.raises(error) as info:
        call(**kw)
    assert str(info.value).startswith(text)


def test_object_arrays_are_refused():
    obj = np.empty((5, 3), dtype=object)
    obj[:] = 1.0
    with pytest.raises((TypeError, ValueError)):
        call(grids=(obj,))
    with pytest.raises((TypeError, ValueError)):
        call(exec_bars=np.array([0, 2], dtype=object))


def test_wrong_argument_count_is_a_type_error():
    with pytest.raises(TypeError):
        _scan.held_prices((G,), E, R, C)
    with pytest.raises(TypeError):
        _scan.held_prices((G,), E, R, C, None, None)


def test_index_arrays_may_be_strided_views():
    big = np.array([0, 99, 2, 99], dtype=np.int64)
    assert call(exec_bars=big[::2]) == (NONE, NONE, NONE, 0)
    g = G.copy()
    g[3, 2] = 0.0
    assert call(grids=(g,), exec_bars=big[::2]) == ((0, 3, 2), NONE, NONE, 0)
