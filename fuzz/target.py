"""Fuzz target of the engine's Python and C-level surface, driven by atheris.

Every input is decoded into one case: a few calls of backtest_,
get_trade_stocks, get_stock_operations, normalize_weight, ioft, the stop-table
layer (torvex._stops) and the exported C-level table of excursion, with
generated arrays (dtypes, shapes, layouts, strides, unaligned and byte-swapped
buffers, NaN/inf/huge values), wrong types, objects whose __index__, __float__,
__bool__, __eq__ or properties raise or rewrite other inputs, module attributes
replaced for the call, nested calls and threads.

A Python exception is an answer, not a finding: only a crash, a sanitizer
report, a hang, SystemError (an error set without a failure, or the reverse)
or a broken invariant (a trade of a column that has no price) is a finding.

    python fuzz/target.py [libFuzzer options] [corpus dir]   # fuzz
    python fuzz/target.py --show FILE                        # print the case of FILE
    python fuzz/target.py --run FILE                         # replay FILE
    python fuzz/target.py --mutate CORPUS SECONDS CURRENT SEED  # see mutate_loop
"""

import atexit
import ctypes
import json
import os
import sys
import threading

import atheris

with atheris.instrument_imports(include=["torvex"]):
    import numpy as np
    from torvex import _stops
    from torvex.core import excursion, pathsim

DAY = 86_400 * 10**9
SPECIAL = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    1e-300,
    1e300,
    5e-324,
    1.7976931348623157e308,
    float("nan"),
    float("inf"),
    float("-inf"),
    2.0**53,
    -1e-12,
    0.1,
    3.0,
]
HUGE_INTS = [0, 1, -1, 2**31 - 1, -(2**31), 2**31, 2**40, -(2**40), 2**62, -(2**63), 2**63 - 1]

STATS = {"cases": 0, "calls": 0}
_stats_path = os.environ.get("TORVEX_FUZZ_STATS")
TRACE = []  # what the current case did, for --show


def _write_stats():
    if _stats_path:
        tmp = _stats_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(STATS, f)
        os.replace(tmp, _stats_path)


atexit.register(_write_stats)


_ECHO = False  # --show prints the case as it goes, so a crash still shows it


def note(*parts):
    line = " ".join(str(p) for p in parts)
    TRACE.append(line)
    if _ECHO:
        print(line, flush=True)


def call(fn, *args, **kwargs):
    """One call into the engine; Python errors are answers."""
    STATS["calls"] += 1
    note("  call", getattr(fn, "__name__", fn))
    try:
        return fn(*args, **kwargs)
    except SystemError:
        raise
    except Exception as e:
        note("    ->", type(e).__name__, str(e)[:200])
        return None


# ---- C-level table through ctypes (the GIL is held: PYFUNCTYPE) ----

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_CAPI = excursion.__pyx_capi__
record_date = ctypes.PYFUNCTYPE(None, ctypes.c_int)(_get_pointer(_CAPI["record_date"], b"void (int)"))
record_entry = ctypes.PYFUNCTYPE(None, ctypes.c_int, ctypes.c_double, ctypes.c_int)(
    _get_pointer(_CAPI["record_entry"], b"void (int, double, int)")
)
record_exit = ctypes.PYFUNCTYPE(None, ctypes.c_int, ctypes.c_int)(
    _get_pointer(_CAPI["record_exit"], b"void (int, int)")
)


def capi_array(name):
    addr = _get_pointer(_CAPI[name], b"PyArrayObject *")
    return ctypes.cast(addr, ctypes.POINTER(ctypes.py_object)).contents.value


# ---- generators ----


