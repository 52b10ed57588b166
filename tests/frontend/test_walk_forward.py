"""Walk-forward: folds laid on the dates, choices made on the train windows alone, test windows joined."""

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex.datasets import synthetic_universe

empyrical = pytest.importorskip("empyrical")


def momentum(price, lookback=20):
    score = price / price.shift(lookback) - 1
    return score.rank(axis=1, ascending=False) <= 3


def windows(wf):
    cols = ["train_start", "train_end", "test_start", "test_end"]
    return [tuple(d.strftime("%Y-%m-%d") for d in row) for row in wf.folds[cols].itertuples(index=False)]


@pytest.fixture(scope="module")
def price():
    return synthetic_universe(n_stocks=10, n_bars=750, seed=11)


@pytest.fixture(scope="module")
def monthly(price):
    """Top-3 momentum held from each month end (a bool frame dated on month ends)."""
    ends = price.index.to_series().groupby(price.index.to_period("M")).max()
    return momentum(price, 40).loc[ends.values]


def walk(price, position=None, grid=None, **kw):
    position = price.notna() if position is None else position
    return torvex.walk_forward(position, price, grid or {"stop_loss": [None]}, n_jobs=1, **kw)


# ------------------------------------------------------------------ folds


def tiny(freq, periods=None, end=None):
    dates = pd.date_range("2024-01-01", periods=periods, end=end, freq=freq)
    rng = np.random.default_rng(0)
    return pd.DataFrame(
        100 * np.exp(np.cumsum(rng.normal(0, 0.01, (len(dates), 3)), axis=0)), index=dates, columns=["A", "B", "C"]
    )


@pytest.mark.parametrize(
    "kw, bars",
    [
        (dict(train=8, test=4, gap=1), [(0, 7, 9, 12), (4, 11, 13, 16), (8, 15, 17, 19)]),
        (dict(train=8, test=4, gap=1, anchored=True), [(0, 7, 9, 12), (0, 11, 13, 16), (0, 15, 17, 19)]),
        # 2 bars are left for a third test window of 5: fewer than half of one, dropped
        (dict(train=8, test=5), [(0, 7, 8, 12), (5, 12, 13, 17)]),
    ],
)
def test_folds_in_bars(kw, bars):
    price = tiny("B", periods=20)
    d = price.index.strftime("%Y-%m-%d")
    assert windows(walk(price, **kw)) == [tuple(d[i] for i in b) for b in bars]


MONTHS = [
    ("2024-01-01", "2024-02-29", "2024-03-01", "2024-03-31"),
    ("2024-02-01", "2024-03-31", "2024-04-01", "2024-04-30"),
    ("2024-03-01", "2024-04-30", "2024-05-01", "2024-05-31"),
    ("2024-04-01", "2024-05-31", "2024-06-01", "2024-06-30"),
]


@pytest.mark.parametrize(
    "kw, expected",
    [
        (dict(train="2ME", test="ME"), MONTHS),
        (dict(train="2MS", test=pd.offsets.MonthBegin()), MONTHS),
        (dict(train=pd.DateOffset(months=2), test=pd.DateOffset(months=1)), MONTHS),
        (dict(train="2ME", test="ME", anchored=True), [("2024-01-01",) + m[1:] for m in MONTHS]),
        # fold 0 forward: a week of gap after February; later folds backward from their test start:
        # Mar 25 .. 31 the gap, the train window two calendar months back from Mar 25
        (
            dict(train="2ME", test="ME", gap="7D"),
            [
                ("2024-01-01", "2024-02-29", "2024-03-08", "2024-03-31"),
                ("2024-01-25", "2024-03-24", "2024-04-01", "2024-04-30"),
                ("2024-02-24", "2024-04-23", "2024-05-01", "2024-05-31"),
                ("2024-03-25", "2024-05-24", "2024-06-01", "2024-06-30"),
            ],
        ),
        # fixed spans, [start, start + span) and backwards [end - span, end); the last window holds 17 of 30 days
        (
            dict(train=pd.Timedelta("45D"), test=pd.Timedelta("30D")),
            [
                ("2024-01-01", "2024-02-14", "2024-02-15", "2024-03-15"),
                ("2024-01-31", "2024-03-15", "2024-03-16", "2024-04-14"),
                ("2024-03-01", "2024-04-14", "2024-04-15", "2024-05-14"),
                ("2024-03-31", "2024-05-14", "2024-05-15", "2024-06-13"),
                ("2024-04-30", "2024-06-13", "2024-06-14", "2024-06-30"),
            ],
        ),
    ],
)
def test_folds_as_offsets(kw, expected):
    assert windows(walk(tiny("D", end="2024-06-30"), **kw)) == expected


