"""Per-bar, per-column stop-loss and take-profit thresholds.

The engine reads thresholds through a :class:`StopTable`: a small matrix of
distinct threshold rows (``values``) plus, for every bar, the index of the row
in force on that bar (``rows``).  Most stop settings change rarely or never, so
storing each distinct row once keeps the table small even for long runs with
many columns.

:func:`stop_table` builds a table from whatever a user passed as ``stop_loss``
or ``take_profit``: a number, one number per position column, a full
bars x columns table, or a ready-made :class:`StopTable`.

Thresholds are fractions (0.1 is ten per cent); the engine ignores their sign.
NaN and infinities are kept as given (an infinite threshold never triggers).
"""

import numbers

import numpy as np

__all__ = ["StopTable", "stop_table"]


def _is_real(x):
    """True for a real, non-boolean number (Python or NumPy)."""
    if isinstance(x, np.generic):
        # numbers.Real also claims np.timedelta64; only plain numbers count.
        return x.dtype.kind in "iuf"
    return isinstance(x, numbers.Real) and not isinstance(x, bool)


def _kind_name(x):
    return type(x).__name__


def _as_float_array(x, what):
    """Convert ``x`` to a float64 ndarray (possibly 0-d), rejecting non-numbers.

    Booleans, complex numbers, strings, dates, None and other objects raise
    TypeError rather than being silently coerced.  The result may share memory
    with ``x``; callers copy before keeping it.
    """
    if isinstance(x, (str, bytes)):
        raise TypeError(f"{what}: expected a real number or an array of real numbers; found {_kind_name(x)}")
    if isinstance(x, np.ma.MaskedArray):
        raise TypeError(f"{what}: expected a plain array; found a masked array (fill the masked entries first)")
    try:
        arr = np.asarray(x)
    except ValueError as exc:  # ragged nested sequences
        raise ValueError(f"{what}: expected a rectangular array of numbers; found a ragged sequence") from exc
    kind = arr.dtype.kind
    if kind == "O":
        for item in arr.flat:
            if not _is_real(item):
                raise TypeError(
                    f"{what}: expected a real number or an array of real numbers; "
                    f"found {_kind_name(x) if arr.ndim == 0 else 'an array containing ' + _kind_name(item)}"
                )
        try:
            return arr.astype(np.float64)
        except OverflowError as exc:
            raise ValueError(f"{what}: expected numbers that fit a float; found one too large") from exc
    if kind not in "iuf":
        got = f"an array of dtype {arr.dtype}" if isinstance(x, np.ndarray) or arr.ndim else _kind_name(x)
        raise TypeError(f"{what}: expected a real number or an array of real numbers; found {got}")
    return arr.astype(np.float64, copy=False)


def _locked(arr):
    """Return a read-only view of ``arr``, which must be a private array.

    The view's base is itself read-only, so NumPy refuses to make the view
    writable again (an owning array could simply be switched back).
    """
    arr.flags.writeable = False
    view = arr.view()
    view.flags.writeable = False
    return view


def _check_rows(rows, k):
    """Convert bar -> row pointers to a private intp array, checking range."""
    if isinstance(rows, np.ma.MaskedArray):
        raise TypeError("StopTable rows: expected a plain array; found a masked array")
    arr = np.asarray(rows)
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"StopTable rows: expected integers; found dtype {arr.dtype}")
    if arr.ndim != 1:
        raise ValueError(f"StopTable rows: expected 1-D (one entry per bar); found shape {arr.shape}")
    if arr.size:
        if k == 0:
            raise ValueError("StopTable values: expected at least one row when there are bars; found none")
        if arr.dtype.kind == "f":
            if not np.all(np.isfinite(arr)) or np.any(arr != np.floor(arr)):
                raise ValueError("StopTable rows: expected whole numbers; found a fraction or a non-finite value")
        # Range check on the original dtype: casting first could wrap huge values.
        lo, hi = arr.min(), arr.max()
        if lo < 0 or hi >= k:
            raise ValueError(
                f"StopTable rows: expected values in [0, {k}) for {k} distinct rows; found values from {lo} to {hi}"
            )
    return np.array(arr, dtype=np.intp, copy=True)


