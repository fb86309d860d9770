"""The pandas entry point: validate frames, hand them to the engine, wrap the result.

`backtest` is the one function most users need. It takes a price frame and a
position frame, checks everything the engine would otherwise take at face
value, converts both to the exact array layout the engine expects and returns
a :class:`~norvane.report.Report`.
"""

from __future__ import annotations

import math
import operator
import re
from collections import Counter
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Union

import numpy as np
import pandas as pd
from pandas.api import types as ptypes
from pandas.tseries.frequencies import to_offset

from norvane.engine_session import run_engine
from norvane.report import EXCURSION_FIELDS, Report

__all__ = ["backtest"]

RebalanceSpec = Union[None, str, pd.DateOffset, Iterable[Any]]

_INT32_MAX = 2**31 - 1

# Period-end aliases that newer pandas only accepts with an "E" suffix.
_LEGACY_ALIAS = re.compile(r"^(\d*)(M|Q|Y|A|BM|BQ|BY|BA)(-[A-Z]{3})?$")
_LEGACY_TARGET = {"M": "ME", "Q": "QE", "Y": "YE", "A": "YE", "BM": "BME", "BQ": "BQE", "BY": "BYE", "BA": "BYE"}


def backtest(
    prices: pd.DataFrame,
    position: pd.DataFrame,
    rebalance: RebalanceSpec = None,
    *,
    commission: float = 0.001425,
    sell_tax: float = 0.003,
    stop_loss: float | None = None,
    take_profit: float | None = None,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    excursion_window: int = 0,
    excursion_step: int = 1,
    drop_missing: bool = False,
) -> Report:
    """Simulate a portfolio that follows ``position`` and trades at ``prices``.

    Parameters
    ----------
    prices:
        Daily prices, one row per trading day (ascending ``DatetimeIndex``),
        one column per stock id. NaN marks a day without a price (not yet
        listed, suspended, delisted); every price given must be positive.
    position:
        What the strategy wants to hold, one row per signal date (its own
        ascending ``DatetimeIndex``), one column per stock id. A boolean frame
        means "hold these stocks in equal weight"; a numeric frame holds
        relative weights, scaled on every rebalance so that the row sums to
        one (negative weights are shorts; a row with holdings must have a
        positive sum). Row ``r`` is known at the close of its date and is
        traded at the prices of the next trading day.
    rebalance:
        When the portfolio may be brought to the position row in force.
        ``None``: on every position date. A pandas offset alias ("W", "M",
        "Q", "W-FRI", ...): at the end of every such period, on the last
        trading day on or before the period end. An iterable of dates: on the
        last trading day on or before each of them. A rebalance only trades
        when a newer position row with different weights is in force.
    commission:
        Rate charged on the traded value of every buy and every sale.
    sell_tax:
        Rate charged on the value of every sale.
    stop_loss, take_profit:
        Exit a holding once its growth since the last rebalance falls below
        ``1 - stop_loss`` or rises above ``1 + take_profit`` (fractions, e.g.
        0.1 for 10 %; the sign is ignored). ``None`` disables the rule.
    touched_exit:
        ``True``: exit on the day the level is crossed, at the level itself.
        ``False``: exit at the next day's price.
    position_limit:
        Largest value of one stock at a rebalance, as a fraction of the
        portfolio value.
    excursion_window, excursion_step:
        Besides the excursion at exit, sample every trade's excursion at day
        offsets ``excursion_step, 2 * excursion_step, ...`` below
        ``excursion_window`` after its entry (0 samples nothing).
    drop_missing:
        Held position columns that have no usable price column (absent from
        ``prices`` or without a single price) are an error unless this is
        ``True``, in which case they are dropped before the run. The remaining
        weights of each row are then rescaled among themselves.

    Returns
    -------
    Report
        Equity curve, trades with their excursions, next-day actions and
        statistics of the run.

    Notes
    -----
    A stock traded on a day without a price is traded at its last known price;
    bought before its first price, it is valued at cost until that price
    arrives. Trade returns are price returns from entry to exit (before
    commission and tax); with ``touched_exit`` the actual fill of a stop or
    take exit is at the level, not at that day's price.
    """
    settings = _settings(commission, sell_tax, stop_loss, take_profit, touched_exit, position_limit,
                         excursion_window, excursion_step, drop_missing)
    return simulate(prepare(prices, position, rebalance, drop_missing=drop_missing), settings)