# --------------------------------------------------------------- choices


def test_the_choice_sees_nothing_after_its_train_window(price, monthly):
    grid = {"lookback": [10, 40, 80], "stop_loss": [0.05, None]}
    frame_grid = {"stop_loss": [0.03, 0.1, None], "take_profit": [0.1, None]}
    kw = dict(train=250, test=120, gap=5, resample="ME")
    base = walk(price, momentum, grid, **kw)
    frame_base = walk(price, monthly, frame_grid, anchored=True, **kw)
    rng = np.random.default_rng(3)
    for k in (0, 2):
        for wf, position, g in ((base, momentum, grid), (frame_base, monthly, frame_grid)):
            end = wf.folds["train_end"].iloc[k]
            later = price.index > end
            wild = price.copy()
            wild[later] = price[later] * 10 * rng.uniform(0.5, 2.0, price[later].shape)
            wild.loc[later, "S0003"] = np.nan  # looks delisted at the train end, with all data
            if callable(position):
                other = walk(wild, position, g, anchored=wf.anchored, **kw)
            else:
                flipped = position.copy()
                flipped[position.index > end] = ~position[position.index > end]
                other = walk(wild, flipped, g, anchored=wf.anchored, **kw)
            cols = list(g) + ["train_metric", "n_failed"]
            pd.testing.assert_series_equal(other.folds[cols].iloc[k], wf.folds[cols].iloc[k], check_exact=True)
            assert other.folds["test_metric"].iloc[k] != wf.folds["test_metric"].iloc[k]
    # A delisting date after the train windows (here days before the end) is not known to them either.
    late = walk(price, momentum, grid, delisting={"S0001": price.index[-3]}, **kw)
    cols = list(grid) + ["train_metric"]
    pd.testing.assert_frame_equal(late.folds[cols], base.folds[cols], check_exact=True)


@pytest.mark.parametrize("metric, maximize", [("sharpe", True), ("annual_volatility", False), ("max_drawdown", True)])
def test_each_fold_takes_the_best_set_of_its_own_train_sweep(price, metric, maximize):
    grid = {"lookback": [10, 40, 80], "stop_loss": [0.05, None]}
    wf = walk(price, momentum, grid, train=250, test=120, metric=metric, maximize=maximize, resample="ME")
    sets = [dict(lookback=a, stop_loss=b) for a in grid["lookback"] for b in grid["stop_loss"]]
    for _, row in wf.folds.iterrows():
        train = price.loc[row["train_start"] : row["train_end"]]
        table = torvex.sweep(momentum, train, sets, n_jobs=1, progress=False, resample="ME")
        scores = table[metric].to_numpy()
        best = np.nanmax(scores) if maximize else np.nanmin(scores)
        i = int(np.flatnonzero(scores == best)[0])
        assert {"lookback": row["lookback"], "stop_loss": row["stop_loss"]} == sets[i]
        assert row["train_metric"] == scores[i]


def test_a_callable_metric_scores_train_and_test_windows(price):
    grid = {"lookback": [10, 40, 80]}
    kw = dict(train=250, test=120, resample="ME")
    by_name = walk(price, momentum, grid, metric="total_return", **kw)
    by_call = walk(price, momentum, grid, metric=lambda r: r.stats()["total_return"], **kw)
    pd.testing.assert_frame_equal(by_call.folds, by_name.folds, check_exact=True)
    assert by_call.metric == "score"
    for k, rep in enumerate(by_call.test_reports):
        assert rep.start >= by_call.folds["test_start"].iloc[k] and rep.end == by_call.folds["test_end"].iloc[k]
        assert by_call.folds["test_metric"].iloc[k] == pytest.approx(
            rep.creturn.iloc[-1] / rep.creturn.iloc[0] - 1, rel=1e-12
        )