class Gen:
    def __init__(self, data):
        self.f = atheris.FuzzedDataProvider(data)
        self.mutable = []  # arrays a hostile object may rewrite

    def int(self, lo, hi):
        return self.f.ConsumeIntInRange(lo, hi)

    def bool(self):
        return self.f.ConsumeBool()

    def pick(self, seq):
        return seq[self.int(0, len(seq) - 1)]

    def float(self):
        if self.bool():
            return self.pick(SPECIAL)
        return self.f.ConsumeRegularFloat()

    def floats(self, n):
        mode = self.int(0, 3)
        if mode == 0:
            return [1.0 + 0.1 * self.int(-9, 9) for _ in range(n)]
        if mode == 1:
            return [self.float() for _ in range(n)]
        return [self.pick([1.0, 2.0, 0.5, 1.25, 10.0, float("nan")]) for _ in range(n)]

    def layout(self, a):
        """The same values in another memory layout."""
        k = self.int(0, 6)
        if a.dtype.kind == "O" and k in (3, 4):
            k = 0
        if k == 1 and a.ndim == 2:
            a = np.asfortranarray(a)
        elif k == 2:  # strided: every other element of a bigger array
            big = np.zeros(tuple(2 * s for s in a.shape), dtype=a.dtype)
            view = big[tuple(slice(None, None, 2) for _ in a.shape)]
            view[...] = a
            a = view
        elif k == 3:  # unaligned
            raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
            u = raw[1:].view(a.dtype).reshape(a.shape)
            u[...] = a
            a = u
        elif k == 4:  # byte-swapped
            a = a.astype(a.dtype.newbyteorder())
        elif k == 5 and a.ndim >= 1 and a.shape[0] > 1:  # reversed rows
            a = a[::-1].copy()[::-1]
        elif k == 6:
            a = a.copy()
            a.flags.writeable = self.bool()
        note("  layout", k, a.dtype, a.shape, a.strides)
        return a

    def floats2d(self, n0, n1):
        kind = self.int(0, 12)
        if kind == 0:
            return None
        if kind == 1:
            return self.floats(n0 * n1)  # a list, not an array
        if kind == 2:
            n0, n1 = max(0, n0 + self.int(-2, 2)), max(0, n1 + self.int(-2, 2))
        a = np.array(self.floats(n0 * n1), dtype=np.float64).reshape(n0, n1)
        if kind == 3:
            a = a.astype(self.pick([np.float32, np.int64, np.complex128, object, np.bool_]))
        if kind == 4:
            a = a.reshape(-1) if self.bool() else a.reshape(1, n0, n1)
        a = self.layout(a)
        self.mutable.append(a)
        return a

    def ints1d(self, values):
        kind = self.int(0, 10)
        if kind == 0:
            return None
        a = np.array(values, dtype=np.int64)
        if kind == 1:
            a = a.astype(self.pick([np.int32, np.float64, np.uint64, object]))
        if kind == 2 and a.size:
            a[self.int(0, a.size - 1)] = self.pick(HUGE_INTS)
        if kind == 3:
            a = a.reshape(1, -1)
        a = self.layout(a)
        self.mutable.append(a)
        return a

    def labels(self, n, pool):
        kind = self.int(0, 9)
        names = [self.pick(pool) for _ in range(n)] if kind < 3 else pool[:n]
        if kind == 3:
            return [str(x) for x in names]  # a list
        if kind == 4 and n:
            names = list(names)
            names[self.int(0, n - 1)] = self.pick([1, b"a", None, Hostile(self, "label")])
        a = np.array(names, dtype=object) if kind != 5 else np.array(names, dtype="U4")
        self.mutable.append(a)
        return a

    def number(self, what):
        k = self.int(0, 8)
        if k == 0:
            return Hostile(self, what)
        if k == 1:
            return self.pick([None, "0.1", [0.1], np.float32(0.1), np.int64(3), True, 2**70])
        return self.float()

    def rewrite(self):
        """What a hostile object does to the other inputs."""
        if not self.mutable:
            return
        a = self.pick(self.mutable)
        try:
            if self.int(0, 7) == 0 and a.flags.owndata and a.flags.writeable and a.dtype != object:
                # Moves the array's memory even while a buffer of it is held.
                # (NumPy leaves the new cells of a read-only object array
                # unset, which its own deallocation then trips over.)
                a.resize(tuple(max(1, 2 * s) for s in a.shape) or (1,), refcheck=False)
                return
            if a.size == 0 or not a.flags.writeable:
                return
            flat = a.reshape(-1) if a.flags.c_contiguous else None
            i = self.int(0, a.size - 1)
            if a.dtype.kind == "f":
                v = self.float()
            elif a.dtype.kind in "iu":
                v = self.pick(HUGE_INTS)
            elif a.dtype.kind == "O":
                v = self.pick(["zz", "a0", None, 7])
            else:
                return
            if flat is not None and self.bool():
                flat[:] = v
            else:
                a[np.unravel_index(i, a.shape)] = v
        except Exception:
            pass


