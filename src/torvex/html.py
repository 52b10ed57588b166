"""A report as one self-contained HTML page (figures embedded as PNG data URIs)."""

from __future__ import annotations

import base64
import html as _html
import io
import os

import numpy as np
import pandas as pd

__all__ = ["report_html", "stats_table", "warnings_list"]

_STYLE = """
body { font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; margin: 2em auto; max-width: 1100px;
       color: #222; padding: 0 1em; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; } h2 { font-size: 1.15em; margin-top: 2em; border-bottom: 1px solid #ddd; }
table { border-collapse: collapse; font-size: 0.85em; }
td, th { padding: 3px 10px; border-bottom: 1px solid #eee; text-align: right; }
th { background: #f5f5f5; } td:first-child, th:first-child { text-align: left; }
.grid { display: flex; gap: 2em; flex-wrap: wrap; align-items: flex-start; }
img { max-width: 100%; } .muted { color: #777; font-size: 0.85em; }
.scroll { max-height: 30em; overflow-y: auto; }
"""

_PCT = {
    "total_return",
    "cagr",
    "annual_volatility",
    "max_drawdown",
    "exposure",
    "win_rate",
    "avg_win",
    "avg_loss",
    "expectancy",
    "avg_mae",
    "avg_mfe",
    "alpha",
    "turnover",
    "fees_paid",
    "taxes_paid",
    "tracking_error",
}
# Counts, shown as whole numbers (stats() holds them as floats).
_COUNT = {"trades", "bars", "max_drawdown_duration"}


def _fmt(name, v) -> str:
    if isinstance(v, pd.Timestamp):
        return v.strftime("%Y-%m-%d") if v == v.normalize() else str(v)
    if isinstance(v, (int, np.integer)):
        return f"{v:,}"
    if isinstance(v, float) and np.isnan(v):
        return "–"
    if name in _COUNT and float(v).is_integer():
        return f"{int(v):,}"
    if name in _PCT:
        return f"{v:.2%}"
    return f"{v:.3f}"


def stats_table(stats: pd.Series) -> str:
    """HTML table of a ``Report.stats()`` Series.

    Examples
    --------
    >>> import pandas as pd
    >>> stats_table(pd.Series({"cagr": 0.05}))[:7]
    '<table>'
    """
    rows = "".join(f"<tr><td>{_html.escape(str(k))}</td><td>{_fmt(k, v)}</td></tr>" for k, v in stats.items())
    return f"<table>{rows}</table>"


def warnings_list(warnings) -> str:
    """HTML list of a report's warnings (empty text without any)."""
    if not warnings:
        return ""
    items = "".join(f"<li>{_html.escape(w)}</li>" for w in warnings[:50])
    more = f"<li>... and {len(warnings) - 50} more</li>" if len(warnings) > 50 else ""
    return f"<ul class='muted'>{items}{more}</ul>"


def _png(fig) -> str:
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=110)
    return "data:image/png;base64," + base64.b64encode(buf.getvalue()).decode("ascii")


def _frame(df: pd.DataFrame, float_format="{:.4f}") -> str:
    return df.to_html(border=0, na_rep="", float_format=float_format.format, escape=True)


def report_html(report, path=None, *, max_trades: int = 500) -> str:
    """The page of ``report``: statistics, equity/drawdown, trades scatter, monthly heatmap, trades, next actions.

    Parameters
    ----------
    report : Report
    path : str or path-like, optional
        Where to write the page (UTF-8).
    max_trades : int
        The trades table shows the latest this many trades.

    Returns
    -------
    str
        The page.

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=3, n_bars=120, seed=2)
    >>> page = report_html(torvex.backtest(price.notna(), price, resample="ME"))
    >>> page.startswith("<!DOCTYPE html>") and "Next actions" in page
    True
    """
    stats = report.stats()
    equity, trades_fig, monthly = (_png(report.plot()), _png(report.plot_trades()), _png(report.plot_monthly()))
    from torvex.plotting import rolling_window

    window = rolling_window(report)
    rolling = _png(report.plot_rolling()) if len(report.returns) > window else None
    bench = report.benchmark
    versus = (
        ""
        if bench is None
        else f" Benchmark: {_html.escape(str(bench.name) if bench.name is not None else 'given prices')}."
    )
    dd = report.drawdowns(top=5)
    for col in ("peak", "valley", "recovery"):
        dd[col] = dd[col].dt.strftime("%Y-%m-%d").fillna("not yet")
    dd["depth"] = dd["depth"].map("{:.2%}".format)
    drawdowns = (
        _frame(dd.rename_axis("rank").rename(index=lambda i: i + 1)) if len(dd) else "<p class='muted'>No drawdown.</p>"
    )
    trades = report.trades
    shown = trades.tail(max_trades).iloc[::-1].copy()  # newest first
    for col in ("entry_date", "exit_date", "entry_signal_date", "exit_signal_date"):
        shown[col] = shown[col].dt.strftime("%Y-%m-%d")
    cols = [
        "symbol",
        "entry_date",
        "exit_date",
        "position",
        "period",
        "entry_price",
        "exit_price",
        "pnl",
        "return",
        "fees",
        "taxes",
        "mae",
        "gmfe",
        "mdd",
        "exit_reason",
    ]
    actions = report.actions
    title = f"torvex report {_fmt('start', report.start)} .. {_fmt('end', report.end)}"
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{_html.escape(title)}</title><style>{_STYLE}</style></head>
<body>
<h1>{_html.escape(title)}</h1>
<p class="muted">{trades["symbol"].nunique()} symbols traded, {len(trades):,} trades,
{len(report.rebalances):,} rebalances.{versus} Generated by torvex.</p>
<h2 id="stats">Statistics</h2>
<div class="grid"><div>{stats_table(stats)}</div><div style="flex:1"><img alt="equity and drawdown" src="{equity}"></div></div>
{warnings_list(report.warnings)}
<h2 id="drawdowns">Drawdowns <span class="muted">(the five deepest)</span></h2>
{drawdowns}
{"" if rolling is None else f'<h2 id="rolling">Rolling figures</h2><img alt="rolling Sharpe ratio" src="{rolling}">'}
<h2 id="monthly">Monthly returns</h2>
<img alt="monthly returns" src="{monthly}">
<h2 id="trades-plot">Trades</h2>
<img alt="MAE against return" src="{trades_fig}" style="max-width:60%">
<h2 id="next">Next actions</h2>
{_frame(actions) if len(actions) else "<p class='muted'>None.</p>"}
<h2 id="trade-list">Trade list <span class="muted">(latest {len(shown):,} of {len(trades):,}, newest first)</span></h2>
<div class="scroll">{_frame(shown[cols], "{:.4f}")}</div>
</body></html>
"""
    if path is not None:
        with open(os.fspath(path), "w", encoding="utf-8") as f:
            f.write(page)
    return page
