"""The frames of a backtest, checked and converted once to the engine's arrays.

`prepare` checks everything the engine would otherwise take at face value
(dtypes, dates, time zones, prices, weights, the columns a position holds)
and converts the frames to the exact layout the engine reads; a sweep
prepares once and runs many settings (`for_many_runs`).
"""

from __future__ import annotations

import dataclasses
from collections import Counter
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from norvane import _schedule
from norvane._schedule import Schedule, check_same_tz, to_ns
from norvane.settings import check_flag, check_optional_flag, check_weights_kind

__all__ = ["Prepared", "for_many_runs", "prepare"]


@dataclass(frozen=True)
class Prepared:
    """Frames checked and converted to the engine's arrays, ready for any number of runs."""

    price_values: np.ndarray
    price_index: np.ndarray
    price_columns: np.ndarray  # the names of the columns of price_values
    weights: np.ndarray
    pos_index: np.ndarray
    columns: np.ndarray  # the names of the columns of weights
    pos_names: list[str]
    dates: pd.DatetimeIndex
    resample: np.ndarray
    rebalance: str
    retarget: bool
    start: int  # the first price row on or after the first position date
    stock_columns: np.ndarray  # the column of price_values of each column of weights
    weight_sums: np.ndarray  # each row of weights' own sum()
    absolute: bool = False  # weights are fractions of the portfolio value


def prepare(prices: pd.DataFrame, position: pd.DataFrame, rebalance: Schedule = None, *,
            retarget: bool | None = None, weights: str = "relative", drop_missing: bool = False) -> Prepared:
    """Checks the frames and converts them once; `simulate` runs them with any settings."""
    retarget = check_optional_flag(retarget, "retarget")
    absolute = check_weights_kind(weights) == "absolute"
    drop_missing = check_flag(drop_missing, "drop_missing")
    prices = _require_frame(prices, "prices")
    position = _require_frame(position, "position")

    _check_index(prices.index, "prices")
    _check_index(position.index, "position")
    # _check_index made both DatetimeIndex, which the frames' annotations cannot say
    check_same_tz(prices.index.tz, position.index.tz, "position")  # type: ignore[attr-defined]
    price_days = _trading_days(prices.index, "prices")  # type: ignore[arg-type]
    pos_days = _trading_days(position.index, "position")  # type: ignore[arg-type]

    price_names = _column_names(prices, "prices")
    pos_names = _column_names(position, "position")
    raw_prices, highest_of_column = _price_matrix(prices)
    raw_weights = _weight_matrix(position)

    # Columns that are never held cannot be mispriced; those that are held
    # need a price column with at least one price.
    held = (raw_weights != 0).any(axis=0)
    price_pos = {name: i for i, name in enumerate(price_names)}
    priced = ~np.isnan(highest_of_column)  # a column with at least one price
    absent = [n for n, h in zip(pos_names, held) if h and n not in price_pos]
    empty = [n for n, h in zip(pos_names, held) if h and n in price_pos and not priced[price_pos[n]]]
    if (absent or empty) and not drop_missing:
        problems = []
        if absent:
            problems.append(f"held but absent from prices: {_preview(absent)}")
        if empty:
            problems.append(f"held but without a single price: {_preview(empty)}")
        raise ValueError(
            "position: " + "; ".join(problems)
            + " (pass drop_missing=True to drop these columns)"
        )
    unusable = set(absent) | set(empty)
    keep = [i for i, n in enumerate(pos_names) if n in price_pos and n not in unusable]
    if not keep:
        raise ValueError("position: no column left that has prices")
    pos_names = [pos_names[i] for i in keep]
    # Relative weights are scaled to sum to one per row; absolute ones are
    # the fractions of the portfolio the engine targets as they stand.
    weight_matrix = _row_major(raw_weights, keep) if absolute else _relative_weights(raw_weights, keep)

    # The engine matches the two column lists by name and reads any layout:
    # the prices go to it as the frame holds them, without a copy.
    price_values = raw_prices

    price_index = to_ns(price_days)
    pos_index = to_ns(pos_days)
    if pos_index[0] > price_index[-1]:
        raise ValueError(
            f"position: the first position date {position.index[0]} is after the last price date "
            f"{prices.index[-1]}; nothing would be simulated"
        )
    resample = _schedule.rebalance_dates(rebalance, price_days, pos_days)
    pos_index = _first_signal_on_a_trading_day(pos_index, price_index)
    start = int(np.searchsorted(price_index, pos_index[0], side="left"))
    _schedule.warn_if_never_traded(rebalance, resample, price_index, start)
    if retarget is None:
        retarget = rebalance is not None
    stock_columns = np.array([price_pos[name] for name in pos_names], dtype=np.int64)
    # A C-contiguous array's row sums are each row's own sum(), pairwise.
    weight_sums = np.ascontiguousarray(weight_matrix).sum(axis=1)
    for array in (price_values, price_index, weight_matrix, pos_index, resample, stock_columns, weight_sums):
        array.flags.writeable = False  # shared by every run of a sweep
    return Prepared(price_values, price_index, np.array(price_names, dtype=object), weight_matrix, pos_index,
                    np.array(pos_names, dtype=object), pos_names, prices.index,  # type: ignore[arg-type]
                    resample, _schedule.describe(rebalance), retarget, start, stock_columns, weight_sums, absolute)


