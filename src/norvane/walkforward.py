"""Walk-forward validation: choose on one window, trade the choice on the next.

The price rows are cut into consecutive windows: a training window, then
the test window that follows it. On each training window a grid of
parameters is swept (any sweep backend) and the best row by a statistic is
chosen; that choice then trades the test window. The test windows' equity,
chained, is the out-of-sample record of the whole procedure.

No look-ahead: each window trades only its own rows of ``prices`` and the
position rows dated up to the window's end. A strategy given as a callable,
``make_position(prices, **params)`` as for `norvane.sweep`, is called with
the prices up to the window's last row (the history before the window
included, so its signals can warm up) and never sees a later one. Every
test window starts from cash and trades the position row in force at its
start and those after it, so holdings do not carry across window
boundaries.
"""

from __future__ import annotations

import functools
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any, Callable, Union

import numpy as np
import pandas as pd
from pandas.tseries.frequencies import to_offset

from norvane import _interrupts as interrupts
from norvane.api import backtest
from norvane.report import Report
from norvane._schedule import offset as schedule_offset
from norvane._statistics import STAT_NAMES
from norvane.settings import ALL_SETTINGS
from norvane.sweeps._grid import expand
from norvane.sweeps._runs import describe
from norvane.sweeps._threads import on_threads
from norvane.sweeps import sweep, usable_cpus

__all__ = ["WalkForward", "walk_forward"]

Span = Union[int, str, pd.offsets.BaseOffset]

# The statistics a window may be chosen by: the numeric ones (the largest wins).
METRICS = tuple(name for name in STAT_NAMES
                if name not in ("start", "end", "max_drawdown_peak", "max_drawdown_trough"))


@dataclass(frozen=True)
class WalkForward:
    """The result of `walk_forward`.

    windows:
        One row per window: its train and test dates, the chosen parameters,
        the metric in sample (on the training window) and out of sample (on
        the test window).
    equity:
        The test windows' equity curves chained into one, starting at 1.0.
    stats:
        `Report.stats()` of that out-of-sample equity.
    degradation:
        Out-of-sample minus in-sample metric per window.
    """

    windows: pd.DataFrame
    equity: pd.Series
    stats: pd.Series
    degradation: pd.Series


@interrupts.guarded()
def walk_forward(
    prices: pd.DataFrame,
    position: pd.DataFrame | Callable[..., pd.DataFrame],
    grid: Mapping[str, Any] | list[Mapping[str, Any]],
    *,
    train: Span,
    test: Span,
    anchored: bool = False,
    metric: str = "sharpe",
    backend: str = "threads",
    workers: int | None = None,
    client: Any = None,
    **fixed: Any,
) -> WalkForward:
    """Walk-forward validation of a parameter grid.

    Parameters
    ----------
    prices, position, grid, **fixed:
        As for `norvane.sweep`: ``position`` is a frame or a callable
        ``make_position(prices, **strategy_params)`` whose parameters the
        grid may vary. Each window calls it with the prices up to the
        window's last row.
    train, test:
        Window lengths: an int counts price rows, an offset alias or
        ``DateOffset`` spans calendar time.
    anchored:
        ``True``: every training window starts at the first price row.
    metric:
        The statistic of `Report.stats()` that picks the grid row (the
        largest wins, so ``"annual_volatility"`` picks the most volatile;
        runs that fail or give NaN never win). A date statistic is refused.
    backend, workers, client:
        ``"threads"`` (default): the windows run side by side on ``workers``
        threads (default: the usable CPU count), each sweeping its training
        window in its own thread. Any other sweep backend, as for
        `norvane.sweep`, sweeps one window after another
        (``"processes"`` starts its workers afresh for every window).
    """
    if not isinstance(prices, pd.DataFrame) or not isinstance(prices.index, pd.DatetimeIndex):
        raise TypeError("prices: expected a pandas DataFrame with a DatetimeIndex")
    if metric not in METRICS:
        raise ValueError(f"metric: expected a statistic of Report.stats() that ranks runs, one of "
                         f"{', '.join(METRICS)}; got {metric!r}")
    grid = _reusable(grid)
    windows = _windows(prices.index, train, test, anchored)
    if not windows:
        raise ValueError(f"train, test: the {len(prices)} price rows hold no training window followed by a test window")
    def one_window(rows: tuple[slice, slice], window_backend: str) -> tuple[dict[str, Any], pd.Series]:
        return _walk_window(prices, position, grid, rows, metric, window_backend, workers, client, fixed)

    if backend == "threads":
        # The windows are independent: each runs on a thread of its own, its
        # sweep in that thread.
        width = min(workers or usable_cpus(), len(windows))
        done: dict[int, tuple[dict[str, Any], pd.Series] | Exception] = {}
        on_threads([functools.partial(_outcome, one_window, rows, "serial") for rows in windows], width,
                   done.__setitem__)
        results: list[tuple[dict[str, Any], pd.Series]] = []
        for k in range(len(windows)):
            outcome = done[k]
            if isinstance(outcome, Exception):
                raise outcome  # the first window that failed, as one after another
            results.append(outcome)
    else:
        results = []
        for rows in windows:
            interrupts.checkpoint()
            results.append(one_window(rows, backend))
    table = pd.DataFrame([row for row, _ in results])
    equity = _chain([curve for _, curve in results])
    return WalkForward(table, equity, Report(equity).stats(),
                       (table["out_of_sample"] - table["in_sample"]).rename("degradation"))


