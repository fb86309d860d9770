"""The statistics of `Report.stats()`: one path for every report.

A report made by a run reads its trade statistics from the run's columns
(a sweep asks thousands of reports for their statistics and never for a
trade table, which would cost more than the run); one made from a trade
table reads them from the table. Either way they are first put in the same
few arrays (`TradeFacts`), and `statistics` computes every number from
those and the equity curve.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import pandas as pd
from numpy.typing import NDArray


if TYPE_CHECKING:
    from norvane._engine import RunResult

__all__ = ["STAT_NAMES", "TradeFacts", "curve_statistics", "daily_returns", "profit_factor", "statistics"]

_YEAR = pd.Timedelta(days=365.25)

#: The statistics of a run, in the order of `Report.stats()`.
STAT_NAMES = (
    "start", "end", "total_return", "cagr", "annual_volatility", "sharpe", "sortino", "calmar",
    "max_drawdown", "max_drawdown_peak", "max_drawdown_trough", "trades", "open_trades", "win_rate",
    "avg_trade_return", "profit_factor", "avg_holding_days", "time_in_market", "gross_exposure",
    "final_cash",
)

# An excursion record ends with the six values at exit, the last the
# return; a trade still open has exit row -1.
_OPEN = -1
_FIELDS = 6


class TradeFacts(NamedTuple):
    """What the trade statistics read of a run's trades."""

    total: int  # every trade, open ones too
    closed_returns: NDArray[np.float64]  # the closed trades' returns (NaN: none)
    closed_holding: NDArray[Any]  # and their holding days
    entry_places: NDArray[np.int64]  # every trade's entry, as a place in the curve's dates
    exit_places: NDArray[np.int64]  # every closed trade's exit, likewise

    @classmethod
    def of_run(cls, run: RunResult) -> TradeFacts:
        entry_rows, exit_rows, start = run.entry_rows, run.exit_rows, run.start
        closed = exit_rows != _OPEN
        # A trade's place among the kept dates (unique and sorted) is its
        # row's distance from the first kept one.
        return cls(len(run.stocks), _exit_returns(run.records)[closed], (exit_rows - entry_rows)[closed],
                   np.maximum(entry_rows - start, 0), np.maximum(exit_rows[closed] - start, 0))

    @classmethod
    def of_table(cls, trades: pd.DataFrame, dates: pd.DatetimeIndex) -> TradeFacts:
        closed = trades["exit_date"].notna().to_numpy()
        exits = trades["exit_date"][closed]
        return cls(len(trades), trades["return"].to_numpy(dtype=np.float64)[closed],
                   trades["holding_days"].to_numpy()[closed],
                   dates.searchsorted(pd.DatetimeIndex(trades["entry_date"]), side="left"),
                   dates.searchsorted(pd.DatetimeIndex(exits), side="left"))


def statistics(values: NDArray[np.float64], index: pd.DatetimeIndex, periods_per_year: float, trades: TradeFacts,
               gross_exposure: float, final_cash: float) -> dict[str, Any]:
    """Every statistic of `Report.stats()`, in its order, from the equity
    curve (``values`` on the dates of ``index``) and the trades."""
    r = pd.Series(trades.closed_returns)
    closed = len(r)
    return {
        **curve_statistics(values, index, periods_per_year),
        "trades": closed,
        "open_trades": trades.total - closed,
        "win_rate": float((r > 0).mean()) if closed else math.nan,
        "avg_trade_return": float(r.mean()) if closed else math.nan,
        # A sum over a contiguous array is the same on either side; the
        # means stay pandas', which skip NaN.
        "profit_factor": profit_factor(trades.closed_returns),
        "avg_holding_days": float(pd.Series(trades.closed_holding).mean()) if closed else math.nan,
        "time_in_market": _time_in_market(len(values), trades.entry_places, trades.exit_places),
        "gross_exposure": gross_exposure,
        "final_cash": final_cash,
    }