def for_many_runs(prepared: Prepared) -> Prepared:
    """The same, with only the prices of the position's stocks when they are
    at most half of the price columns (a copy, row-major, that then pays off
    over the runs of a sweep).

    The layout alone is not worth a copy: a run marks a few hundred scattered
    holdings per row and walks each trade's column, which the frame's own
    column-major layout serves as well.
    """
    if 2 * len(prepared.columns) > len(prepared.price_columns):
        return prepared
    index = {name: i for i, name in enumerate(prepared.price_columns)}
    price_values = _row_major(prepared.price_values, [index[name] for name in prepared.pos_names])
    price_values.flags.writeable = False
    stock_columns = np.arange(len(prepared.columns), dtype=np.int64)
    stock_columns.flags.writeable = False
    return dataclasses.replace(prepared, price_values=price_values, price_columns=prepared.columns,
                               stock_columns=stock_columns)


def _preview(names: list[str], limit: int = 10) -> str:
    shown = ", ".join(repr(n) for n in names[:limit])
    more = len(names) - limit
    return f"{shown} and {more} more" if more > 0 else shown


def _plain(value: Any) -> str:
    """A NumPy scalar as the user would write it (``nan``, not ``np.float64(nan)``)."""
    return repr(value.item()) if isinstance(value, np.generic) else repr(value)


def _require_frame(frame: Any, name: str) -> pd.DataFrame:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name}: expected a pandas DataFrame, got {type(frame).__name__}")
    if frame.shape[0] == 0 or frame.shape[1] == 0:
        raise ValueError(f"{name}: the frame is empty ({frame.shape[0]} rows, {frame.shape[1]} columns)")
    if isinstance(frame.columns, pd.MultiIndex):
        raise TypeError(f"{name}: columns must be a flat index of stock ids, not a MultiIndex")
    return frame


def _check_index(index: pd.Index, name: str) -> None:
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"{name}: the index must be a DatetimeIndex, got {type(index).__name__}")
    if index.hasnans:
        raise ValueError(f"{name}: the index contains NaT")
    if index.has_duplicates:
        dups = index[index.duplicated()].unique()
        raise ValueError(f"{name}: the index has duplicated dates: {_preview([str(d) for d in dups], 5)}")
    if not index.is_monotonic_increasing:
        raise ValueError(f"{name}: the index is not sorted ascending (use .sort_index())")


def _trading_days(index: pd.DatetimeIndex, name: str) -> pd.DatetimeIndex:
    """The index as calendar days: runs compare dates by day, whatever time of day a row carries.

    A price stamped 16:00 and a signal stamped midnight of the same day are
    the same day's; the signal still trades on the next day's price.
    """
    days = index.normalize()
    if days.has_duplicates:
        first = days[days.duplicated()][0]
        same_day = index[days == first]
        what = "price" if name == "prices" else "position"
        raise ValueError(
            f"{name}: {len(same_day)} {what} rows on {first.date()} ({', '.join(str(t) for t in same_day[:3])}); "
            "norvane works by trading day: keep one row per day"
        )
    return days


def _column_names(frame: pd.DataFrame, name: str) -> list[str]:
    labels = frame.columns
    if labels.has_duplicates:
        dups = labels[labels.duplicated()].unique()
        raise ValueError(f"{name}: duplicated column names: {_preview([str(d) for d in dups])}")
    names = list(map(str, labels.tolist()))  # not label by label: an Index iterates slowly
    if len(set(names)) != len(names):
        clash = sorted(n for n, count in Counter(names).items() if count > 1)
        raise ValueError(f"{name}: different column labels share the name {_preview(clash)} as text")
    return names


def _columns_failing(frame: pd.DataFrame, bad_dtype: Any) -> list[str]:
    """The columns whose dtype `bad_dtype` refuses; one test when all share a dtype."""
    dtypes = frame.dtypes
    if (dtypes == dtypes.iloc[0]).all():
        return [str(c) for c in frame.columns] if bad_dtype(dtypes.iloc[0]) else []
    return [str(c) for c, dt in dtypes.items() if bad_dtype(dt)]


def _numeric_values(frame: pd.DataFrame) -> np.ndarray:
    """The frame's values, float64 or bool, without a copy when the frame holds one such block."""
    dtypes = set(frame.dtypes)
    if dtypes == {np.dtype(np.float64)} or dtypes == {np.dtype(bool)}:
        return frame.to_numpy()
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def _row_major(values: np.ndarray, columns: list[int], row_divisor: np.ndarray | None = None) -> np.ndarray:
    """The chosen columns as a new C-ordered float64 matrix, each row divided
    by ``row_divisor`` if given: the one copy of a frame.

    A frame of one block hands out its values column-major; the engine reads
    a row at a time. Copying blocks of columns keeps both the reads and the
    writes of the transposition in cache.
    """
    out = np.empty((values.shape[0], len(columns)), dtype=np.float64)
    divisor = row_divisor[:, None] if row_divisor is not None else 1.0
    if not values.flags.f_contiguous:
        np.divide(values[:, columns], divisor, out=out)
        return out
    by_column = values.T
    chosen = np.asarray(columns, dtype=np.intp)
    for start in range(0, len(chosen), 64):
        np.divide(by_column[chosen[start:start + 64]].T, divisor, out=out[:, start:start + 64])
    return out


