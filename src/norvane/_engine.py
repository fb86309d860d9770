"""One engine run, from prepared arrays to the one object it leaves, and its report.

`run_engine` calls the engine's lean entry, ``ravelin.simulate``: it
releases the interpreter lock for the whole simulation, leaves nothing in
module state and returns every result as an array, so any number of threads
may run at once and a run costs no host object per trade. What it returns is
a `RunResult`: the run's columns with what is needed to read them (the
dates, the stock names, the first row the report keeps), which a
`norvane.Report` wraps and turns into frames on first use.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from norvane import ravelin
from norvane.report import Report
from norvane.settings import Settings

if TYPE_CHECKING:
    from norvane._frames import Prepared

__all__ = ["ACTION_NAMES", "RunResult", "run_engine", "simulate"]

#: The next-day actions by the engine's action code.
ACTION_NAMES = np.array(["enter", "exit", "sl_tp_exit"], dtype=object)



@dataclass(frozen=True)
class RunResult:
    """What one run leaves, as columns, and how to read them.

    One entry per trade in ``stocks``, ``entry_rows``, ``exit_rows`` (-1
    while open), ``entry_values`` and ``exit_reasons``, closed trades first
    in closing order;
    ``records`` holds each trade's excursion record as a row. The final
    weights, the next weights and the next-day actions come as pairs of
    stock numbers and values. Rows are rows of ``dates`` (the price index),
    stock numbers index ``names``; a report keeps the rows from ``start`` on.
    """

    equity: NDArray[np.float64]
    stocks: NDArray[np.int64]
    entry_rows: NDArray[np.int64]
    exit_rows: NDArray[np.int64]
    entry_values: NDArray[np.float64]
    exit_reasons: NDArray[np.int8]  # codes of `norvane._trade_table.EXIT_REASONS`
    records: NDArray[np.float64]
    weight_stocks: NDArray[np.int64]
    weights: NDArray[np.float64]
    next_weight_stocks: NDArray[np.int64]
    next_weights: NDArray[np.float64]
    action_stocks: NDArray[np.int64]
    actions: NDArray[np.object_]
    dates: pd.DatetimeIndex
    names: list[str]
    start: int
    window: int  # the excursion window and step of the records
    step: int
    params: dict[str, Any]


def run_engine(price_values: np.ndarray, price_index: np.ndarray, stock_columns: np.ndarray,
               weights: np.ndarray, pos_index: np.ndarray, weight_sums: np.ndarray, resample: np.ndarray, *,
               dates: pd.DatetimeIndex, names: list[str], start: int, params: dict[str, Any],
               **settings: Any) -> RunResult:
    """Runs the engine on these arrays with these ``simulate`` settings."""
    columns = ravelin.simulate(price_values, price_index, stock_columns, weights, pos_index, weight_sums, resample,
                               **settings)
    return RunResult(
        columns["equity"], columns["trade_stock"], columns["trade_entry_row"], columns["trade_exit_row"],
        columns["trade_entry_value"], columns["trade_exit_reason"], columns["records"], columns["weight_stock"],
        columns["weight"],
        columns["next_weight_stock"], columns["next_weight"], columns["action_stock"],
        ACTION_NAMES[columns["action"]], dates, names, start,
        settings.get("tessary_window", 0), settings.get("tessary_window_step", 1), params,
    )


def simulate(prepared: Prepared, settings: Settings) -> Report:
    """Runs the engine on prepared arrays with checked settings; the report
    wraps the run and makes its frames on first use."""
    window = settings.excursion_window
    if window > len(prepared.dates):
        raise ValueError(
            f"excursion_window: {window} days is longer than the {len(prepared.dates)} price rows; "
            "no trade could be sampled that far"
        )
    params = {**settings.as_dict(), "rebalance": prepared.rebalance, "retarget": prepared.retarget,
              "weights": "absolute" if prepared.absolute else "relative"}
    return Report.of_run(run_engine(
        prepared.price_values, prepared.price_index, prepared.stock_columns, prepared.weights, prepared.pos_index,
        prepared.weight_sums, prepared.resample, dates=prepared.dates, names=prepared.pos_names,
        start=prepared.start, params=params, retarget=prepared.retarget, absolute_weights=prepared.absolute,
        stop_from_entry=settings.stop_from == "entry", **settings.engine_arguments()))