@pytest.mark.parametrize("maximize", [True, False])
def test_nan_scores_rank_last_and_ties_go_to_the_first_set(price, maximize):
    # excursion_window leaves the returns alone and shows in the trades' columns: the metric reads it back
    marks = {0: np.nan, 2: 1.0, 4: 1.0}

    def metric(report):
        return marks[sum(c.startswith("mae_at_") for c in report.trades.columns)]

    wf = walk(
        price,
        momentum,
        {"excursion_window": [0, 2, 4]},
        train=250,
        test=120,
        metric=metric,
        maximize=maximize,
        resample="ME",
    )
    assert (wf.folds["excursion_window"] == 2).all() and (wf.folds["train_metric"] == 1.0).all()
    always_nan = walk(price, momentum, {"lookback": [10, 40]}, train=250, test=120, metric=lambda r: np.nan)
    assert (always_nan.folds["lookback"] == 10).all() and always_nan.folds["train_metric"].isna().all()


# --------------------------------------------------------------- joining


def test_folds_choosing_alike_run_exactly_as_one_backtest(price, monthly):
    wf = walk(price, monthly, {"stop_loss": [0.08]}, train=200, test=100, fee_ratio=0.001)
    s0 = wf.folds["test_start"].iloc[0]
    held = monthly.loc[:s0].iloc[[-1]].set_axis(pd.DatetimeIndex([s0]))  # the row in force at s0
    rows = pd.concat([held, monthly.loc[monthly.index > s0]])
    single = torvex.backtest(rows, price.loc[s0:], stop_loss=0.08, fee_ratio=0.001)
    assert wf.join == "one run" and wf.report.creturn.equals(single.creturn) and wf.equity.equals(single.creturn)


def test_the_stitched_run_holds_each_folds_choice_over_its_test_window(price):
    grid = {"lookback": [10, 40, 80], "stop_loss": [0.03, 0.15, None]}
    wf = walk(price, momentum, grid, train=250, test=120, resample="ME")
    folds, report = wf.folds, wf.report
    assert wf.join == "one run" and folds["lookback"].nunique() > 1 and folds["stop_loss"].nunique() > 1
    assert report.start >= folds["test_start"].iloc[0] and report.end == folds["test_end"].iloc[-1]
    # Each executed row is the chosen lookback's weights on its date, from the fold whose window holds it.
    executed = report.position
    fold_of = np.searchsorted(folds["test_start"].to_numpy(), report.rebalances["row_date"].to_numpy(), "right") - 1
    for (date, row), k in zip(executed.iterrows(), fold_of):
        row_date = report.rebalances.set_index("date").loc[date, "row_date"]
        held = momentum(price, folds["lookback"].iloc[k]).loc[row_date]
        np.testing.assert_array_equal(row.to_numpy(), held.to_numpy() / held.sum())
    # The same run built by hand: each fold's rows, each fold's stop in force from its test start.
    rows = pd.concat(
        [momentum(price, lb).loc[a:b] for lb, a, b in zip(folds["lookback"], folds["test_start"], folds["test_end"])]
    )
    stops = pd.DataFrame(
        {c: folds["stop_loss"].astype(float).to_numpy() for c in price.columns},
        index=pd.DatetimeIndex(folds["test_start"]),
    )
    by_hand = torvex.backtest(
        rows, price.loc[folds["test_start"].iloc[0] : folds["test_end"].iloc[-1]], resample="ME", stop_loss=stops
    )
    assert report.creturn.equals(by_hand.creturn)
    # The first window: the stitched run and fold 0's own test run are the same run.
    e0 = folds["test_end"].iloc[0]
    first = wf.test_reports[0]
    np.testing.assert_array_equal(report.creturn.loc[:e0].to_numpy(), first.creturn.to_numpy())
    r = first.returns
    assert folds["test_metric"].iloc[0] == pytest.approx(empyrical.sharpe_ratio(r, annualization=252), rel=1e-9)


