"""`plot_sweep`: one statistic of a sweep as a heatmap over two parameters."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def _label(v: Any) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "default"
    if isinstance(v, float):
        return f"{v:g}"
    return str(v)


def plot_sweep(
    result: Any,
    stat: str,
    *,
    x: str | None = None,
    y: str | None = None,
    agg: str | None = None,
    ax: Any = None,
    cmap: str = "viridis",
    annotate: bool | None = None,
) -> Figure:
    """Draw one statistic of a sweep as a heatmap over two of its parameters.

    Parameters
    ----------
    result : DataFrame or tuple
        What :func:`torvex.sweep` returned (with ``keep`` other than
        ``"stats"``, its first item is used).
    stat : str
        A column of the result, such as a name from ``Report.stats()``.
    x, y : str, optional
        Parameters along the horizontal and vertical axes; by default the
        second and the first level of a two-parameter grid.
    agg : str, optional
        How runs that differ only in other parameters are combined
        (``"mean"``, ``"max"``, ``"median"``...); required when the grid has
        more than the two plotted parameters.
    ax : matplotlib Axes, optional
        Where to draw; a new figure by default.
    cmap : str, default "viridis"
        The colour map.
    annotate : bool, optional
        Write each cell's value; by default when the table has at most 15
        rows and 15 columns.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ImportError
        Without matplotlib (``pip install matplotlib``).
    ValueError
        An unknown statistic or parameter, or other parameters without `agg`.

    Examples
    --------
    >>> import pandas as pd
    >>> idx = pd.MultiIndex.from_product([[0.05, 0.1], [0.1, 0.2]],
    ...                                  names=["stop_loss", "take_profit"])
    >>> res = pd.DataFrame({"sharpe": [0.1, 0.4, 0.3, 0.2], "error": None},
    ...                    index=idx)
    >>> fig = plot_sweep(res, "sharpe")  # doctest: +SKIP
    """
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plot_sweep needs matplotlib: pip install matplotlib") from None
    import numpy as np

    frame = result[0] if isinstance(result, tuple) else result
    if stat not in frame.columns:
        raise ValueError(
            f"stat: expected a column of the sweep result, found {stat!r}; columns are {list(frame.columns)}"
        )
    levels = [n for n in frame.index.names]
    if x is None and y is None:
        if len(levels) != 2:
            raise ValueError(
                f"x, y: the sweep has {len(levels)} parameters {levels}; expected two, or name the two to plot"
            )
        y, x = levels
    for arg, name in (("x", x), ("y", y)):
        if name not in levels:
            raise ValueError(f"{arg}: expected one of the sweep's parameters {levels}, found {name!r}")
    if x == y:
        raise ValueError(f"x, y: expected two different parameters, found {x!r} twice")
    if len(levels) > 2 and agg is None:
        others = [n for n in levels if n not in (x, y)]
        raise ValueError(
            f"agg: the sweep also varies {others}; expected how to combine their runs, such as agg='mean' or agg='max'"
        )
    series = frame[stat].astype(float)
    table = series.groupby(level=[y, x], dropna=False, sort=False).agg(agg or "first").unstack(x, sort=False)
    values = table.to_numpy(dtype=float)

    if ax is None:
        # Constrained layout keeps long tick labels and the axis titles inside the figure. A
        # Figure of its own, not pyplot's: nothing keeps it open once the caller lets it go.
        fig = Figure(
            figsize=(1.6 + 0.8 * max(values.shape[1], 4), 1.4 + 0.6 * max(values.shape[0], 4)), layout="constrained"
        )
        ax = fig.add_subplot()
    else:
        fig = ax.figure
    im = ax.imshow(np.ma.masked_invalid(values), cmap=cmap, aspect="auto", origin="lower")
    xlabels = [_label(v) for v in table.columns]
    # Labels wider than a cell are turned so that neighbours do not overlap.
    ax.set_xticks(
        range(values.shape[1]),
        xlabels,
        rotation=45 if max(map(len, xlabels), default=0) > 6 else 0,
        ha="right" if max(map(len, xlabels), default=0) > 6 else "center",
    )
    ax.set_yticks(range(values.shape[0]), [_label(v) for v in table.index])
    ax.set_xlabel(x)
    ax.set_ylabel(y)
    ax.set_title(stat if agg is None else f"{stat} ({agg} over other parameters)")
    fig.colorbar(im, ax=ax, label=stat)
    if annotate is None:
        annotate = values.shape[0] <= 15 and values.shape[1] <= 15
    if annotate:
        finite = values[np.isfinite(values)]
        mid = (finite.min() + finite.max()) / 2 if finite.size else 0.0
        for r in range(values.shape[0]):
            for c in range(values.shape[1]):
                v = values[r, c]
                text = "n/a" if not np.isfinite(v) else f"{v:.3g}"
                ax.text(
                    c,
                    r,
                    text,
                    ha="center",
                    va="center",
                    fontsize=8,
                    color="white" if np.isfinite(v) and v < mid else "black",
                )
    return fig