def _outcome(call: Callable[..., Any], *args: Any) -> Any:
    """What the call returns, or the Exception it raised (to be raised in window order)."""
    try:
        return call(*args)
    except MemoryError:
        raise
    except Exception as exc:
        return exc


def _walk_window(prices: pd.DataFrame, position: Any, grid: Any, rows: tuple[slice, slice], metric: str,
                 backend: str, workers: int | None, client: Any,
                 fixed: dict[str, Any]) -> tuple[dict[str, Any], pd.Series]:
    """Chooses on the window's training rows, trades the choice on its test rows."""
    train_rows, test_rows = rows
    train_prices, test_prices = prices.iloc[train_rows], prices.iloc[test_rows]
    results = sweep(train_prices, _window_position(position, prices, train_rows), grid, backend=backend,
                    workers=workers if backend != "serial" else None, client=client, progress=False, **fixed)
    scores = pd.to_numeric(results[metric], errors="coerce")
    if scores.isna().all():
        raise RuntimeError(f"no run on the training window ending {train_prices.index[-1]} gave a {metric}: "
                           f"{results['error'].dropna().iloc[0] if results['error'].notna().any() else 'all NaN'}")
    best = int(np.nanargmax(scores.to_numpy(dtype=np.float64)))  # the sweep's rows are numbered 0, 1, ...
    chosen = expand(grid)[0][best]  # as given: a frame turns None into NaN
    try:
        report = _run(test_prices, _test_position(position, prices, test_rows, {**fixed, **chosen}),
                      {n: v for n, v in {**fixed, **chosen}.items() if n in ALL_SETTINGS})
    except MemoryError:
        raise
    except Exception as exc:  # say which window, as for a training window
        raise RuntimeError(f"the test window {test_prices.index[0]} to {test_prices.index[-1]} failed with "
                           f"the parameters chosen for it, {chosen}: {describe(exc)}") from exc
    row = {
        "train_start": train_prices.index[0], "train_end": train_prices.index[-1],
        "test_start": test_prices.index[0], "test_end": test_prices.index[-1],
        **chosen, "in_sample": float(scores[best]), "out_of_sample": float(report.stats()[metric]),
    }
    return row, report.equity


def _windows(index: pd.DatetimeIndex, train: Span, test: Span, anchored: bool) -> list[tuple[slice, slice]]:
    """(train rows, test rows) of every window: each test window follows its
    training window, and the next test window follows it."""
    out = []
    test_start = _span_end(index, 0, train, "train")
    while test_start < len(index):
        test_end = min(_span_end(index, test_start, test, "test"), len(index))
        if test_end <= test_start:  # never with a period that moves forward; a guard against a hang
            raise ValueError(f"test: {test!r} spans no price row after {index[test_start]}")
        train_start = 0 if anchored else _span_start(index, test_start, train)
        out.append((slice(train_start, test_start), slice(test_start, test_end)))
        test_start = test_end
    return out


def _reusable(grid: Any) -> Any:
    """The grid as something every window can read again: a generator or an
    iterator (of runs, or of one setting's values) is read once, here."""
    if isinstance(grid, Mapping):
        return {name: list(values) if isinstance(values, Iterator) else values for name, values in grid.items()}
    return list(grid) if isinstance(grid, Iterable) and not isinstance(grid, (str, bytes)) else grid