def test_options_that_cannot_change_within_a_run_chain_the_test_windows(price):
    # fees paid count for the set with fees in folds whose train window ends in an odd month, against it else
    def metric(report):
        return report.stats()["fees_paid"] * (1 if report.end.month % 2 else -1)

    wf = walk(price, momentum, {"fee_ratio": [0.0, 0.01]}, train=250, test=60, metric=metric, resample="ME")
    assert wf.folds["fee_ratio"].nunique() == 2
    assert wf.join == "chained" and wf.report is None
    level, expected = 1.0, []
    for rep in wf.test_reports:
        c = rep.creturn.to_numpy()
        expected.append(c / c[0] * level)
        level = expected[-1][-1]
    np.testing.assert_allclose(wf.equity.to_numpy(), np.concatenate(expected), rtol=1e-14)
    assert wf.equity.index[0] == wf.folds["test_start"].iloc[0] and wf.equity.index.is_unique


def test_serial_and_local_backends_give_identical_results(price):
    grid = {"lookback": [10, 40], "stop_loss": [0.05, None]}
    kw = dict(train=250, test=120, resample="ME")
    serial = walk(price, momentum, grid, **kw)
    local = torvex.walk_forward(momentum, price, grid, **kw)
    pd.testing.assert_frame_equal(local.folds, serial.folds, check_exact=True)
    assert local.report.creturn.equals(serial.report.creturn)


def test_page_plot_and_repr(price, tmp_path):
    wf = walk(price, momentum, {"lookback": [10, 40]}, train=250, test=120, resample="ME")
    fig = wf.plot()
    assert [ax.get_ylabel() for ax in fig.axes] == ["equity", "sharpe"]
    page = wf.to_html(tmp_path / "wf.html")
    assert (tmp_path / "wf.html").read_text(encoding="utf-8") == page
    assert page.count("<tr><td>") >= len(wf.folds) and "mean test / mean train" in page
    d = wf.degradation
    assert d.by_fold.equals((wf.folds["train_metric"] - wf.folds["test_metric"]).rename("train_minus_test"))
    assert d.ratio == pytest.approx(wf.folds["test_metric"].mean() / wf.folds["train_metric"].mean())
    assert repr(wf).startswith(f"<torvex.WalkForward {len(wf.folds)} folds (rolling; train 250 bars")


# --------------------------------------------------------------- refusals


@pytest.mark.parametrize(
    "kw, error, text",
    [
        (dict(train=1, test=100), ValueError, "train: expected an int number of bars (at least 2)"),
        (dict(train=250, test=1), ValueError, "test: expected"),
        (dict(train=250, test=100, gap=-1), ValueError, "gap: expected"),
        (dict(train="3X", test=100), ValueError, "not a pandas offset"),
        (dict(train="10B", test=100), ValueError, "counts no calendar periods"),
        (dict(train=True, test=100), TypeError, "train: expected"),
        (dict(train=[250], test=100), TypeError, "found list"),
        (dict(train=250, test="-1ME"), ValueError, "not a positive number of periods"),
        (dict(train=720, test=100), ValueError, "found no fold: 750 bars"),  # 30 bars left
        (dict(train=250, test=100, metric="sharp"), ValueError, "metric: expected a key of Report.stats()"),
        (dict(train=250, test=100, metric=3), TypeError, "metric: expected"),
        (dict(train=250, test=100, maximize="yes"), TypeError, "maximize: expected True or False"),
        (dict(train=250, test=100, progress=True), TypeError, "progress"),
        (
            dict(train=250, test=100, metric=lambda r: "high"),
            TypeError,
            "metric: expected a callable returning a float",
        ),
    ],
)
def test_refusals(price, kw, error, text):
    with pytest.raises(error, match=None) as info:
        walk(price, momentum, {"lookback": [10, 40]}, **kw)
    assert text in str(info.value)


def test_a_fold_where_every_set_fails_is_named(price):
    with pytest.raises(
        ValueError,
        match=r"grid: expected a parameter set that runs on fold 0's train window"
        r" .* found every set failing, the first with TypeError: stop_loss",
    ):
        walk(price, momentum, {"stop_loss": ["tight", "loose"]}, train=250, test=100)
