"""Views of an equity curve by period: returns by month and year, the worst
drawdowns as episodes, and rolling risk.

Plain functions over a curve (a float Series on a DatetimeIndex); the report
shows them.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["DRAWDOWN_COLUMNS", "ROLLING_WINDOW", "drawdown_episodes", "monthly_returns", "rolling_sharpe",
           "rolling_volatility", "yearly_returns"]

#: Trading days of the rolling views by default: about six months.
ROLLING_WINDOW = 126

#: The columns of `drawdown_episodes`, in order.
DRAWDOWN_COLUMNS = ("peak", "trough", "recovery", "depth", "days", "open")


def _period_returns(equity: pd.Series, keys: list[pd.Index]) -> pd.Series:
    """Each period's compounded return: its last value over the last value
    of the period before (the first period's over the curve's first value)."""
    last = equity.groupby(keys).last()
    before = last.shift(1)
    before.iloc[0] = equity.iloc[0]
    return last / before - 1.0


def monthly_returns(equity: pd.Series) -> pd.DataFrame:
    """Years by months (1 to 12): each month's return, compounded over its
    days; NaN for a month the curve does not reach."""
    index = pd.DatetimeIndex(equity.index)
    returns = _period_returns(equity, [index.year.rename("year"), index.month.rename("month")])
    table = returns.unstack("month").reindex(columns=range(1, 13))
    table.columns.name = "month"
    return table


def yearly_returns(equity: pd.Series) -> pd.Series:
    """Each calendar year's return, compounded over its days (the first year
    from the curve's first value)."""
    index = pd.DatetimeIndex(equity.index)
    return _period_returns(equity, [index.year.rename("year")]).rename("return")


def drawdown_episodes(equity: pd.Series, top: int | None = 5) -> pd.DataFrame:
    """The curve's falls from a peak until it is regained, deepest first.

    One row per episode: ``peak`` (the last date at the running high before
    the fall), ``trough`` (the first date at its lowest), ``recovery`` (the
    first date back at the peak's value, NaT while it is not), ``depth``
    (trough over peak, minus 1), ``days`` (calendar days from peak to
    recovery, or to the curve's last date while open) and ``open``. NaN
    values are skipped. ``top`` keeps that many (None: all).
    """
    if top is not None and (isinstance(top, bool) or not isinstance(top, (int, np.integer)) or top < 0):
        raise ValueError(f"top: expected a number of drawdowns (0 or more) or None, got {top!r}")
    curve = equity.dropna()
    values = curve.to_numpy(dtype=np.float64)
    dates = pd.DatetimeIndex(curve.index)
    rows = []
    peak = 0
    start = None  # the place of the peak of the episode in progress
    for i in range(1, len(values)):
        if values[i] >= values[peak]:
            if start is not None:
                rows.append(_episode(values, dates, start, i, i))
                start = None
            peak = i
        elif start is None:
            start = peak
    if start is not None:
        rows.append(_episode(values, dates, start, len(values), None))
    frame = pd.DataFrame(rows, columns=list(DRAWDOWN_COLUMNS))
    frame = frame.sort_values("depth", kind="stable").reset_index(drop=True)
    return frame if top is None else frame.head(int(top))


def _episode(values: np.ndarray, dates: pd.DatetimeIndex, peak: int, end: int,
             recovery: int | None) -> dict[str, Any]:
    low = peak + int(np.argmin(values[peak:end]))
    last = dates[recovery] if recovery is not None else dates[-1]
    return {
        "peak": dates[peak],
        "trough": dates[low],
        "recovery": dates[recovery] if recovery is not None else pd.NaT,
        "depth": float(values[low] / values[peak] - 1.0),
        "days": int((last - dates[peak]).days),
        "open": recovery is None,
    }


def rolling_volatility(returns: pd.Series, window: int, periods_per_year: float) -> pd.Series:
    """The sample standard deviation of the last ``window`` returns,
    annualised (NaN until ``window`` returns are in)."""
    return (returns.rolling(_window(window)).std(ddof=1) * math.sqrt(periods_per_year)).rename("volatility")


def rolling_sharpe(returns: pd.Series, window: int, periods_per_year: float) -> pd.Series:
    """Mean over sample standard deviation of the last ``window`` returns,
    annualised (NaN until ``window`` returns are in, and where they do not
    vary)."""
    rolling = returns.rolling(_window(window))
    std = rolling.std(ddof=1)
    sharpe = rolling.mean() / std.where(std > 0) * math.sqrt(periods_per_year)
    return sharpe.rename("sharpe")


def _window(window: int) -> int:
    if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 2:
        raise ValueError(f"window: expected at least 2 returns, got {window!r}")
    return int(window)