class Hostile:
    """A value whose conversions, truth, equality and attributes run code that
    raises, answers oddly or rewrites another input."""

    def __init__(self, gen, what):
        self.g, self.what = gen, what
        self.mode = gen.int(0, 4)

    def _act(self, default):
        g = self.g
        if g.f.remaining_bytes() == 0:
            return default
        k = g.int(0, 5)
        if k == 0:
            raise ValueError("hostile " + self.what)
        if k == 1:
            g.rewrite()
        if k == 2:
            nested(g)
        return default

    def __bool__(self):
        return bool(self._act(self.g.bool() if self.g.f.remaining_bytes() else True))

    def __float__(self):
        return float(self._act(self.g.float() if self.g.f.remaining_bytes() else 0.5))

    def __index__(self):
        return int(self._act(self.g.pick(HUGE_INTS) if self.g.f.remaining_bytes() else 0))

    __int__ = __index__

    def __eq__(self, other):
        return self._act(NotImplemented)

    def __hash__(self):
        return 7

    def __lt__(self, other):
        return bool(self._act(False))

    __gt__ = __le__ = __ge__ = __lt__

    def __abs__(self):
        self._act(None)
        return self

    def __truediv__(self, other):
        self._act(None)
        return 0.5

    def encode(self, *a):
        self._act(None)
        return self.g.pick([b"a0", "a0", b"zz", None])

    def __array__(self, dtype=None, copy=None):
        self._act(None)
        return np.array(0.1)


def nested(g):
    """Calls made from inside a callback of a running backtest_."""
    k = g.int(0, 7)
    note("  nested", k)
    if k == 0:
        call(pathsim.get_trade_stocks, np.array(["a0"], dtype=object), np.arange(3, dtype=np.int64), g.bool())
    elif k == 1:
        call(pathsim.get_stock_operations)
    elif k == 2:
        call(record_date, g.pick(HUGE_INTS[:7]))
    elif k == 3:
        call(record_entry, g.int(-3, 20), g.float(), g.int(0, 1))
    elif k == 4:
        call(record_exit, g.int(-3, 20), g.int(0, 1))
    elif k == 5:
        call(pathsim.backtest_, *small_run(g)[0])
    elif k == 6:
        e = capi_array(g.pick(["entry", "position"]))
        if e.size and e.flags.writeable:
            e[g.int(0, e.size - 1)] = g.pick(HUGE_INTS) if e.dtype.kind == "i" else g.float()
    else:
        excursion.trades = g.pick([[], ListLike(g), None])


class ListLike:
    """A trade log that is no list: its append runs code."""

    def __init__(self, g):
        self.g, self.items = g, []

    def append(self, x):
        if self.g.f.remaining_bytes() and self.g.int(0, 3) == 0:
            self.g.rewrite()
        self.items.append(x)

    def clear(self):
        self.items.clear()

    def __iter__(self):
        return iter(self.items)


class SubTable(_stops.StopTable):
    """A stop table whose arrays are the caller's own, writable ones."""

    __slots__ = ("_v", "_r")

    @property
    def values(self):
        return self._v

    @property
    def rows(self):
        return self._r


