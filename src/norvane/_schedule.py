"""The rebalance schedule: when a portfolio may trade, as engine dates.

A schedule is None (every position date), a pandas offset or alias ("W",
"M", ...; the period-end aliases older pandas took without their "E" are
read too) or an iterable of dates. `offset` parses an alias for any argument
that takes a period, so a walk-forward's windows read periods as a
rebalance does.
"""

from __future__ import annotations

import re
from collections.abc import Iterable
from typing import Any, Union

import numpy as np
import pandas as pd
from pandas.tseries.frequencies import to_offset

from norvane.settings import warn_caller

__all__ = ["Schedule", "check_same_tz", "describe", "offset", "rebalance_dates", "to_ns", "warn_if_never_traded"]

#: When a portfolio may trade: None (every position date), a pandas offset
#: or alias ("W", "M", ...), or an iterable of dates.
Schedule = Union[None, str, pd.offsets.BaseOffset, Iterable[Any]]

# Period-end aliases that newer pandas only accepts with an "E" suffix.
_LEGACY_ALIAS = re.compile(r"^(\d*)(M|Q|Y|A|BM|BQ|BY|BA)(-[A-Z]{3})?$")
_LEGACY_TARGET = {"M": "ME", "Q": "QE", "Y": "YE", "A": "YE", "BM": "BME", "BQ": "BQE", "BY": "BYE", "BA": "BYE"}


def to_ns(index: pd.DatetimeIndex) -> np.ndarray:
    """The dates as the engine's int64 nanoseconds."""
    return np.ascontiguousarray(index.as_unit("ns").asi8, dtype=np.int64)


def check_same_tz(expected: Any, got: Any, name: str) -> None:
    if str(expected) != str(got):
        raise ValueError(
            f"{name}: time zone {got} does not match the prices' time zone {expected}; "
            "convert both to the same zone (or both naive) first"
        )


def rebalance_dates(spec: Schedule, price_days: pd.DatetimeIndex, pos_days: pd.DatetimeIndex) -> np.ndarray:
    if spec is None:
        return to_ns(pos_days)
    if isinstance(spec, (str, pd.offsets.BaseOffset)):
        period = offset(spec)
        if period is None:
            raise ValueError(f"rebalance: {spec!r} is not a pandas offset alias (try 'W', 'M', 'Q')")
        if price_days[0] + period <= price_days[0]:
            raise ValueError(f"rebalance: {spec!r} does not move forward in time; give a period such as 'W' or 'M'")
        return to_ns(_period_ends(period, price_days))
    if isinstance(spec, (pd.Timestamp, np.datetime64)) or not isinstance(spec, Iterable):
        raise TypeError(
            "rebalance: expected None, an offset alias such as 'W' or 'M', or a list of dates; "
            f"got {type(spec).__name__}"
        )
    try:
        dates = pd.DatetimeIndex(list(spec) if not isinstance(spec, (pd.Index, pd.Series, np.ndarray)) else spec)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"rebalance: could not read the dates: {exc}") from None
    if dates.hasnans:
        raise ValueError("rebalance: the dates contain NaT")
    if len(dates) == 0:
        raise ValueError("rebalance: no dates given; pass None to trade on every position date")
    check_same_tz(price_days.tz, dates.tz, "rebalance")
    # The engine walks the dates with a forward-only cursor: give them sorted.
    return to_ns(dates.normalize().unique().sort_values())


def warn_if_never_traded(spec: Schedule, resample: np.ndarray, price_index: np.ndarray, start: int) -> None:
    """A scheduled date trades on the price row after the last one on or
    before it; a schedule none of whose rows lies between the run's first
    row and its second-to-last would leave the portfolio in cash."""
    rows = np.searchsorted(price_index, resample, side="right") - 1
    if np.any((rows >= start) & (rows < len(price_index) - 1)):
        return
    if spec is None:
        what = "the position dates schedule"
    elif isinstance(spec, (str, pd.offsets.BaseOffset)):
        what = f"{spec!r} schedules"
    else:
        what = f"the {len(resample)} dates given schedule"
    first, last = (pd.Timestamp(price_index[row]).date() for row in (start, -1))
    warn_caller(f"rebalance: {what} no trade between {first} and {last}; the portfolio stays in cash")


def offset(spec: str | pd.offsets.BaseOffset) -> pd.offsets.BaseOffset | None:
    """The pandas offset of an alias (or the offset itself); None when the
    text is no alias. Period ends that newer pandas only takes with an "E"
    ("M", "2Q", "A-DEC") are read as such."""
    if not isinstance(spec, str):
        return spec
    legacy = _LEGACY_ALIAS.match(spec)
    if legacy:
        spec = legacy.group(1) + _LEGACY_TARGET[legacy.group(2)] + (legacy.group(3) or "")
    try:
        return to_offset(spec)
    except ValueError:
        return None


def _period_ends(offset: pd.offsets.BaseOffset, dates: pd.DatetimeIndex) -> pd.DatetimeIndex:
    """Period ends from the first price date to the last.

    The period holding the last price date counts as ended too when no
    business day is left between that date and the period end, so that a run
    on data up to a month's last trading day reports that month's rebalance
    as the next day's actions.
    """
    first, last = dates[0], dates[-1]
    ends = pd.date_range(first, last, freq=offset)
    closing = offset.rollforward(last)
    if closing > last and last + pd.offsets.BDay(1) > closing:
        ends = ends.append(pd.DatetimeIndex([closing]))  # type: ignore[assignment]  # appending dates keeps a DatetimeIndex
    if len(ends) == 0:
        return dates[:0]
    return ends


def describe(spec: Schedule) -> str:
    if spec is None:
        return "every position date"
    if isinstance(spec, (str, pd.offsets.BaseOffset)):
        return str(spec)
    return "explicit dates"


