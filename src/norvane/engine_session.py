"""One engine run, from the call to its results, under the process-wide engine lock.

The native engine leaves a run's trades, excursion records and next-day
operations in its modules' state until the next run replaces them. Reading
them is therefore part of the run: a run started by another thread between
``backtest_`` and the reads would hand this caller its trades. `run_engine`
makes the steps one, and is the only way the pandas layer and the sweeps
reach the engine.
"""

from __future__ import annotations

import contextlib
import gc
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from norvane import ravelin, tessary

__all__ = ["EngineRun", "run_engine"]

# Re-entrant: a run never calls back into the pandas layer, but if it did,
# the engine's own guard raises a clear RuntimeError instead of a deadlock.
_ENGINE_LOCK = threading.RLock()


@dataclass(frozen=True)
class EngineRun:
    """What one run leaves behind, copied out of the engine's module state.

    ``trades`` holds ``[stock index, entry row, exit row]`` per trade (exit
    row -1 while open), ``entry_values`` the value each was opened with and
    ``records`` its excursion record: the analysis module's three aligned
    lists.
    """

    equity: NDArray[np.float64]
    trades: list[list[int | np.int64]]
    entry_values: list[float]
    records: list[NDArray[np.float64]]
    operations: dict[str, dict[int, Any]]


def run_engine(price_values: np.ndarray, price_index: np.ndarray, price_columns: np.ndarray,
               pos_values: np.ndarray, pos_index: np.ndarray, pos_columns: np.ndarray,
               resample: np.ndarray, **settings: Any) -> EngineRun:
    """Runs ``backtest_`` with these arrays and settings and takes its results.

    What the modules still held afterwards (the trade lists, the records and
    the analysis module's reference to the price matrix) is released, so
    that memory comes back once the caller drops its results.
    """
    with _ENGINE_LOCK, _collector_paused():
        try:
            equity = ravelin.backtest_(price_values, price_index, price_columns, pos_values, pos_index,
                                       pos_columns, resample, **settings)
            run = EngineRun(equity, list(tessary.trades), list(tessary.trade_positions), list(tessary.tessary),
                            ravelin.get_stock_operations())
        finally:
            _release_analysis_state()
    if not len(run.trades) == len(run.entry_values) == len(run.records):
        raise RuntimeError(
            f"the excursion analysis returned {len(run.records)} records and {len(run.entry_values)} entry "
            f"values for {len(run.trades)} trades"
        )
    return run


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """A run makes a container per trade and no reference cycle: the cyclic
    collector would only walk the heap again and again. The caller's
    setting comes back on every exit."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _release_analysis_state() -> None:
    for name in ("trades", "trade_positions", "tessary"):
        getattr(tessary, name).clear()
    tessary.prices = None
