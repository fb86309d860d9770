"""The per-trade excursion analysis the engine drives during a run.

`norvane.ravelin.backtest_` fills three aligned lists here, one entry per
trade, closed trades first in closing order, then those still open at the
end: ``trades``, ``trade_positions`` and ``tessary``. They are replaced by
the next run. The engine calls the analysis through native entry points
(no Python-level functions); the module's typed attributes are the arrays
it works on.
"""

from numpy import float64, int64
from numpy.typing import NDArray

#: ``[stock number, entry row, exit row]`` per trade: the stock's position in
#: the run's ``pos_columns`` and rows of its ``price_index`` (exit row -1 while
#: the trade is open; the entry row is the NumPy integer the analysis kept).
trades: list[list[int | int64]]

#: The value each trade was opened with (its target at entry, in units of
#: the starting capital).
trade_positions: list[float]

#: Each trade's excursion record: a float64 array of groups of six values
#: (adverse excursion, favourable excursion, favourable excursion before the
#: adverse one, drawdown, days in profit, return; growth values minus 1).
#: One group per sampled offset ``0, step, 2 * step, ...`` below the window
#: after entry, then one at exit: ``(window - 1) // step + 2`` groups. A group
#: the prices end before holds -1 in all six slots. ``record.reshape(-1, 6)``
#: gives one row per group.
tessary: list[NDArray[float64]]

#: The price matrix of the run in progress (None once released).
prices: NDArray[float64] | None

#: Per stock number: the row its open holding was entered on.
entry: NDArray[int64]

#: Per stock number: the value its open holding was entered with.
position: NDArray[float64]
