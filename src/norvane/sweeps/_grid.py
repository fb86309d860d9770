"""A sweep's grid and its results frame.

`expand` turns a grid (a dict of lists, or a list of dicts) into runs;
`Strategy` reads the keyword parameters a callable position takes;
`plan` checks each run's settings and groups the runs by what they prepare;
`results_frame` puts the outcomes in grid order, each parameter as the grid
gave it. `walk_forward` expands its grid here too.
"""

from __future__ import annotations

import inspect
import itertools
import pickle
import sys
from collections.abc import Iterable, Mapping
from typing import Any, Callable, Union

import numpy as np
import pandas as pd

from norvane._statistics import STAT_NAMES, daily_returns
from norvane.settings import ALL_SETTINGS, FRAME_SETTINGS, RUN_SETTINGS, Settings
from norvane.sweeps._runs import Outcome, Preparation, Task, callable_name, describe

__all__ = ["Grid", "NOT_PARAMETERS", "Strategy", "check_parameters", "date_dtype_of", "expand", "frame_settings",
           "parameter_value", "plan", "results_frame", "run_settings"]

Grid = Union[Mapping[str, Any], Iterable[Mapping[str, Any]]]  # a dict of lists, or a list of dicts

_DATE_STATS = ("start", "end", "max_drawdown_peak", "max_drawdown_trough")
# Counts stay integers beside a failed run: a nullable integer column then.
_COUNT_STATS = ("trades", "open_trades")


NOT_PARAMETERS = frozenset({*STAT_NAMES, "error", "equity", "returns"})


def parameter_value(value: Any) -> Any:
    if isinstance(value, np.generic):
        value = value.item()
    if value is pd.NA or (isinstance(value, float) and value != value):
        return None
    return value


def expand(grid: Grid) -> tuple[list[dict[str, Any]], list[str]]:
    """The runs of ``grid`` in order, and the parameter names in first-seen order."""
    if isinstance(grid, Mapping):
        names = list(grid)
        columns = []
        for name in names:
            values = grid[name]
            if isinstance(values, (str, bytes, Mapping)) or not isinstance(values, Iterable):
                raise TypeError(
                    f"grid[{name!r}]: expected a list of values to try, got {type(values).__name__} "
                    f"(a value for every run goes into the keyword arguments instead)"
                )
            columns.append(list(values))
        runs = [dict(zip(names, combo)) for combo in itertools.product(*columns)]
    elif isinstance(grid, Iterable) and not isinstance(grid, (str, bytes)):
        runs = []
        for k, run in enumerate(grid):
            if not isinstance(run, Mapping):
                raise TypeError(f"grid[{k}]: expected a dict of parameters, got {type(run).__name__}")
            runs.append(dict(run))
        names = list(dict.fromkeys(name for run in runs for name in run))
    else:
        raise TypeError(f"grid: expected a dict of lists or a list of dicts, got {type(grid).__name__}")
    bad = [n for n in names if not isinstance(n, str)]
    if bad:
        raise TypeError(f"grid: parameter names must be strings, got {bad!r}")
    return runs, names


class Strategy:
    """A callable position: its name and the keyword parameters a grid may vary."""

    def __init__(self, function: Callable[..., Any]) -> None:
        self.function = function
        self.name = callable_name(function)
        try:
            parameters = list(inspect.signature(function).parameters.values())
        except (TypeError, ValueError) as exc:
            raise TypeError(f"position: cannot read the parameters of {self.name}: {exc}") from None
        kinds = inspect.Parameter
        if not parameters or parameters[0].kind not in (kinds.POSITIONAL_ONLY, kinds.POSITIONAL_OR_KEYWORD,
                                                        kinds.VAR_POSITIONAL):
            raise TypeError(f"position: {self.name} must take the prices as its first argument")
        rest = parameters[1:] if parameters[0].kind is not kinds.VAR_POSITIONAL else parameters
        self.any_name = any(p.kind is kinds.VAR_KEYWORD for p in rest)
        named = [p for p in rest if p.kind in (kinds.POSITIONAL_OR_KEYWORD, kinds.KEYWORD_ONLY)]
        self.names = [p.name for p in named]
        self.required = [p.name for p in named if p.default is p.empty]
        unreachable = [p.name for p in rest if p.kind is kinds.POSITIONAL_ONLY and p.default is p.empty]
        clash = [n for n in self.names if n in ALL_SETTINGS]
        if unreachable:
            raise TypeError(f"position: {self.name} has positional-only parameters {unreachable} without "
                            "defaults; a sweep passes strategy parameters by name")
        if clash:
            raise TypeError(f"position: {self.name} has parameters named like backtest settings "
                            f"({', '.join(clash)}); rename them so that a grid can tell them apart")

    def takes(self, name: str) -> bool:
        return name in self.names or (self.any_name and name not in ALL_SETTINGS)

    def check_shippable(self, backend: str) -> None:
        """Worker processes get the callable by pickle: fail here, not in every run."""
        try:
            if backend == "dask":
                from distributed.protocol import pickle as dask_pickle

                dask_pickle.dumps(self.function)  # type: ignore[no-untyped-call]
                return
            blob = pickle.dumps(self.function)
        except Exception as exc:
            raise TypeError(
                f"position: the strategy {self.name} cannot be pickled for the worker processes "
                f"({describe(exc)}); define it with def at the top level of a module or script, "
                "or use backend='serial'"
            ) from None
        main = sys.modules.get("__main__")
        if b"__main__" in blob and not getattr(main, "__file__", None):
            raise TypeError(
                f"position: the strategy {self.name} is defined in an interactive session, where worker "
                "processes cannot find it; define it in a module and import it, or use backend='serial' "
                "or backend='dask'"
            )


