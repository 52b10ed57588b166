# The front end's checks of the prices a run reads (cpp/_scan).
from typing import Any

Cell = tuple[int, int, int]

def held_prices(
    grids: tuple[Any, ...], exec_bars: Any, rows: Any, cols: Any, ohlc: tuple[int, int, int, int] | None, /
) -> tuple[Cell, Cell, Cell, int]: ...