def _offset(span: Span, name: str) -> Any:
    if isinstance(span, (bool, np.bool_)):
        raise TypeError(f"{name}: expected a number of rows or an offset, got bool")
    if isinstance(span, (int, np.integer)):
        if span < 1:
            raise ValueError(f"{name}: must be at least one row, got {span}")
        return int(span)
    offset = _readable_offset(span)
    if offset is None:
        raise ValueError(f"{name}: expected a number of rows or an offset alias such as '2YE', got {span!r}")
    probe = pd.Timestamp("2000-01-31")
    if not probe + offset > probe:
        raise ValueError(f"{name}: must be a period that moves forward in time, got {span!r}")
    return offset


def _readable_offset(span: Any) -> Any:
    if isinstance(span, (str, pd.offsets.BaseOffset)):
        return schedule_offset(span)  # the aliases a rebalance schedule reads
    try:
        return to_offset(span)  # a Timedelta, say
    except (TypeError, ValueError):
        return None


def _span_end(index: pd.DatetimeIndex, start: int, span: Span, name: str) -> int:
    """The row after a span that begins at row ``start``."""
    offset = _offset(span, name)
    if isinstance(offset, int):
        return start + offset
    return int(index.searchsorted(index[start] + offset, side="left"))


def _span_start(index: pd.DatetimeIndex, end: int, span: Span) -> int:
    """The first row of a span that ends before row ``end``."""
    offset = _offset(span, "train")
    if isinstance(offset, int):
        return max(end - offset, 0)
    return int(index.searchsorted(index[end] - offset, side="left"))


def _window_position(position: Any, prices: pd.DataFrame, rows: slice) -> Any:
    """What a window trades: the position rows known at the close of its
    last row, from the one in force at its first row on; for a strategy, one
    that makes them from the prices up to that last row alone."""
    first = prices.index[rows.start]
    if callable(position):
        return _SeenUpTo(position, prices.iloc[:rows.stop], first)
    return _from_window_start(position.loc[:prices.index[rows.stop - 1]], first)


def _from_window_start(position: Any, first: pd.Timestamp) -> Any:
    """The row in force at ``first``, dated on it, and the later rows.

    A window starts from cash, so the earlier rows would trade nothing, but a
    stock they held and the window never prices would be refused."""
    if not isinstance(position, pd.DataFrame):
        return position  # backtest says what is wrong with it
    try:
        before = position.index <= first
    except TypeError:
        return position  # dates that do not compare, as backtest will say
    if not before.any():
        return position
    in_force = position.loc[before].iloc[[-1]].set_axis(pd.DatetimeIndex([first]))
    return pd.concat([in_force, position.loc[~before]])


def _test_position(position: Any, prices: pd.DataFrame, rows: slice, params: dict[str, Any]) -> Any:
    window = _window_position(position, prices, rows)
    if isinstance(window, _SeenUpTo):
        return window(None, **{n: v for n, v in params.items() if n not in ALL_SETTINGS})
    return window


class _SeenUpTo:
    """A strategy that sees the prices up to a window's end, whatever prices
    it is called with.

    The sweep of a training window calls it with the window's prices; it
    calls the strategy with the window's history too, so that look-back
    signals are warm on the window's first day. It reads as the strategy it
    wraps to the sweep (its parameters and its name) and pickles to the
    worker processes with the history it holds.
    """

    def __init__(self, strategy: Callable[..., pd.DataFrame], history: pd.DataFrame, first: pd.Timestamp) -> None:
        self.__wrapped__ = self.func = strategy  # inspect.signature and the sweep's messages see the strategy
        self.history = history
        self.first = first

    def __call__(self, _window_prices: Any, **params: Any) -> Any:
        return _from_window_start(self.func(self.history, **params), self.first)


def _run(prices: pd.DataFrame, position: pd.DataFrame, params: dict[str, Any]) -> Report:
    """A test window's run, from cash."""
    params = dict(params)
    rebalance = params.pop("rebalance", None)
    return backtest(prices, position, rebalance, **params)


def _chain(curves: list[pd.Series]) -> pd.Series:
    level, pieces = 1.0, []
    for curve in curves:
        pieces.append(curve / curve.iloc[0] * level)
        level = float(pieces[-1].iloc[-1])
    chained: pd.Series = pd.concat(pieces)
    return chained.rename("equity")