@dataclass(frozen=True)
class Prepared:
    """Frames checked and converted to the engine's arrays, ready for any number of runs."""

    price_values: np.ndarray
    price_index: np.ndarray
    weights: np.ndarray
    pos_index: np.ndarray
    columns: np.ndarray
    pos_names: list[str]
    dates: pd.DatetimeIndex
    resample: np.ndarray
    rebalance: str


def _settings(commission: Any, sell_tax: Any, stop_loss: Any, take_profit: Any, touched_exit: Any,
              position_limit: Any, excursion_window: Any, excursion_step: Any,
              drop_missing: Any = False) -> dict[str, Any]:
    """The run's parameters checked and in the engine's units."""
    if not isinstance(touched_exit, (bool, np.bool_)):
        raise TypeError(f"touched_exit: expected a bool, got {type(touched_exit).__name__}")
    if not isinstance(drop_missing, (bool, np.bool_)):
        raise TypeError(f"drop_missing: expected a bool, got {type(drop_missing).__name__}")
    return {
        "commission": _rate(commission, "commission"),
        "sell_tax": _rate(sell_tax, "sell_tax"),
        "stop_loss": _exit_level(stop_loss, "stop_loss", upper=1.0),
        "take_profit": _exit_level(take_profit, "take_profit", upper=math.inf),
        "touched_exit": bool(touched_exit),
        "position_limit": _positive(position_limit, "position_limit"),
        "excursion_window": _small_int(excursion_window, "excursion_window", minimum=0),
        "excursion_step": _small_int(excursion_step, "excursion_step", minimum=1),
    }


def prepare(prices: pd.DataFrame, position: pd.DataFrame, rebalance: RebalanceSpec = None, *,
            drop_missing: bool = False) -> Prepared:
    """Checks the frames and converts them once; `simulate` runs them with any settings."""
    prices = _require_frame(prices, "prices")
    position = _require_frame(position, "position")

    _check_index(prices.index, "prices")
    _check_index(position.index, "position")
    _check_same_tz(prices.index.tz, position.index.tz, "position")

    price_names = _column_names(prices, "prices")
    pos_names = _column_names(position, "position")

    price_values = _price_matrix(prices)
    weights = _weight_matrix(position)

    # Columns that are never held cannot be mispriced; those that are held
    # need a price column with at least one price.
    held = (weights != 0).any(axis=0)
    price_pos = {name: i for i, name in enumerate(price_names)}
    absent = [n for n, h in zip(pos_names, held) if h and n not in price_pos]
    empty = [
        n for n, h in zip(pos_names, held)
        if h and n in price_pos and np.isnan(price_values[:, price_pos[n]]).all()
    ]
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
    weights = np.ascontiguousarray(weights[:, keep])
    _check_row_sums(weights, position.index)

    # The engine only needs the price columns of the position's stocks; giving
    # them in the position's order keeps the two column lists identical.
    price_values = np.ascontiguousarray(price_values[:, [price_pos[n] for n in pos_names]])

    price_index = _to_ns(prices.index)
    pos_index = _to_ns(position.index)
    if pos_index[0] > price_index[-1]:
        raise ValueError(
            f"position: the first position date {position.index[0]} is after the last price date "
            f"{prices.index[-1]}; nothing would be simulated"
        )
    resample = _rebalance_dates(rebalance, prices.index, position.index)
    for array in (price_values, price_index, weights, pos_index, resample):
        array.flags.writeable = False  # shared by every run of a sweep
    return Prepared(price_values, price_index, weights, pos_index, np.array(pos_names, dtype=object),
                    pos_names, prices.index, resample, _describe_rebalance(rebalance))


