"""The trade table: its columns, and how it is built from what the engine records.

The engine records one trade per opening and closing of a holding, as
aligned columns: the stock number, the entry row, the exit row (-1 while
still open), the value the holding was opened with, why it ended, and the trade's
excursion record (groups of six values: the offsets sampled after entry,
then the exit) as a row of a matrix. `trade_frame` turns them into one
pandas frame in a few vectorised steps.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd
from numpy.typing import NDArray


if TYPE_CHECKING:
    from norvane._engine import RunResult

__all__ = ["EXCURSION_FIELDS", "EXIT_REASONS", "TRADE_COLUMNS", "empty_trade_frame", "trade_frame"]

#: The six values of an excursion record, in record order. In the trade
#: table the values at exit carry these names; the values sampled ``t`` days
#: after entry carry the suffix ``_{t}d``.
EXCURSION_FIELDS = (
    "adverse_excursion",
    "favourable_excursion",
    "favourable_before_adverse",
    "drawdown",
    "profit_days",
    "return",
)

#: Columns of every trade table, before the sampled excursion columns.
TRADE_COLUMNS = (
    "stock",
    "entry_date",
    "exit_date",
    "entry_signal_date",
    "exit_signal_date",
    "entry_value",
    "holding_days",
    "exit_reason",
) + EXCURSION_FIELDS

_OPEN = -1  # the exit row of a trade still open

#: Why a trade ended, by the engine's exit-reason code.
EXIT_REASONS = np.array(["rebalance", "stop_loss", "take_profit", "open"], dtype=object)


def column_dtype(name: str) -> Any:
    if name in ("stock", "exit_reason"):
        return object
    if name.endswith("_date"):
        return "datetime64[ns]"
    if name == "holding_days":
        return np.int64
    return np.float64


def empty_trade_frame() -> pd.DataFrame:
    return pd.DataFrame({c: pd.Series(dtype=column_dtype(c)) for c in TRADE_COLUMNS})


def sampled_offsets(window: int, step: int) -> list[int]:
    """The day offsets after entry at which every trade's excursion is sampled."""
    groups = (window - 1) // step + 2
    return [g * step for g in range(1, groups - 1)]


def trade_frame(run: RunResult) -> pd.DataFrame:
    """The trade table of one run, closed trades first in closing order, then the open ones."""
    dates, names, window, step = run.dates, run.names, run.window, run.step
    count = len(run.stocks)
    stocks, entry_rows, exit_rows = run.stocks, run.entry_rows, run.exit_rows
    closed = exit_rows != _OPEN
    groups = (window - 1) // step + 2
    excursions = run.records.reshape(count, groups, len(EXCURSION_FIELDS))
    # A group the prices end before stays at -1 in all six slots: no value.
    excursions = np.where((excursions == -1.0).all(axis=2, keepdims=True), np.nan, excursions)

    columns: dict[str, Any] = {
        "stock": np.asarray(names, dtype=object)[stocks],
        "entry_date": dates.take(entry_rows),
        "exit_date": _dates_at(dates, exit_rows, closed),
        "entry_signal_date": _dates_at(dates, entry_rows - 1, entry_rows > 0),
        "exit_signal_date": _dates_at(dates, exit_rows - 1, exit_rows > 0),
        "entry_value": run.entry_values,
        "holding_days": np.where(closed, exit_rows, len(dates) - 1) - entry_rows,
        "exit_reason": EXIT_REASONS[run.exit_reasons],
    }
    for i, field in enumerate(EXCURSION_FIELDS):
        columns[field] = excursions[:, -1, i]
    offsets = sampled_offsets(window, step)
    sampled = pd.DataFrame(
        excursions[:, 1:1 + len(offsets), :].reshape(count, len(offsets) * len(EXCURSION_FIELDS)),
        columns=[f"{field}_{t}d" for t in offsets for field in EXCURSION_FIELDS],
    )
    return pd.concat([pd.DataFrame(columns), sampled], axis=1)


def _dates_at(dates: pd.DatetimeIndex, rows: NDArray[np.int64], valid: NDArray[np.bool_]) -> pd.DatetimeIndex:
    picked = dates.take(np.where(valid, rows, 0))
    return picked.where(valid, pd.NaT)  # type: ignore[call-overload, no-any-return]  # the stubs take no NaT here