def stop_arg(g, nbars, ncols):
    k = g.int(0, 9)
    note("  stop", k)
    if k == 0:
        return g.float()
    if k == 1:
        return np.array(g.floats(ncols))
    if k == 2:
        return np.array(g.floats(nbars * ncols)).reshape(nbars, ncols)
    if k == 3:
        nrows = g.int(1, 3)
        rows = np.array([g.int(0, nrows - 1) for _ in range(nbars)], dtype=np.intp)
        return call(_stops.StopTable, np.array(g.floats(nrows * ncols)).reshape(nrows, ncols), rows)
    if k in (4, 5):
        nrows = g.int(0, 3)
        t = SubTable.__new__(SubTable)
        t._v = g.layout(np.array(g.floats(nrows * ncols)).reshape(nrows, max(0, ncols + g.int(-1, 1))))
        t._r = g.ints1d([g.int(-1, nrows) for _ in range(nbars + g.int(-1, 1))])
        g.mutable.extend([t._v])
        return t
    if k == 6:
        return Hostile(g, "stop")
    return g.pick([None, "x", True, np.float64("nan"), [0.1] * ncols, float("inf")])


def small_run(g):
    """Positional and keyword arguments of one backtest_ call."""
    nbars = g.int(0, 24)
    nprice = g.int(0, 6)
    npos = g.int(0, 6)
    pool = [f"a{i}" for i in range(8)] + ["zz", "A0", "a0\u0301"]
    dates = sorted(g.int(0, 40) for _ in range(nbars))
    price_index = g.ints1d([d * DAY for d in dates])
    price = g.floats2d(nbars, nprice)
    close = g.floats2d(nbars, nprice) if g.bool() else price
    touched = g.int(0, 3) == 0
    hlo = [g.floats2d(nbars, nprice) if touched or g.bool() else None for _ in range(3)]
    nrows = g.int(0, 6)
    pos_values = g.floats2d(nrows, npos)
    if isinstance(pos_values, np.ndarray) and pos_values.dtype == np.float64 and g.bool():
        pos_values = np.abs(pos_values.round(1)) if pos_values.flags.writeable else pos_values
        g.mutable.append(pos_values)
    pos_index = g.ints1d(sorted(g.int(-2, 40) * DAY for _ in range(nrows)))
    price_columns = g.labels(nprice, pool)
    pos_columns = g.labels(npos, pool[::-1] if g.bool() else pool)
    resample = g.ints1d(sorted(g.int(-2, 45) * DAY for _ in range(g.int(0, 12))))
    args = [price, close, *hlo, price_index, price_columns, pos_values, pos_index, pos_columns, resample]
    kw = {}
    for name in ("fee_ratio", "tax_ratio", "trail_stop", "trail_stop_activation", "position_limit"):
        if g.bool():
            kw[name] = g.number(name)
    for name in ("touched_exit", "retain_cost_when_rebalance", "periodically_rebalance", "stop_trading_next_period"):
        if g.bool():
            kw[name] = Hostile(g, name) if g.int(0, 3) == 0 else g.bool()
    if touched:
        kw["touched_exit"] = True
    for name in ("stop_loss", "take_profit"):
        if g.bool():
            kw[name] = stop_arg(g, nbars, npos)
    for name in ("excursion_window", "excursion_window_step"):
        if g.bool():
            kw[name] = g.pick([0, 1, 2, 5, -1, -7, 2**31, Hostile(g, name), 3.5])
    if g.bool():
        kw["delisting_bars"] = g.ints1d([g.int(-1, nbars) for _ in range(npos + g.int(-1, 1))])
    note("backtest_", nbars, "bars", nprice, "price cols", npos, "pos cols", nrows, "rows", sorted(kw))
    return args, kw


