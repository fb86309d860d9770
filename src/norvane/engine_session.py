"""One engine run, from the call to its results, under the process-wide engine lock.

The native engine leaves a run's trades, excursion records and next-day
operations in its modules' state until the next run replaces them. Reading
them is therefore part of the run: a run started by another thread between
``backtest_`` and the reads would hand this caller its trades. `run_engine`
makes the three steps one, and is the only way the pandas layer and the
sweeps reach the engine.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Any

import numpy as np

from norvane import ravelin, tessary

__all__ = ["EngineRun", "run_engine"]

# Re-entrant: a run never calls back into the pandas layer, but if it did,
# the engine's own guard raises a clear RuntimeError instead of a deadlock.
_ENGINE_LOCK = threading.RLock()


@dataclass(frozen=True)
class EngineRun:
    """What one run leaves behind, copied out of the engine's module state."""

    equity: np.ndarray
    trade_rows: list
    records: list
    operations: dict


def run_engine(price_values: np.ndarray, price_index: np.ndarray, price_columns: np.ndarray,
               pos_values: np.ndarray, pos_index: np.ndarray, pos_columns: np.ndarray,
               resample: np.ndarray, **settings: Any) -> EngineRun:
    """Runs ``backtest_`` with these arrays and settings and reads its results."""
    with _ENGINE_LOCK:
        equity = ravelin.backtest_(price_values, price_index, price_columns, pos_values, pos_index,
                                   pos_columns, resample, **settings)
        rows, operations = ravelin.get_trade_stocks(pos_columns, price_index)
        records = list(tessary.tessary)
        operations = dict(operations)
    if len(records) != len(rows):
        raise RuntimeError(f"the excursion analysis returned {len(records)} records for {len(rows)} trades")
    return EngineRun(equity, rows, records, operations)