def simulate(prepared: Prepared, settings: dict[str, Any]) -> Report:
    """Runs the engine on prepared arrays with settings checked by `_settings`."""
    sl, tp = settings["stop_loss"], settings["take_profit"]
    window, step = settings["excursion_window"], settings["excursion_step"]
    columns, price_index = prepared.columns, prepared.price_index
    run = run_engine(
        prepared.price_values,
        price_index,
        columns,
        prepared.weights,
        prepared.pos_index,
        columns,
        prepared.resample,
        fee_ratio=settings["commission"],
        tax_ratio=settings["sell_tax"],
        stop_loss=-sl if sl is not None else -math.inf,
        take_profit=tp if tp is not None else math.inf,
        touched_exit=settings["touched_exit"],
        position_limit=settings["position_limit"],
        tessary_window=window,
        tessary_window_step=step,
    )
    rows, records, operations = run.trade_rows, run.records, run.operations

    start = int(np.searchsorted(price_index, prepared.pos_index[0], side="left"))
    dates, pos_names = prepared.dates, prepared.pos_names
    return Report(
        pd.Series(np.asarray(run.equity)[start:], index=dates[start:], name="equity"),
        _trade_frame(rows, records, dates, pos_names, window, step),
        actions=_by_name(operations["actions"], pos_names, str, "action"),
        weights=_final_weights(operations["weights"], pos_names),
        next_weights=_next_weights(operations["next_weights"], pos_names),
        params={**settings, "rebalance": prepared.rebalance},
    )


# ---------------------------------------------------------------------------
# argument checks


def _preview(names: list[str], limit: int = 10) -> str:
    shown = ", ".join(repr(n) for n in names[:limit])
    more = len(names) - limit
    return f"{shown} and {more} more" if more > 0 else shown


def _require_frame(frame: Any, name: str) -> pd.DataFrame:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name}: expected a pandas DataFrame, got {type(frame).__name__}")
    if frame.shape[0] == 0 or frame.shape[1] == 0:
        raise ValueError(f"{name}: the frame is empty ({frame.shape[0]} rows, {frame.shape[1]} columns)")
    if isinstance(frame.columns, pd.MultiIndex):
        raise TypeError(f"{name}: columns must be a flat index of stock ids, not a MultiIndex")
    return frame


def _real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a number, got {type(value).__name__}")
    out = float(value)
    if math.isnan(out):
        raise ValueError(f"{name}: must not be NaN")
    return out


def _rate(value: Any, name: str) -> float:
    out = _real(value, name)
    if not 0.0 <= out < 1.0:
        raise ValueError(f"{name}: must be a rate in [0, 1), got {out!r}")
    return out


def _positive(value: Any, name: str) -> float:
    out = _real(value, name)
    if not 0.0 < out < math.inf:
        raise ValueError(f"{name}: must be a positive finite number, got {out!r}")
    return out


def _exit_level(value: Any, name: str, upper: float) -> float | None:
    if value is None:
        return None
    out = abs(_real(value, name))
    if not 0.0 < out < upper:
        bound = "below 1" if upper == 1.0 else "finite"
        raise ValueError(f"{name}: must be a nonzero fraction {bound} (e.g. 0.1 for 10%), got {value!r}")
    return out


def _small_int(value: Any, name: str, minimum: int) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected an integer, got bool")
    try:
        out = operator.index(value)
    except TypeError:
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__}") from None
    if not minimum <= out <= _INT32_MAX:
        raise ValueError(f"{name}: must be between {minimum} and {_INT32_MAX}, got {out}")
    return out


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


def _check_same_tz(expected: Any, got: Any, name: str) -> None:
    if str(expected) != str(got):
        raise ValueError(
            f"{name}: time zone {got} does not match the prices' time zone {expected}; "
            "convert both to the same zone (or both naive) first"
        )


