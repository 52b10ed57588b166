"""What a call of backtest_ checks and sets up before its first bar."""

import math
import types

import numpy as np
import pytest

from torvex import _stops
from torvex._stops import StopTable
from torvex.core import excursion, pathsim

from support.inputs import DAY, T0, make_inputs

STOP_MISMATCH = "Stop thresholds do not match the price bars and position columns"


def run(a, **kw):
    out = pathsim.backtest_(**a, **kw)
    assert isinstance(out, np.ndarray) and out.shape == (a["price_index"].size,)
    return out


@pytest.fixture
def calls(monkeypatch):
    """Replaces pathsim.stop_table by a recorder that still builds real tables."""
    seen = []

    def recorder(threshold, price_index, pos_columns):
        seen.append((threshold, price_index, pos_columns))
        return _stops.stop_table(threshold, price_index, pos_columns)

    monkeypatch.setattr(pathsim, "stop_table", recorder)
    return seen


class LooseTable(StopTable):
    """A StopTable whose arrays are taken as given, without the class's own checks."""

    __slots__ = ("v", "r")

    def __init__(self, values, rows):
        self.v, self.r = np.asarray(values, dtype=float), np.asarray(rows, dtype=np.intp)

    values = property(lambda self: self.v)
    rows = property(lambda self: self.r)


class TestShapes:
    def test_position_columns_mismatch_after_settings_were_written(self, monkeypatch):
        pathsim.backtest_(**make_inputs())
        marker = ["marker"]
        monkeypatch.setattr(excursion, "trades", marker)
        a = make_inputs(ncols=4)
        a["pos_values"] = np.full((1, 3), 0.25)
        with pytest.raises(ValueError) as e:
            pathsim.backtest_(**a, retain_cost_when_rebalance=True, periodically_rebalance=False)
        assert str(e.value) == "Position values do not match position columns"
        # The settings already carry this call's values; the trade log was not restarted.
        assert pathsim.RETAIN_COST_WHEN_REBALANCE is True and pathsim.RESAMPLE is False
        assert marker == ["marker"]

    @pytest.mark.parametrize("name, shape", [("pos_values", (0, 2)), ("price_values", (0, 2))])
    def test_table_without_a_first_row(self, name, shape):
        with pytest.raises(IndexError):
            pathsim.backtest_(**{**make_inputs(), name: np.empty(shape)})

    def test_no_bars_with_resample_dates(self):
        # Every resample date would mark "the last bar", but there is none.
        a = make_inputs()
        a["price_index"] = np.empty(0, dtype=np.int64)
        a["resample"] = np.array([T0, T0 + DAY], dtype=np.int64)
        run(a)


class TestUnpricedColumns:
    # Price columns s0, s1; position columns s0, x, s1, y.
    COLS = ["s0", "x", "s1", "y"]

    def weights(self, **by_label):
        w = np.zeros((3, 4))
        w[:, [0, 2]] = 0.25
        for label, column in by_label.items():
            w[:, self.COLS.index(label)] = column
        return {**make_inputs(ncols=2, nrows=3, pos_columns=self.COLS), "pos_values": w}

    @pytest.mark.parametrize(
        "x, y, named",
        [
            (0.25, 0.25, "x, y"),
            ([0, 0, 0.1], 0, "x"),  # a weight in any row counts
            (0, [np.nan, 0, 0], "y"),  # NaN is not a zero weight
            ([-0.1, 0, 0], [0, 0.2, 0], "x, y"),
        ],
    )
    def test_weighted_column_without_price_rejected(self, x, y, named):
        with pytest.raises(ValueError) as e:
            pathsim.backtest_(**self.weights(x=x, y=y))
        assert str(e.value) == f"No price column for position columns with non-zero weights: {named}"

    def test_unweighted_column_without_price_accepted(self):
        run(self.weights(x=0, y=[0, -0.0, 0]))

    def test_labels_match_exactly(self):
        a = make_inputs(pos_columns=["s0", "S1"])
        with pytest.raises(ValueError, match="non-zero weights: S1$"):
            pathsim.backtest_(**a)