class StopTable:
    """Distinct threshold rows and the row in force on every bar.

    ``values``: float64, shape ``(k, columns)``, one distinct threshold row each.
    ``rows``: intp, shape ``(bars,)``; bar ``d`` uses ``values[rows[d]]``.

    Both arrays are private copies and read-only, so a table cannot change
    after it has been built.  ``values`` has at least one row unless there are
    no bars.
    """

    __slots__ = ("_values", "_rows")

    def __init__(self, values, rows):
        vals = _as_float_array(values, "StopTable values")
        if vals.ndim != 2:
            raise ValueError(
                f"StopTable values: expected 2-D (distinct rows x position columns); found shape {vals.shape}"
            )
        rws = _check_rows(rows, vals.shape[0])
        # Always copy: even a read-only input may be a view of memory the caller can still write.
        self._set(np.array(vals, dtype=np.float64, order="C", copy=True), rws)

    @classmethod
    def _own(cls, values, rows):
        """Build from arrays freshly made here (no copy, no re-validation)."""
        table = cls.__new__(cls)
        table._set(values, rows)
        return table

    def _set(self, values, rows):
        self._values = _locked(values)
        self._rows = _locked(rows)

    @property
    def values(self):
        """Distinct threshold rows, float64 of shape (k, columns)."""
        return self._values

    @property
    def rows(self):
        """Row of ``values`` in force on each bar, intp of shape (bars,)."""
        return self._rows

    def threshold(self, bar, column):
        """Threshold of position column ``column`` on bar ``bar``."""
        return float(self._values[self._rows[bar], column])

    def __reduce__(self):
        # Rebuild through __init__ so an unpickled table is read-only again.
        return (type(self), (np.asarray(self._values), np.asarray(self._rows)))

    def __repr__(self):
        k, ncols = self._values.shape
        return f"{type(self).__name__}(bars={self._rows.size}, columns={ncols}, distinct_rows={k})"


def _count(obj, name):
    """Number of elements of ``obj``; scalars are refused, not counted as 1."""
    if obj is None or isinstance(obj, (str, bytes)) or np.ndim(obj) == 0:
        raise TypeError(f"{name}: expected an array or sequence; found {_kind_name(obj)}")
    return int(np.size(obj))


def _check_fits(table, nbars, ncols):
    """Raise ValueError unless ``table`` fits ``nbars`` bars and ``ncols`` columns."""
    values, rows = np.asarray(table.values), np.asarray(table.rows)
    if values.ndim != 2 or values.shape[1] != ncols:
        raise ValueError(
            f"stop table: expected values with one column per position column ({ncols}); found shape {values.shape}"
        )
    if rows.ndim != 1 or rows.shape[0] != nbars:
        raise ValueError(f"stop table: expected one row per bar ({nbars}); found rows of shape {rows.shape}")
    if rows.size and (rows.min() < 0 or rows.max() >= values.shape[0]):
        raise ValueError(
            f"stop table: expected rows in [0, {values.shape[0]}); found values from {rows.min()} to {rows.max()}"
        )


def _dedupe(table):
    """Split a C-contiguous float64 (bars, cols) array into distinct rows + pointers.

    Rows are equal when their bytes are equal, so NaN rows match each other and
    0.0 differs from -0.0; distinct rows keep first-appearance order.  Only the
    first row of each run of identical consecutive rows is hashed.
    """
    nbars, ncols = table.shape
    if nbars == 0:
        return np.empty((0, ncols)), np.empty(0, dtype=np.intp)
    if ncols == 0:
        return np.empty((1, 0)), np.zeros(nbars, dtype=np.intp)
    bits = table.view(np.uint64)
    starts = np.flatnonzero(np.r_[True, np.any(bits[1:] != bits[:-1], axis=1)])
    seen: dict[bytes, int] = {}
    run_rows = np.empty(starts.size, dtype=np.intp)
    for i, s in enumerate(starts):
        run_rows[i] = seen.setdefault(bits[s].tobytes(), len(seen))
    first = np.empty(len(seen), dtype=np.intp)
    first[run_rows] = starts  # any run of a row will do: their bytes are equal
    run_lengths = np.diff(np.r_[starts, nbars])
    return table[first], np.repeat(run_rows, run_lengths)


def stop_table(threshold, price_index, pos_columns):
    """Build the :class:`StopTable` for a ``stop_loss``/``take_profit`` argument.

    ``price_index`` only supplies the number of bars and ``pos_columns`` the
    number of position columns.  ``threshold`` may be:

    * a real number: the same threshold for every column on every bar;
    * a 1-D array-like with one threshold per position column;
    * a 2-D array-like of shape (bars, position columns); only its distinct
      rows are stored;
    * a :class:`StopTable`, which is checked against the sizes and returned.

    Booleans (scalar or array) raise TypeError: a flag is not a threshold.
    Anything else non-numeric raises TypeError; a wrong shape raises ValueError.
    """
    nbars = _count(price_index, "price_index")
    ncols = _count(pos_columns, "pos_columns")
    if isinstance(threshold, StopTable):
        _check_fits(threshold, nbars, ncols)
        return threshold
    if _is_real(threshold):
        try:
            arr = np.asarray(float(threshold))
        except OverflowError as exc:
            raise ValueError("stop threshold: expected a number that fits a float; found one too large") from exc
    else:
        arr = _as_float_array(threshold, "stop threshold")
    if arr.ndim == 0:
        values = np.full((1, ncols), float(arr))
    elif arr.shape == (ncols,):
        values = arr.reshape(1, ncols).copy()
    elif arr.shape == (nbars, ncols):
        values, rows = _dedupe(np.ascontiguousarray(arr))
        return StopTable._own(values, rows)
    else:
        raise ValueError(
            "stop threshold: expected a number, one threshold per position column "
            f"({ncols}) or a table of bars x position columns ({nbars} x {ncols}); "
            f"found an array of shape {arr.shape}"
        )
    return StopTable._own(values, np.zeros(nbars, dtype=np.intp))