def _column_names(frame: pd.DataFrame, name: str) -> list[str]:
    labels = frame.columns
    if labels.has_duplicates:
        dups = labels[labels.duplicated()].unique()
        raise ValueError(f"{name}: duplicated column names: {_preview([str(d) for d in dups])}")
    names = [str(c) for c in labels]
    if len(set(names)) != len(names):
        clash = sorted(n for n, count in Counter(names).items() if count > 1)
        raise ValueError(f"{name}: different column labels share the name {_preview(clash)} as text")
    return names


def _price_matrix(prices: pd.DataFrame) -> np.ndarray:
    bad = [
        str(c) for c, dt in prices.dtypes.items()
        if not ptypes.is_numeric_dtype(dt) or ptypes.is_bool_dtype(dt) or ptypes.is_complex_dtype(dt)
    ]
    if bad:
        raise TypeError(f"prices: non-numeric columns: {_preview(bad)}")
    values = np.ascontiguousarray(prices.to_numpy(dtype=np.float64, na_value=np.nan))
    with np.errstate(invalid="ignore"):
        invalid = np.isinf(values) | (values <= 0)
    if invalid.any():
        r, c = np.argwhere(invalid)[0]
        raise ValueError(
            f"prices: every price must be positive and finite (NaN marks a missing price); "
            f"found {values[r, c]!r} for {prices.columns[c]!r} on {prices.index[r]} "
            f"({int(invalid.sum())} such values)"
        )
    return values


def _weight_matrix(position: pd.DataFrame) -> np.ndarray:
    bad = [
        str(c) for c, dt in position.dtypes.items()
        if not ptypes.is_numeric_dtype(dt) or ptypes.is_complex_dtype(dt)
    ]
    if bad:
        raise TypeError(f"position: columns that are neither bool nor numeric: {_preview(bad)}")
    values = np.ascontiguousarray(position.to_numpy(dtype=np.float64, na_value=np.nan))
    invalid = ~np.isfinite(values)
    if invalid.any():
        r, c = np.argwhere(invalid)[0]
        raise ValueError(
            f"position: weights must be finite; found {values[r, c]!r} for {position.columns[c]!r} "
            f"on {position.index[r]} ({int(invalid.sum())} such values; use .fillna(0) for 'not held')"
        )
    return values


def _check_row_sums(weights: np.ndarray, index: pd.DatetimeIndex) -> None:
    # Rows are divided by their sum: a zero or negative sum would blow the
    # targets up or flip their signs.
    sums = weights.sum(axis=1)
    bad = (weights != 0).any(axis=1) & ~(sums > 0)
    if bad.any():
        r = int(np.argmax(bad))
        raise ValueError(
            f"position: the weights of a row with holdings must sum to a positive number (they are "
            f"scaled to sum to one); the row of {index[r]} sums to {sums[r]!r} ({int(bad.sum())} such rows)"
        )


def _to_ns(index: pd.DatetimeIndex) -> np.ndarray:
    return np.ascontiguousarray(index.as_unit("ns").asi8, dtype=np.int64)


# ---------------------------------------------------------------------------
# rebalance schedule


def _rebalance_dates(spec: RebalanceSpec, price_dates: pd.DatetimeIndex, pos_dates: pd.DatetimeIndex) -> np.ndarray:
    if spec is None:
        return _to_ns(pos_dates)
    if isinstance(spec, (str, pd.DateOffset)):
        return _to_ns(_period_ends(spec, price_dates))
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
    _check_same_tz(price_dates.tz, dates.tz, "rebalance")
    # The engine walks the dates with a forward-only cursor: give them sorted.
    return _to_ns(dates.unique().sort_values())


def _offset(spec: str | pd.DateOffset) -> pd.DateOffset:
    if isinstance(spec, str):
        legacy = _LEGACY_ALIAS.match(spec)
        if legacy:
            spec = legacy.group(1) + _LEGACY_TARGET[legacy.group(2)] + (legacy.group(3) or "")
        try:
            return to_offset(spec)
        except ValueError:
            raise ValueError(f"rebalance: {spec!r} is not a pandas offset alias (try 'W', 'M', 'Q')") from None
    return spec