def check_parameters(names: list[str], fixed: dict[str, Any], rebalance: Any, strategy: Strategy | None) -> None:
    for source, given in (("grid", names), ("sweep()", list(fixed))):
        unknown = [n for n in given if n not in ALL_SETTINGS and not (strategy and strategy.takes(n))]
        if unknown:
            known = f"backtest settings: {', '.join(ALL_SETTINGS)}"
            if strategy is not None:
                known += f"; parameters of {strategy.name}: {', '.join(strategy.names) or 'none'}"
            else:
                known += " (pass position as a callable to vary the strategy too)"
            raise TypeError(f"{source}: unknown parameter(s) {', '.join(map(repr, unknown))}; {known}")
    both = [n for n in names if n in fixed]
    if rebalance is not None and "rebalance" in names:
        both.append("rebalance")
    if both:
        raise TypeError(f"{', '.join(map(repr, both))}: given both in the grid and as a fixed keyword argument")
    if strategy is not None:
        missing = [n for n in strategy.required if n not in names and n not in fixed]
        if missing:
            raise TypeError(f"position: {strategy.name} needs {', '.join(missing)}: give them in the grid "
                            "or as keyword arguments of sweep()")


def frame_settings(values: Mapping[str, Any], rebalance: Any) -> dict[str, Any]:
    """A run's frame settings (its ``rebalance`` from the grid, else the sweep's)."""
    frame = {name: values.get(name, default) for name, default in FRAME_SETTINGS.items()}
    if frame["rebalance"] is None:
        frame["rebalance"] = rebalance
    return frame


def run_settings(values: Mapping[str, Any]) -> Settings:
    """A run's checked engine settings."""
    return Settings(**{name: values.get(name, default) for name, default in RUN_SETTINGS.items()})


def plan(runs: list[dict[str, Any]], fixed: dict[str, Any], rebalance: Any,
          strategy: Strategy | None) -> tuple[list[Task], dict[int, Outcome]]:
    """A task per run, grouped by what the runs prepare; runs whose settings
    are invalid get their outcome here and no task.

    Settings are checked here, in the caller's process, so that a warning
    about them reaches the caller whatever the backend.
    """
    groups: dict[Any, int] = {}
    tasks: list[Task] = []
    outcomes: dict[int, Outcome] = {}
    for i, params in enumerate(runs):
        values = {**fixed, **params}
        preparation = Preparation({n: v for n, v in params.items() if n not in ALL_SETTINGS},
                                  frame_settings(values, rebalance))
        try:
            settings = run_settings(values)
        except Exception as exc:
            outcomes[i] = (None, None, describe(exc))
            continue
        varied = [(n, params[n]) for n in sorted(params) if n in FRAME_SETTINGS or (strategy and strategy.takes(n))]
        tasks.append(Task(i, groups.setdefault(group_key(varied, i), len(groups)), preparation, settings))
    return tasks, outcomes


def group_key(varied: list[tuple[str, Any]], index: int) -> Any:
    """Equal for runs that prepare the same; values of different types never
    match (a strategy may treat 1 and True apart)."""
    key = tuple((name, type(value).__qualname__, value) for name, value in varied)
    try:
        hash(key)
        return key
    except TypeError:
        pass
    try:
        return pickle.dumps(varied, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception:
        return ("alone", index)


def results_frame(runs: list[dict[str, Any]], names: list[str], outcomes: list[Outcome], keep_equity: bool,
                  keep_returns: bool, date_dtype: Any) -> pd.DataFrame:
    n = len(runs)
    data: dict[str, Any] = {name: parameter_column([run.get(name) for run in runs]) for name in names}
    # A run that failed has NaN (NaT for dates) for every statistic; when
    # every run failed, each column still gets the dtype it would have had.
    all_failed = all(stats is None for stats, _, _ in outcomes)
    any_failed = any(stats is None for stats, _, _ in outcomes)
    for name in STAT_NAMES:
        missing: Any
        missing, dtype = (pd.NaT, date_dtype) if name in _DATE_STATS else (np.nan, np.float64)
        counts = name in _COUNT_STATS and any_failed
        if counts:
            missing, dtype = pd.NA, pd.Int64Dtype()
        column = [stats[name] if stats is not None else missing for stats, _, _ in outcomes]
        data[name] = pd.Series(column, dtype=dtype) if all_failed or counts else column
    errors = np.empty(n, dtype=object)
    errors[:] = [error for _, _, error in outcomes]
    frame = pd.DataFrame(data, index=pd.RangeIndex(n))
    frame["error"] = pd.Series(errors, dtype=object)
    if keep_equity:
        curves = np.empty(n, dtype=object)
        for i, (_, equity, _) in enumerate(outcomes):
            curves[i] = equity
        frame["equity"] = pd.Series(curves, dtype=object)
    if keep_returns:
        returns = np.empty(n, dtype=object)
        for i, (_, equity, _) in enumerate(outcomes):
            returns[i] = daily_returns(equity) if equity is not None else None
        frame["returns"] = pd.Series(returns, dtype=object)
    return frame


def parameter_column(values: list[Any]) -> Any:
    """A parameter's values as the grid gave them: a column that mixes None
    or types in keeps each value (object dtype), so that None is not shown
    as NaN and an int not as a float."""
    kinds = {type(value) for value in values}
    if len(kinds) > 1 or type(None) in kinds:
        column = np.empty(len(values), dtype=object)
        column[:] = values
        return pd.Series(column, dtype=object)
    return values


def date_dtype_of(prices: Any) -> Any:
    """The dtype of the date statistics: that of the price index."""
    index = getattr(prices, "index", None)
    return index.dtype if isinstance(index, pd.DatetimeIndex) else np.dtype("datetime64[ns]")