class TestStopTables:
    def test_stop_table_instances_are_used_as_given(self, calls):
        a = make_inputs()
        run(a, stop_loss=StopTable([[0.1, 0.2]], np.zeros(5, dtype=int)))
        # Only the default take-profit goes through the builder.
        assert len(calls) == 1 and calls[0][0] == math.inf

    def test_other_thresholds_go_to_the_builder_looked_up_at_call_time(self, calls):
        a = make_inputs()
        run(a, stop_loss=0.05)
        assert [c[0] for c in calls] == [0.05, math.inf]  # stop-loss first, then take-profit
        for _, price_index, pos_columns in calls:
            assert price_index is a["price_index"] and pos_columns is a["pos_columns"]

    def test_missing_builder_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(pathsim, "stop_table")
        with pytest.raises(NameError, match="stop_table"):
            pathsim.backtest_(**make_inputs())

    @pytest.mark.parametrize(
        "values, rows",
        [
            (np.full((3, 2), 0.1), [0, 1, 2, 3, 0]),  # row 3 of a 3-row table
            (np.full((3, 2), 0.1), [0, -1, 0, 0, 0]),
            (np.full((1, 1), 0.1), [0] * 5),  # one column fewer than pos_columns
            (np.full((1, 2), 0.1), [0] * 4),  # one row number fewer than bars
            (np.full((1, 2), 0.1), [0] * 6),
        ],
    )
    @pytest.mark.parametrize("which", ["stop_loss", "take_profit"])
    def test_table_that_does_not_fit_rejected(self, values, rows, which):
        with pytest.raises(ValueError) as e:
            pathsim.backtest_(**make_inputs(), **{which: LooseTable(values, rows)})
        assert str(e.value) == STOP_MISMATCH

    def test_fitting_subclass_and_duck_tables_accepted(self, monkeypatch):
        run(make_inputs(), stop_loss=LooseTable(np.full((3, 2), 0.1), [0, 1, 2, 2, 0]))
        duck = types.SimpleNamespace(values=np.full((2, 2), 0.1), rows=np.array([0, 1, 1, 0, 1]))
        monkeypatch.setattr(pathsim, "stop_table", lambda *args: duck)
        run(make_inputs())

    def test_builder_results_are_checked_too(self, monkeypatch):
        bad = types.SimpleNamespace(values=np.full((1, 2), 0.1), rows=np.zeros(4, dtype=np.intp))
        monkeypatch.setattr(pathsim, "stop_table", lambda *args: bad)
        with pytest.raises(ValueError) as e:
            pathsim.backtest_(**make_inputs())
        assert str(e.value) == STOP_MISMATCH

    def test_rows_of_the_wrong_dtype_rejected(self, monkeypatch):
        bad = types.SimpleNamespace(values=np.full((1, 2), 0.1), rows=np.zeros(5, dtype=np.int32))
        monkeypatch.setattr(pathsim, "stop_table", lambda *args: bad)
        with pytest.raises(ValueError, match="Buffer dtype mismatch"):
            pathsim.backtest_(**make_inputs())


# A regression in the guard would recurse or wait forever: fail it instead.
@pytest.mark.timeout(60)
class TestOneRunAtATime:
    def test_nested_call_rejected_and_outer_run_completes(self, monkeypatch):
        a = make_inputs()
        nested = []

        def reentering(threshold, price_index, pos_columns):
            try:
                pathsim.backtest_(**make_inputs(ncols=3))
            except Exception as exc:  # noqa: BLE001 - recorded and checked below
                nested.append(exc)
            return _stops.stop_table(threshold, price_index, pos_columns)

        monkeypatch.setattr(pathsim, "stop_table", reentering)
        run(a, stop_loss=0.1)
        assert [(type(e), str(e)) for e in nested] == [(RuntimeError, "backtest_ is already running")] * 2
        monkeypatch.undo()
        run(make_inputs())  # the guard is released after the run

    def test_guard_released_after_a_failed_run(self, monkeypatch):
        boom = KeyError("boom")

        def failing(*args):
            raise boom

        monkeypatch.setattr(pathsim, "stop_table", failing)
        with pytest.raises(KeyError) as e:
            pathsim.backtest_(**make_inputs())
        assert e.value is boom  # the builder's error comes through unchanged
        monkeypatch.undo()
        run(make_inputs())


class TestTradeLogRestart:
    # These runs open no position, so what is left in the log is what the
    # start of the run made of it.
    def test_run_empties_the_trade_log(self, monkeypatch):
        for name in ("trades", "trade_positions", "excursion"):
            monkeypatch.setattr(excursion, name, ["left over"])
        run(make_inputs(weight=0.0))
        assert excursion.trades == excursion.trade_positions == excursion.excursion == []

    def test_lists_bound_by_the_caller_are_the_ones_cleared(self, monkeypatch):
        mine = {name: [1, 2] for name in ("trades", "trade_positions", "excursion")}
        for name, lst in mine.items():
            monkeypatch.setattr(excursion, name, lst)
        run(make_inputs(weight=0.0))
        for name, lst in mine.items():
            assert getattr(excursion, name) is lst and lst == []