def check_trades(args):
    """A successful run trades only position columns that have a price."""
    price_columns, pos_columns = args[6], args[9]
    try:
        prices = {str(x) for x in price_columns}
        pos = [str(x) for x in pos_columns]
        if not all(isinstance(x, str) for x in list(price_columns) + list(pos_columns)):
            return
    except Exception:
        return
    trades = excursion.trades
    if not isinstance(trades, list):
        return
    for t in trades:
        sid = int(t[0])
        if not (0 <= sid < len(pos)) or pos[sid] not in prices:
            raise AssertionError(f"trade of a column without a price: {t}")


REPLACEABLE = [
    (pathsim, "RETAIN_COST_WHEN_REBALANCE"),
    (pathsim, "RESAMPLE"),
    (pathsim, "normalize_weight"),
    (pathsim, "StopTable"),
    (pathsim, "stop_table"),
    (pathsim, "datetime"),
    (pathsim, "excursion"),
    (excursion, "trades"),
    (excursion, "trade_positions"),
    (excursion, "excursion"),
    (pathsim, "org_np"),
]


def replace_attribute(g, saved):
    mod, name = g.pick(REPLACEABLE)
    if (mod, name) not in [(m, n) for m, n, _ in saved]:
        saved.append((mod, name, mod.__dict__.get(name, _MISSING)))
    k = g.int(0, 4)
    note("  replace", mod.__name__, name, k)
    if k == 0:
        delattr_safe(mod, name)
    elif k == 1:
        setattr(mod, name, Hostile(g, name))
    elif k == 2:
        setattr(mod, name, ListLike(g))
    elif k == 3:
        setattr(mod, name, g.pick([None, 0, [], {}, "x", lambda *a: a[0] if a else None]))
    else:
        setattr(mod, name, g.pick([True, False, None]))


_MISSING = object()


def delattr_safe(mod, name):
    try:
        delattr(mod, name)
    except AttributeError:
        pass


def restore(saved):
    for mod, name, value in reversed(saved):
        if value is _MISSING:
            delattr_safe(mod, name)
        else:
            setattr(mod, name, value)


def one_step(g, saved):
    op = g.int(0, 15)
    if op <= 6:
        args, kw = small_run(g)
        c = call(pathsim.backtest_, *args, **kw)
        if c is not None and not saved:
            check_trades(args)
        if g.bool():
            call(pathsim.get_trade_stocks, args[9], args[5], kw.get("touched_exit", False))
    elif op == 7:
        n = g.int(0, 8)
        pool = [g.pick(["x", 1, None, (1,), Hostile(g, "key")]) for _ in range(n)]
        w = {k: g.number("weight") for k in pool} if g.bool() else g.pick([None, [], "ab", Hostile(g, "w")])
        note("normalize_weight", w)
        call(pathsim.normalize_weight, w, g.number("limit"))
    elif op == 8:
        v = g.pick([g.float(), g.pick(HUGE_INTS), 10**30, None, "1", np.int64(5), Hostile(g, "v"), 1.5e18])
        note("ioft", v)
        call(pathsim.ioft, v)
    elif op == 9:
        nb, nc = g.int(0, 6), g.int(0, 4)
        note("stop_table", nb, nc)
        thr = stop_arg(g, nb, nc)
        call(
            _stops.stop_table,
            thr,
            g.pick([np.arange(nb), None, nb, Hostile(g, "idx")]),
            g.pick([np.arange(nc), None, list(range(nc)), "ab"]),
        )
        call(_stops.StopTable, g.floats2d(g.int(0, 3), nc), g.ints1d([g.int(-1, 3) for _ in range(nb)]))
    elif op == 10:
        nested(g)
    elif op == 11:
        call(
            pathsim.get_trade_stocks,
            g.labels(g.int(0, 4), ["a0", "a1"]),
            g.ints1d([g.int(0, 9) for _ in range(g.int(0, 6))]),
            Hostile(g, "touched"),
        )
    elif op == 12:
        replace_attribute(g, saved)
    elif op == 13:
        # Two threads: the second finds the first running or not.
        a1, k1 = small_run(g)
        a2, k2 = small_run(g)
        ts = [
            threading.Thread(target=call, args=(pathsim.backtest_, *a1), kwargs=k1),
            threading.Thread(target=call, args=(pathsim.get_trade_stocks, a2[9], a2[5], False)),
        ]
        for t in ts:
            t.start()
        call(pathsim.backtest_, *a2, **k2)
        for t in ts:
            t.join()
    elif op == 14:
        call(pathsim.backtest_, *[g.pick([None, 1, "x", [1.0], np.zeros(2)]) for _ in range(g.int(0, 12))])
    else:
        call(record_date, g.pick(HUGE_INTS[:7]))
        call(record_entry, g.int(-3, 10), g.float(), g.int(0, 1))
        call(record_exit, g.int(-3, 10), g.int(0, 1))