def _price_matrix(prices: pd.DataFrame) -> tuple[np.ndarray, np.ndarray]:
    """The prices as float64, and each column's highest price (NaN: none)."""
    bad = _columns_failing(prices, lambda dt: not ptypes.is_numeric_dtype(dt) or ptypes.is_bool_dtype(dt)
                           or ptypes.is_complex_dtype(dt))
    if bad:
        raise TypeError(f"prices: non-numeric columns: {_preview(bad)}")
    values = _numeric_values(prices)
    # Two reductions find out whether any price is out of range; only then is
    # the matrix searched for the first one.
    highest_of_column = np.fmax.reduce(values, axis=0)
    lowest, highest = np.fmin.reduce(values, axis=None), np.fmax.reduce(highest_of_column)
    if lowest <= 0 or highest == np.inf:
        with np.errstate(invalid="ignore"):
            invalid = np.isinf(values) | (values <= 0)
        r, c = np.argwhere(invalid)[0]
        raise ValueError(
            f"prices: every price must be positive and finite (NaN marks a missing price); "
            f"found {_plain(values[r, c])} for {prices.columns[c]!r} on {prices.index[r]} "
            f"({int(invalid.sum())} such values)"
        )
    return values, highest_of_column


def _weight_matrix(position: pd.DataFrame) -> np.ndarray:
    bad = _columns_failing(position, lambda dt: not ptypes.is_numeric_dtype(dt) or ptypes.is_complex_dtype(dt))
    if bad:
        raise TypeError(f"position: columns that are neither bool nor numeric: {_preview(bad)}")
    values = _numeric_values(position)
    if values.dtype == bool:
        return values  # "hold these in equal weight": nothing to check

    def first_of(invalid: np.ndarray) -> str:
        r, c = np.argwhere(invalid)[0]
        return (f"found {_plain(values[r, c])} for {position.columns[c]!r} on {position.index[r]} "
                f"({int(invalid.sum())} such values")

    with np.errstate(over="ignore"):  # a huge sum is looked into below
        total = np.add.reduce(values, axis=None)
    if not np.isfinite(total):  # NaN or infinite somewhere (or a huge sum)
        invalid = ~np.isfinite(values)
        if invalid.any():
            raise ValueError(
                f"position: weights must be finite; {first_of(invalid)}; use .fillna(0) for 'not held')"
            )
    if np.fmin.reduce(values, axis=None) < 0:
        raise ValueError(
            "position: weights must not be negative (norvane is long-only: the engine's shorts are not "
            f"sound yet); {first_of(values < 0)})"
        )
    return values


def _relative_weights(values: np.ndarray, columns: list[int]) -> np.ndarray:
    """The chosen columns, row-major, each row scaled to sum to one.

    A row whose sum overflows (weights near the largest double) is scaled
    by its largest weight first, so it still holds what it asks for.
    """
    sums = _row_sums(values, columns)
    weights = _row_major(values, columns, sums)
    for row in np.flatnonzero(np.isinf(sums)):
        scaled = np.asarray(values[row, columns], dtype=np.float64)
        scaled = scaled / scaled.max()
        weights[row] = scaled / scaled.sum()
    return weights


def _row_sums(values: np.ndarray, columns: list[int]) -> np.ndarray:
    """What each row of the chosen columns is divided by to sum to one (1 for a row that holds nothing)."""
    chosen = values if len(columns) == values.shape[1] else values[:, columns]
    with np.errstate(over="ignore"):  # an overflowing row is rescaled by _relative_weights
        sums = chosen.sum(axis=1, dtype=np.float64)
    # Weights are not negative: a row sums to zero only when it holds nothing.
    return np.where(sums > 0, sums, 1.0)


def _first_signal_on_a_trading_day(pos_index: np.ndarray, price_index: np.ndarray) -> np.ndarray:
    """Dates the first position row on the last trading day on or before it.

    The engine starts on the first price row dated on or after the first
    position row and decides a trade at the close of a row it has started
    on. A first row dated on a weekend or holiday would make its start the
    next trading day and its first trade the day after; dated on the last
    trading day before, it trades on the first trading day after its own
    date, as every later row does. A row dated before the first price keeps
    its date: the run then starts on the first price row.
    """
    first = int(np.searchsorted(price_index, pos_index[0], side="left"))
    if first == 0 or price_index[first] == pos_index[0]:
        return pos_index
    moved = pos_index.copy()
    moved[0] = price_index[first - 1]
    return moved