def daily_returns(equity: pd.Series) -> pd.Series:
    """Each day's return on the day before, from the second date on (what
    `Report.returns` shows and a sweep keeps)."""
    return (equity / equity.shift(1) - 1.0).iloc[1:].rename("returns")


def curve_statistics(values: NDArray[np.float64], index: pd.DatetimeIndex,
                     periods_per_year: float) -> dict[str, Any]:
    """The statistics of an equity curve, from ``start`` to ``max_drawdown_trough``.

    ``values`` are the curve's values on the dates of ``index``. Dates are
    looked up by position, and only where a statistic is one.
    """
    ppy = float(periods_per_year)

    total = values[-1] / values[0] - 1.0
    years = (index[-1] - index[0]) / _YEAR
    cagr = (1.0 + total) ** (1.0 / years) - 1.0 if years > 0 and total > -1.0 else math.nan

    rets = pd.Series(values[1:] / values[:-1] - 1.0)
    mean = rets.mean() if len(rets) else math.nan
    std = rets.std(ddof=1) if len(rets) > 1 else math.nan
    downside = math.sqrt((np.minimum(rets.to_numpy(), 0.0) ** 2).mean()) if len(rets) else math.nan
    sharpe = _ratio(mean, std) * math.sqrt(ppy)
    sortino = _ratio(mean, downside) * math.sqrt(ppy)

    max_dd, low = _deepest_drawdown(values)
    trough: Any = pd.NaT
    peak: Any = pd.NaT
    if max_dd < 0:
        trough, peak = index[low], index[int(np.nanargmax(values[:low + 1]))]
    return {
        "start": index[0],
        "end": index[-1],
        "total_return": float(total),
        "cagr": float(cagr),
        "annual_volatility": float(std * math.sqrt(ppy)),
        "sharpe": float(sharpe),
        "sortino": float(sortino),
        "calmar": float(_ratio(cagr, -max_dd)),
        "max_drawdown": max_dd,
        "max_drawdown_peak": peak,
        "max_drawdown_trough": trough,
    }


def _deepest_drawdown(values: NDArray[np.float64]) -> tuple[float, int]:
    """The fall from the running peak at its deepest and the first place it
    is reached, skipping NaN values as pandas' cummax, min and idxmin do
    (NaN and 0 when every value is NaN)."""
    with np.errstate(all="ignore"):
        falls = values / np.fmax.accumulate(values) - 1.0
    valid = falls[~np.isnan(falls)]
    if not len(valid):
        return math.nan, 0
    deepest = float(valid.min())
    return deepest, int(np.flatnonzero(falls == deepest)[0])


def profit_factor(returns: Any) -> float:
    """Sum of gains over sum of losses of trade returns (a Series or an array)."""
    gains, losses = returns[returns > 0].sum(), -returns[returns < 0].sum()
    if len(returns) == 0:
        return math.nan
    if losses > 0:
        return float(gains / losses)
    return math.inf if gains > 0 else math.nan


def _ratio(numerator: float, denominator: float) -> float:
    if math.isnan(numerator) or math.isnan(denominator):
        return math.nan
    if denominator == 0:
        return math.inf if numerator > 0 else math.nan
    return numerator / denominator


def _exit_returns(records: NDArray[np.float64]) -> NDArray[np.float64]:
    """Each trade's return at exit (a record's last value); NaN where the
    whole exit group is -1, the mark of a group without a value."""
    returns = records[:, -1].copy()
    returns[(records[:, -_FIELDS:] == -1.0).all(axis=1)] = np.nan
    return returns


def _time_in_market(days: int, entry_places: NDArray[np.int64], exit_places: NDArray[np.int64]) -> float:
    # +1 on the entry day, -1 on the exit day: a day counts when the running
    # count of holdings at its close is positive.
    change = np.zeros(days + 1, dtype=np.int64)
    np.add.at(change, entry_places, 1)
    np.add.at(change, exit_places, -1)
    return float((np.cumsum(change[:-1]) > 0).mean())
