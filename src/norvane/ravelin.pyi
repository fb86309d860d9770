"""The native engine: a day-by-day portfolio simulation on NumPy arrays.

The engine takes its arrays at face value: they must already have the
layout below (the pandas API, `norvane.backtest`, checks and converts
frames into it). One run at a time per process: a run leaves its trades in
`norvane.tessary` and its next-day operations in this module until the next
run replaces them, so calls from other threads wait for the run in progress
and a call from inside a running `backtest_` raises `RuntimeError`.

Dates are int64 nanoseconds since the epoch (``datetime64[ns]`` viewed as
``int64``); names are object arrays of `str`; stock numbers in the results
are positions in ``pos_columns``.
"""

import datetime
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

from numpy import float64, floating, int64, integer, object_
from numpy.typing import NDArray

#: One row of `get_trade_stocks`: ``[name, entry date, exit date, date
#: before entry, date before exit, entry value, holding days, entry row,
#: exit row]``. Dates are int64 nanoseconds (-1: still open, or no row
#: before); holding days run to the last date for an open trade.
TradeRow: TypeAlias = list[Any]

#: What `get_stock_operations` returns: ``"actions"`` maps a stock number to
#: ``"enter"``, ``"exit"`` or ``"sl_tp_exit"`` (what the next trading day
#: brings); ``"weights"`` to its share of the portfolio value at the last
#: date; ``"next_weights"`` to its nonzero target weight in the position row
#: in force.
StockOperations: TypeAlias = dict[str, dict[int, Any]]

def backtest_(
    price_values: NDArray[float64],
    price_index: NDArray[int64],
    price_columns: NDArray[object_],
    pos_values: NDArray[float64],
    pos_index: NDArray[int64],
    pos_columns: NDArray[object_],
    resample: NDArray[int64],
    fee_ratio: SupportsFloat = 0.001425,
    tax_ratio: SupportsFloat = 0.003,
    stop_loss: SupportsFloat = ...,
    take_profit: SupportsFloat = ...,
    touched_exit: bool = False,
    position_limit: SupportsFloat = 1.0,
    tessary_window: SupportsIndex = 0,
    tessary_window_step: SupportsIndex = 1,
) -> NDArray[float64]:
    """Simulate the portfolio and return its equity curve (one value per price date, from 1.0).

    Parameters
    ----------
    price_values:
        Prices, one row per date of ``price_index`` and one column per name
        of ``price_columns`` (any memory layout); NaN where a stock has no
        price.
    price_index:
        The trading days, ascending, as int64 nanoseconds.
    price_columns:
        The names of the price columns (object array of `str`).
    pos_values:
        Target weights, one row per signal date of ``pos_index`` and one
        column per name of ``pos_columns``. A row is traded on the first
        trading day after its date, as relative weights (each target is the
        weight times the portfolio value over the row's sum plus 1e-7).
    pos_index:
        The signal dates, ascending, as int64 nanoseconds.
    pos_columns:
        The stock names of the weight columns; a name is matched to its
        price column by equality (a name without one is priced from
        column 0).
    resample:
        The rebalance dates (int64 nanoseconds): a signal row is traded only
        at the first of these on or after its date.
    fee_ratio:
        Commission on the traded value of every buy and sale.
    tax_ratio:
        Tax on the value of every sale.
    stop_loss:
        Exit level as a negative fraction (-0.1: exit once a holding has
        lost 10 % since the last rebalance); default ``-inf`` (off).
    take_profit:
        Exit level as a positive fraction; default ``inf`` (off).
    touched_exit:
        Exit at the level on the day it is crossed, rather than at the next
        day's price.
    position_limit:
        Largest target of one stock, as a fraction of the portfolio value.
    tessary_window, tessary_window_step:
        Sample every trade's excursion at offsets ``0, step, 2 * step, ...``
        below ``window`` after its entry, besides the one at exit.

    Raises
    ------
    TypeError, ValueError, IndexError, OverflowError
        On arguments of the wrong type, element type, number of dimensions
        or size (see the docs' "Bad input").
    RuntimeError
        When called from inside a running ``backtest_``.
    KeyboardInterrupt, MemoryError
        End the run; the next run starts clean.
    """

#: What `simulate` returns: the equity curve, the trades as columns (closed
#: ones in closing order, then the open ones; exit row -1 while open), one
#: excursion record per trade as a row of ``records``, the final weights,
#: the next weights and the next-day actions (0 ``"enter"``, 1 ``"exit"``,
#: 2 ``"sl_tp_exit"``) by stock number.
RunColumns: TypeAlias = dict[str, NDArray[Any]]

def simulate(
    price_values: NDArray[float64],
    price_index: NDArray[int64],
    stock_columns: NDArray[int64],
    pos_values: NDArray[float64],
    pos_index: NDArray[int64],
    weight_sums: NDArray[float64],
    resample: NDArray[int64],
    fee_ratio: SupportsFloat = 0.001425,
    tax_ratio: SupportsFloat = 0.003,
    stop_loss: SupportsFloat = ...,
    take_profit: SupportsFloat = ...,
    touched_exit: bool = False,
    position_limit: SupportsFloat = 1.0,
    tessary_window: SupportsIndex = 0,
    tessary_window_step: SupportsIndex = 1,
    retarget: bool = False,
    absolute_weights: bool = False,
    stop_from_entry: bool = False,
) -> RunColumns:
    """The run of `backtest_` on the same arrays, with every result returned as columns.

    Nothing is left in module state and the interpreter lock is released
    for the whole simulation: any number of threads may run at once. Ctrl-C
    ends a run on the main thread within a millisecond or so; `cancel_runs`
    ends those on other threads.

    ``stock_columns`` gives the price column of each weight column (in
    place of the names of ``backtest_``) and ``weight_sums`` each weight
    row's own ``sum()``. The other arguments are those of `backtest_`, and
    three options it does not have: ``retarget`` rebalances on every row of
    ``resample`` to the weights in force, new position row or not;
    ``absolute_weights`` takes each weight as a fraction of the portfolio
    value (a row summing to 0.5 keeps half in cash) instead of a share of
    the row's sum; ``stop_from_entry`` measures stops and take-profits from
    each holding's entry instead of the last rebalance (a stop found on a
    rebalance row then still exits on the next row).

    Raises
    ------
    TypeError, ValueError
        On arguments of the wrong type, shape or range, naming the argument;
        ValueError too for a price of 0 in a traded column.
    ZeroDivisionError
        When the portfolio is worth exactly 0 with holdings left, as
        `backtest_`.
    KeyboardInterrupt, MemoryError
        End the run.
    """

def cancel_runs() -> None:
    """Ends every `simulate` in progress on a thread other than the main one with KeyboardInterrupt."""

def get_trade_stocks(
    pos_columns: NDArray[object_], price_index: NDArray[int64]
) -> tuple[list[TradeRow], StockOperations]:
    """The last run's trades, closed ones first in closing order, then the open ones, with its operations.

    ``pos_columns`` and ``price_index`` are the arrays the run was given:
    the rows show names and dates taken from them.
    """

def get_stock_operations() -> StockOperations:
    """A copy of the last run's next-day operations (empty before the first run)."""

def ioft(timestamp: float | integer[Any] | floating[Any], /) -> datetime.datetime:
    """Nanoseconds since the epoch as a naive local-time `datetime.datetime`."""