def _period_ends(spec: str | pd.DateOffset, dates: pd.DatetimeIndex) -> pd.DatetimeIndex:
    """Period ends from the first price date to the last.

    The period holding the last price date counts as ended too when no
    business day is left between that date and the period end, so that a run
    on data up to a month's last trading day reports that month's rebalance
    as the next day's actions.
    """
    offset = _offset(spec)
    first, last = dates[0].normalize(), dates[-1]
    ends = pd.date_range(first, last, freq=offset)
    closing = offset.rollforward(last.normalize())
    if closing > last and last.normalize() + pd.offsets.BDay(1) > closing:
        ends = ends.append(pd.DatetimeIndex([closing]))
    if len(ends) == 0:
        return dates[:0]
    return ends


def _describe_rebalance(spec: RebalanceSpec) -> str:
    if spec is None:
        return "every position date"
    if isinstance(spec, (str, pd.DateOffset)):
        return str(spec)
    return "explicit dates"


# ---------------------------------------------------------------------------
# results


def _trade_frame(
    rows: list, records: list, dates: pd.DatetimeIndex, names: list[str], window: int, step: int
) -> pd.DataFrame:
    n_dates = len(dates)
    groups = (window - 1) // step + 2
    entry_rows = np.array([int(r[7]) for r in rows], dtype=np.int64)
    exit_rows = np.array([int(r[8]) for r in rows], dtype=np.int64)
    closed = exit_rows >= 0

    def at(rows_: np.ndarray, valid: np.ndarray) -> pd.DatetimeIndex:
        picked = dates.take(np.where(valid, rows_, 0))
        return picked.where(valid, pd.NaT)

    frame = pd.DataFrame(
        {
            "stock": pd.Series([str(r[0]) for r in rows], dtype=object),
            "entry_date": at(entry_rows, np.ones(len(rows), bool)),
            "exit_date": at(exit_rows, closed),
            "entry_signal_date": at(entry_rows - 1, entry_rows > 0),
            "exit_signal_date": at(exit_rows - 1, exit_rows > 0),
            "entry_value": np.array([float(r[5]) for r in rows], dtype=np.float64),
            "holding_days": np.where(closed, exit_rows, n_dates - 1) - entry_rows,
        }
    )
    matrix = np.array(records, dtype=np.float64).reshape(len(rows), groups, len(EXCURSION_FIELDS))
    unwritten = (matrix == -1.0).all(axis=2)
    matrix[unwritten] = np.nan
    for i, field in enumerate(EXCURSION_FIELDS):
        frame[field] = matrix[:, -1, i]
    for g in range(1, groups - 1):
        for i, field in enumerate(EXCURSION_FIELDS):
            frame[f"{field}_{g * step}d"] = matrix[:, g, i]
    # An exit that leaves a zero entry in the book must not come back as an
    # open trade with the same entry.
    opened = set(zip(frame["stock"][closed], entry_rows[closed]))
    duplicate = ~closed & np.array([(s, e) in opened for s, e in zip(frame["stock"], entry_rows)], dtype=bool)
    return frame[~duplicate].reset_index(drop=True)


def _by_name(mapping: dict, names: list[str], cast: type, label: str) -> pd.Series:
    return pd.Series(
        [cast(v) for v in mapping.values()],
        index=pd.Index([names[int(k)] for k in mapping], dtype=object, name="stock"),
        dtype=object if cast is str else np.float64,
        name=label,
    )


def _final_weights(mapping: dict, names: list[str]) -> pd.Series:
    held = {k: v for k, v in mapping.items() if v != 0.0}
    return _by_name(held, names, float, "weight")


def _next_weights(mapping: dict, names: list[str]) -> pd.Series:
    raw = _by_name(mapping, names, float, "next_weight")
    total = raw.sum()
    return raw / total if total > 0 else raw
