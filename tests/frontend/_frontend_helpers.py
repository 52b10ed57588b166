"""Direct engine calls on the arrays a report was built from."""

import numpy as np

from torvex.core import _typed, excursion, pathsim


def direct_run(args, options):
    """creturn, trade rows and excursion vectors of one direct backtest_ call (the specified
    surface, on the arguments the front end handed its typed entry; the column map it made
    itself is backtest_'s to make)."""
    options = {k: v for k, v in options.items() if k != "price_col"}
    creturn = pathsim.backtest_(*args, **options)
    rows, _ = pathsim.get_trade_stocks(args[9], args[5], options.get("touched_exit", False))
    ex = [np.array(x) for x in excursion.excursion]
    return creturn, rows, ex


class Capture:
    """Wraps the typed entry (it takes backtest_'s arguments) to keep the front end's call."""

    def __init__(self):
        self.calls = []
        self._real = _typed.run

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self._real(*args, **kwargs)


def captured_backtest(monkeypatch, *args, **kwargs):
    """(report, engine args, engine options) of one torvex.backtest call."""
    import torvex

    cap = Capture()
    monkeypatch.setattr(_typed, "run", cap)
    try:
        report = torvex.backtest(*args, **kwargs)
    finally:
        monkeypatch.undo()
    ((a, kw),) = cap.calls
    return report, a, kw