def reset():
    """Every case starts from the same engine state: a small run that leaves
    two stocks in the trade log's tables, every attribute in place."""
    call(pathsim.backtest_, *RESET_ARGS)
    excursion.trades, excursion.trade_positions, excursion.excursion = [], [], []


_idx = np.arange(3, dtype=np.int64) * DAY
_cols = np.array(["a0", "a1"], dtype=object)
RESET_ARGS = (
    np.ones((3, 2)),
    np.ones((3, 2)),
    None,
    None,
    None,
    _idx,
    _cols,
    np.full((1, 2), 0.5),
    _idx[:1].copy(),
    _cols.copy(),
    _idx.copy(),
)


def TestOneInput(data):
    TRACE.clear()
    reset()
    g = Gen(data)
    saved = []
    try:
        for _ in range(g.int(1, 4)):
            try:
                one_step(g, saved)
            except (SystemError, AssertionError):
                raise
            except Exception:
                pass  # a generator asked for something numpy refuses: not a finding
    finally:
        restore(saved)
    STATS["cases"] += 1
    if STATS["cases"] % 200 == 0:
        _write_stats()


def mutate_loop(corpus, seconds, current, seed):
    """Runs the corpus and random mutations of it for `seconds`, writing each
    input to `current` first, so that a process killed by a sanitizer report
    leaves its input behind. Used under the sanitizer build, where libFuzzer's
    own coverage feedback is not available."""
    import random
    import time

    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    files, listed = [], 0.0
    while time.monotonic() < deadline:
        if time.monotonic() - listed > 10:
            files = [os.path.join(corpus, n) for n in os.listdir(corpus)] if os.path.isdir(corpus) else []
            listed = time.monotonic()
        data = b""
        if files:
            try:
                with open(rng.choice(files), "rb") as f:
                    data = bytearray(f.read())
            except OSError:
                data = bytearray()
        data = bytearray(data)
        for _ in range(rng.randint(0, 6)):  # byte flips, inserts, erasures, splices
            k = rng.randint(0, 3)
            if k == 0 and data:
                data[rng.randrange(len(data))] = rng.randrange(256)
            elif k == 1:
                i = rng.randint(0, len(data))
                data[i:i] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 16)))
            elif k == 2 and data:
                i = rng.randrange(len(data))
                del data[i : i + rng.randint(1, 8)]
            elif files:
                try:  # the coverage job may have just removed it from the corpus
                    with open(rng.choice(files), "rb") as f:
                        other = f.read()
                except OSError:
                    other = b""
                data += other[rng.randint(0, len(other)) :]
        data = bytes(data[:4096])
        with open(current, "wb") as f:
            f.write(data)
        TestOneInput(data)


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--mutate":
        mutate_loop(sys.argv[2], float(sys.argv[3]), sys.argv[4], int(sys.argv[5]))
        return
    if len(sys.argv) == 3 and sys.argv[1] == "--run":
        with open(sys.argv[2], "rb") as f:
            TestOneInput(f.read())
        return
    if len(sys.argv) == 3 and sys.argv[1] == "--show":
        with open(sys.argv[2], "rb") as f:
            data = f.read()
        global _ECHO
        _ECHO = True
        TestOneInput(data)
        return
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
