"""Parameter sets of a sweep and the labels that index its results."""

from __future__ import annotations

import itertools
import math
from collections.abc import Mapping, Sequence
from typing import Any

MISSING = float("nan")  # label of a key a parameter set does not give


def _hashable(value: Any) -> bool:
    try:
        hash(value)
    except TypeError:
        return False
    return True


def expand(
    grid: Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]],
) -> tuple[list[str], list[dict[str, Any]], list[tuple[Any, ...]]]:
    """The names, parameter sets and index labels of a grid.

    A dict of lists is the Cartesian product of its lists, the last key
    varying fastest; a list of dicts gives its sets as they are. A key whose
    values are not all hashable (a stop table, a list of dates) is labelled by
    position: the value's place in its list, or for explicit sets the set's
    place in the grid. A key a set leaves out is labelled NaN and the run uses
    the option's default.
    """
    if isinstance(grid, Mapping):
        names = list(grid)
        if not names:
            raise ValueError("grid: expected at least one parameter, found an empty dict")
        columns = []
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"grid: expected parameter names as str, found {name!r}")
            values = grid[name]
            if isinstance(values, (str, bytes, Mapping)) or not isinstance(values, Sequence):
                raise TypeError(f"grid: expected a list of values for {name!r}, found {type(values).__name__}")
            values = list(values)
            if not values:
                raise ValueError(f"grid: expected at least one value for {name!r}, found none")
            by_position = not all(_hashable(v) for v in values)
            columns.append([(v, i if by_position else v) for i, v in enumerate(values)])
        sets, labels = [], []
        for combo in itertools.product(*columns):
            sets.append({n: v for n, (v, _) in zip(names, combo)})
            labels.append(tuple(lab for _, lab in combo))
    elif isinstance(grid, Sequence) and not isinstance(grid, (str, bytes)):
        sets = []
        names = []
        for i, s in enumerate(grid):
            if not isinstance(s, Mapping):
                raise TypeError(f"grid: expected a dict for parameter set {i}, found {type(s).__name__}")
            for name in s:
                if not isinstance(name, str):
                    raise TypeError(f"grid: expected parameter names as str, found {name!r} in parameter set {i}")
                if name not in names:
                    names.append(name)
            sets.append(dict(s))
        if not sets:
            raise ValueError("grid: expected at least one parameter set, found an empty list")
        if not names:
            raise ValueError("grid: expected at least one parameter, found only empty sets")
        positional = {n: not all(_hashable(s[n]) for s in sets if n in s) for n in names}
        labels = [
            tuple((i if positional[n] else s[n]) if n in s else MISSING for n in names) for i, s in enumerate(sets)
        ]
    else:
        raise TypeError(f"grid: expected a dict of lists or a list of dicts, found {type(grid).__name__}")
    seen: dict[tuple, int] = {}
    for i, lab in enumerate(labels):
        key = tuple("<missing>" if isinstance(v, float) and math.isnan(v) else v for v in lab)
        if key in seen:
            raise ValueError(f"grid: parameter set {i} {dict(zip(names, lab))} repeats parameter set {seen[key]}")
        seen[key] = i
    return names, sets, labels


def split_keys(
    names: Sequence[str], backtest_options: set[str] | None, signal_params: set[str] | None, fixed: Mapping[str, Any]
) -> set[str]:
    """The grid and fixed keys that go to a callable position.

    `signal_params` are the callable's keyword names, None when it takes
    ``**kwargs`` (then every key that is not a backtest option is a signal
    parameter) and an empty set when position is a frame. `backtest_options`
    None (backtest takes ``**options``) leaves unknown keys to backtest.
    """
    if backtest_options is None:
        if signal_params is None:
            raise ValueError(
                "position: a function taking **kwargs cannot be told apart from backtest options; name its parameters"
            )
        backtest_options = (set(names) | set(fixed)) - signal_params
    for name in names:
        if name in fixed:
            raise ValueError(f"grid: {name!r} is also given as a fixed option; expected it in one place only")
    signal = set()
    for where, keys in (("grid", names), ("fixed options", list(fixed))):
        for name in keys:
            base = route_of(name)[1]
            if name.startswith(TO_POSITION):
                if signal_params is not None and base not in signal_params:
                    raise ValueError(
                        f"{where}: {name!r} names no parameter of position; expected one of {sorted(signal_params)}"
                    )
                signal.add(name)
                continue
            if name.startswith(TO_BACKTEST):
                if base not in backtest_options:
                    raise ValueError(
                        f"{where}: {name!r} names no backtest option; expected one of {sorted(backtest_options)}"
                    )
                continue
            takes = signal_params is None or name in signal_params
            if signal_params is None and name in backtest_options:
                takes = False
            if takes and name in backtest_options:
                # Taken by one, the other would silently run without it (a stop loss that never stops).
                raise ValueError(
                    f"{where}: {name!r} is both a backtest option and a parameter of position; say where it"
                    f" goes: {TO_BACKTEST + name!r} or {TO_POSITION + name!r}"
                )
            if takes:
                signal.add(name)
            elif name not in backtest_options:
                known = sorted(backtest_options | (signal_params or set()))
                raise ValueError(
                    f"{where}: {name!r} is neither a backtest option nor a "
                    f"parameter of position; expected one of {known}"
                )
    return signal


#: Prefixes that say where a key goes when a name is both a backtest option and a
#: parameter of the position function.
TO_POSITION = "position__"
TO_BACKTEST = "backtest__"


def route_of(name: str) -> tuple[str | None, str]:
    """("position" | "backtest" | None, the name the key is passed as)."""
    if name.startswith(TO_POSITION):
        return "position", name[len(TO_POSITION) :]
    if name.startswith(TO_BACKTEST):
        return "backtest", name[len(TO_BACKTEST) :]
    return None, name
