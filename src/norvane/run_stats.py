"""The statistics of `Report.stats()`, straight from what the engine leaves behind.

A sweep keeps only each run's statistics, and building a trade table and a
Report for every run costs more than the run itself. `run_statistics` gets
the same numbers, bit for bit, from the few arrays they need: every step
repeats the one of `Report.stats()` (the same pandas reductions, over the same
values in the same order), so the two can only drift apart when one of them
changes. The sweep tests compare them run by run.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from norvane.engine_session import EngineRun

__all__ = ["STAT_NAMES", "curve_statistics", "profit_factor", "run_statistics"]

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


def run_statistics(run: EngineRun, dates: pd.DatetimeIndex, start: int,
                   periods_per_year: float = 252.0) -> dict[str, Any]:
    """`Report.stats()` of a run as a dict.

    ``run.equity`` is the engine's curve over all of ``dates`` (the price
    index), of which the report keeps the rows from ``start`` on.
    """
    values = run.equity[start:]
    curve = curve_statistics(values, dates[start:], periods_per_year)

    count = len(run.stocks)
    entry_rows, exit_rows = run.entry_rows, run.exit_rows
    closed = exit_rows != _OPEN
    returns = _exit_returns(run.records)[closed]
    r = pd.Series(returns)
    # A sum over a contiguous array is the same on either side; the means
    # stay pandas', which skip NaN.
    factor = profit_factor(returns)
    holding = pd.Series((np.where(closed, exit_rows, len(dates) - 1) - entry_rows)[closed])

    held = run.weights[run.weights != 0.0]
    gross = float(held.sum())

    return {
        **curve,
        "trades": int(closed.sum()),
        "open_trades": int(count - closed.sum()),
        "win_rate": float((returns > 0).mean()) if len(r) else math.nan,
        "avg_trade_return": float(r.mean()) if len(r) else math.nan,
        "profit_factor": float(factor),
        "avg_holding_days": float(holding.mean()) if len(r) else math.nan,
        "time_in_market": _time_in_market(len(values), start, entry_rows, exit_rows[closed]),
        "gross_exposure": gross,
        "final_cash": float(values[-1]) * (1.0 - gross),
    }


def curve_statistics(values: NDArray[np.float64], index: pd.DatetimeIndex,
                     periods_per_year: float) -> dict[str, Any]:
    """The statistics of an equity curve, from ``start`` to ``max_drawdown_trough``.

    ``values`` are the curve's values on the dates of ``index``. Dates are
    looked up by position, and only where a statistic is one.
    """
    eq = pd.Series(values)
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

    dd = eq / eq.cummax() - 1.0
    max_dd = float(dd.min())
    trough: Any = pd.NaT
    peak: Any = pd.NaT
    if max_dd < 0:
        low = int(dd.idxmin())  # type: ignore[call-overload]  # the label of a RangeIndex: a position
        trough, peak = index[low], index[int(eq.iloc[:low + 1].idxmax())]  # type: ignore[call-overload]
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


def _time_in_market(count: int, start: int, entry_rows: np.ndarray, exit_rows: np.ndarray) -> float:
    # Report.stats() finds each trade's dates among the kept ones; the dates
    # are unique and sorted, so a row's place there is its distance from start.
    change = np.zeros(count + 1, dtype=np.int64)
    np.add.at(change, np.maximum(entry_rows - start, 0), 1)
    np.add.at(change, np.maximum(exit_rows - start, 0), -1)
    return float((np.cumsum(change[:-1]) > 0).mean())
