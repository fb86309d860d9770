"""Many backtests at once: a parameter grid run on all local cores (threads
or processes), serially or on a Dask cluster.

The grid may vary the strategy as well as the backtest settings: the
position is then a callable, ``make_position(prices, **strategy_params)``,
and the names of its keyword parameters join the settings' names. Runs that
share the strategy's parameters and the frame settings share one
preparation (the position frame and the engine's arrays), made once in each
process that runs them (`norvane.sweeping.runs`).

The engine releases the interpreter lock while it runs and keeps nothing
in module state, so the default backend runs on threads of this process,
sharing one copy of the inputs (`norvane.sweeping.threads`). Worker
processes suit a strategy that spends its time in pure Python, which holds
the lock: the sweep's inputs go to each worker process once, and each task
carries only its own few parameters.

Every backend returns the same frame for the same inputs, bit for bit: the
runs are the same computations whichever process makes them, and the rows
are put in grid order whatever order the runs finish in.
"""

from __future__ import annotations

import contextlib
import inspect
import itertools
import multiprocessing
import os
import pickle
import sys
from collections.abc import Iterable, Mapping
from typing import Any, Callable, Union

import numpy as np
import pandas as pd

from norvane import api, interrupts
from norvane.report import Report
from norvane.run_stats import STAT_NAMES
from norvane.settings import ALL_SETTINGS, FRAME_SETTINGS, RUN_SETTINGS, Settings
from norvane.sweeping.pool import GUARD_ADVICE, REFUSALS
from norvane.sweeping.runs import Inputs, Outcome, Preparation, Preparations, Task, callable_name, describe

__all__ = ["rerun", "sweep"]

Grid = Union[Mapping[str, Any], Iterable[Mapping[str, Any]]]  # a dict of lists, or a list of dicts

_BACKENDS = ("threads", "processes", "serial", "dask")
_DATE_STATS = ("start", "end", "max_drawdown_peak", "max_drawdown_trough")
# Counts stay integers beside a failed run: a nullable integer column then.
_COUNT_STATS = ("trades", "open_trades")


@interrupts.guarded()  # from the start: a Ctrl-C during the planning is not lost either
def sweep(
    prices: pd.DataFrame,
    position: pd.DataFrame | Callable[..., pd.DataFrame],
    grid: Grid,
    *,
    rebalance: Any = None,
    backend: str = "threads",
    workers: int | None = None,
    client: Any = None,
    keep_equity: bool = False,
    keep_returns: bool = False,
    progress: bool | None = None,
    **fixed: Any,
) -> pd.DataFrame:
    """Run one backtest per parameter combination and tabulate the results.

    Parameters
    ----------
    prices:
        The prices every run trades, as for :func:`norvane.backtest`.
    position:
        The position frame every run follows, or a callable that makes it:
        ``position(prices, **strategy_params)`` must return a position frame
        (it must not modify ``prices``). Its keyword parameters may then be
        varied in ``grid`` or fixed in ``**fixed`` like any setting; it is
        called once per distinct combination in each process that needs it.
        For ``backend="processes"`` it must be picklable (a function defined
        at the top level of a module or script).
    grid:
        Either a dict mapping parameter names to lists of values, whose
        cartesian product is run (the last key varies fastest), or a list of
        dicts, one per run. Names are backtest settings (``stop_loss``,
        ``commission``, ``rebalance``, ...) or the strategy's parameters.
    rebalance:
        The rebalance schedule of every run (``rebalance`` may instead be a
        key of ``grid``).
    backend:
        ``"threads"`` (default): threads of this process, which share the
        inputs; the engine runs without the interpreter lock, so they use
        every core unless the strategy itself spends its time in pure
        Python. ``"processes"``: local worker processes (for such a
        strategy). ``"serial"``: one run after another in this thread.
        ``"dask"``: the tasks of a ``dask.distributed`` cluster; needs
        ``norvane[dask]``.
    workers:
        Number of threads or worker processes (default: the usable CPU
        count, at most one per run). With ``backend="dask"`` and no
        ``client``, the size of the local cluster started for the sweep.
    client:
        A ``distributed.Client`` to run on (``backend="dask"`` only). Without
        one a local cluster is started for the sweep and closed afterwards.
    keep_equity:
        Add an ``equity`` column holding each run's equity curve.
    keep_returns:
        Add a ``returns`` column holding each run's daily returns (what
        :func:`norvane.overfitting.assess` reads).
    progress:
        Show a progress bar (needs tqdm). ``None``: only when stderr is a
        terminal and tqdm is installed.
    **fixed:
        Further backtest settings or strategy parameters, the same for every
        run.

    Returns
    -------
    pandas.DataFrame
        One row per run, in grid order: the grid's parameters, the
        statistics of :meth:`Report.stats` (NaN or NaT for a run that
        failed), ``error`` (None, or the text of the exception that run
        raised; a failing run never stops the others) and, with
        ``keep_equity``, ``equity``; with ``keep_returns``, ``returns``.

    Raises
    ------
    KeyboardInterrupt
        On Ctrl-C, at once: runs in progress on threads or worker processes are stopped.
    RuntimeError
        When worker processes cannot start, above all in a script that does
        not start its sweep under ``if __name__ == "__main__":``.
    """
    if backend == "processes" or (backend == "dask" and client is None):
        _refuse_while_bootstrapping()
    runs, names = _expand(grid)
    strategy = _Strategy(position) if callable(position) else None
    _check_parameters(names, fixed, rebalance, strategy)
    if backend not in _BACKENDS:
        raise ValueError(f"backend: expected one of {', '.join(map(repr, _BACKENDS))}, got {backend!r}")
    if workers is not None:
        if isinstance(workers, (bool, np.bool_)) or not isinstance(workers, (int, np.integer)) or workers < 1:
            raise ValueError(f"workers: expected a positive integer, got {workers!r}")
        workers = int(workers)
    if client is not None:
        if backend != "dask":
            raise ValueError("client: a Dask client is only used with backend='dask'")
        if workers is not None:
            raise ValueError("workers: the size of a given Dask cluster is up to its client; leave workers=None")
    if backend == "serial" and workers not in (None, 1):
        raise ValueError(f"workers: the serial backend runs in this process alone, got workers={workers}")
    if strategy is not None and backend in ("processes", "dask"):
        strategy.check_shippable(backend)

    curves_wanted = bool(keep_equity) or bool(keep_returns)
    inputs = Inputs(prices, position, curves_wanted, {n: v for n, v in fixed.items() if n not in ALL_SETTINGS})
    tasks, outcomes = _plan(runs, fixed, rebalance, strategy)
    bar = _progress_bar(progress, len(runs))
    bar.update(len(outcomes))
    try:
        if tasks:
            outcomes.update(_run(backend, inputs, tasks, min(workers or usable_cpus(), len(tasks)), client, bar))
    finally:
        bar.close()
    return _frame(runs, names, [outcomes[i] for i in range(len(runs))], bool(keep_equity), bool(keep_returns),
                  _date_dtype(prices))


@interrupts.guarded()
def rerun(prices: pd.DataFrame, position: pd.DataFrame | Callable[..., pd.DataFrame], row: Mapping[str, Any], *,
          rebalance: Any = None, **fixed: Any) -> Report:
    """The report of one run of a sweep, from its row of the sweep's frame.

    ``norvane.rerun(prices, position, results.loc[label], rebalance=...,
    **fixed)``, with the prices, position, ``rebalance`` and fixed keyword
    arguments the sweep was given, runs that row's parameters again and
    returns its :class:`norvane.Report`, whose ``stats()`` equal the row's
    statistics. The row's statistics, ``error``, ``equity`` and ``returns``
    are not parameters and are left out; a NaN parameter is taken as None
    (a frame read back from a file may show None so).
    """
    if not isinstance(row, Mapping) and not isinstance(row, pd.Series):
        raise TypeError(f"row: expected a row of the sweep's frame (results.loc[label]), got {type(row).__name__}")
    params = {name: _parameter_value(value) for name, value in row.items() if name not in _NOT_PARAMETERS}
    strategy = _Strategy(position) if callable(position) else None
    _check_parameters(list(params), fixed, rebalance, strategy)
    values = {**fixed, **params}
    frame = {name: values.get(name, default) for name, default in FRAME_SETTINGS.items()}
    if frame["rebalance"] is None:
        frame["rebalance"] = rebalance
    settings = Settings(**{name: values.get(name, default) for name, default in RUN_SETTINGS.items()})
    if callable(position):
        position = position(prices, **{n: v for n, v in values.items() if n not in ALL_SETTINGS})
    return api.simulate(api.prepare(prices, position, **frame), settings)


_NOT_PARAMETERS = frozenset({*STAT_NAMES, "error", "equity", "returns"})


def _parameter_value(value: Any) -> Any:
    if isinstance(value, np.generic):
        value = value.item()
    if value is pd.NA or (isinstance(value, float) and value != value):
        return None
    return value


def _run(backend: str, inputs: Inputs, tasks: list[Task], width: int, client: Any, bar: Any) -> dict[int, Outcome]:
    if backend == "serial":
        outcomes = {}
        preparations = Preparations(inputs)
        for task in sorted(tasks, key=lambda t: t.group):  # each group prepared once
            outcomes[task.index] = preparations.execute(task)
            bar.update(1)
            interrupts.checkpoint()
        return outcomes
    if backend == "threads":
        from norvane.sweeping.threads import run_threads

        return run_threads(inputs, tasks, width, bar)
    if backend == "processes":
        from norvane.sweeping.pool import run_local

        return run_local(inputs, tasks, width, bar)
    from norvane.sweeping.cluster import run_dask

    return run_dask(inputs, tasks, width, client, bar)


def _refuse_while_bootstrapping() -> None:
    # A process that multiprocessing is starting imports the main script
    # first; a sweep reached from there would start processes of its own,
    # each of which would import the script again. (A serial sweep there
    # only repeats the script's own work, as any unguarded code does.)
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        with contextlib.suppress(OSError, KeyError):
            with open(os.environ[REFUSALS], "a") as refusals:
                refusals.write(f"{os.getpid()}\n")
        raise RuntimeError(
            "norvane.sweep was called while a new process was importing the main script; " + GUARD_ADVICE
        )


# ---------------------------------------------------------------------------
# the grid


def _expand(grid: Grid) -> tuple[list[dict[str, Any]], list[str]]:
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


class _Strategy:
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


def _check_parameters(names: list[str], fixed: dict[str, Any], rebalance: Any, strategy: _Strategy | None) -> None:
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


def _plan(runs: list[dict[str, Any]], fixed: dict[str, Any], rebalance: Any,
          strategy: _Strategy | None) -> tuple[list[Task], dict[int, Outcome]]:
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
        frame = {name: values.get(name, default) for name, default in FRAME_SETTINGS.items()}
        if frame["rebalance"] is None:
            frame["rebalance"] = rebalance
        preparation = Preparation({n: v for n, v in params.items() if n not in ALL_SETTINGS}, frame)
        try:
            settings = Settings(**{name: values.get(name, default) for name, default in RUN_SETTINGS.items()})
        except Exception as exc:
            outcomes[i] = (None, None, describe(exc))
            continue
        varied = [(n, params[n]) for n in sorted(params) if n in FRAME_SETTINGS or (strategy and strategy.takes(n))]
        tasks.append(Task(i, groups.setdefault(_group_key(varied, i), len(groups)), preparation, settings))
    return tasks, outcomes


def _group_key(varied: list[tuple[str, Any]], index: int) -> Any:
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


def usable_cpus() -> int:
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return count() or 1
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:
        return os.cpu_count() or 1


# ---------------------------------------------------------------------------
# results


def _frame(runs: list[dict[str, Any]], names: list[str], outcomes: list[Outcome], keep_equity: bool,
           keep_returns: bool, date_dtype: Any) -> pd.DataFrame:
    n = len(runs)
    data: dict[str, Any] = {name: _parameter_column([run.get(name) for run in runs]) for name in names}
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
            # As Report.returns: from the second date on.
            returns[i] = (equity / equity.shift(1) - 1.0).iloc[1:].rename("returns") if equity is not None else None
        frame["returns"] = pd.Series(returns, dtype=object)
    return frame


def _parameter_column(values: list[Any]) -> Any:
    """A parameter's values as the grid gave them: a column that mixes None
    or types in keeps each value (object dtype), so that None is not shown
    as NaN and an int not as a float."""
    kinds = {type(value) for value in values}
    if len(kinds) > 1 or type(None) in kinds:
        column = np.empty(len(values), dtype=object)
        column[:] = values
        return pd.Series(column, dtype=object)
    return values


def _date_dtype(prices: Any) -> Any:
    """The dtype of the date statistics: that of the price index."""
    index = getattr(prices, "index", None)
    return index.dtype if isinstance(index, pd.DatetimeIndex) else np.dtype("datetime64[ns]")


class _NoBar:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def _progress_bar(progress: bool | None, total: int) -> Any:
    if progress is not None and not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"progress: expected a bool or None, got {type(progress).__name__}")
    if progress is False:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError as exc:
        if progress:
            raise ImportError("progress=True needs tqdm: pip install tqdm") from exc
        return _NoBar()
    if progress is None and not (hasattr(sys.stderr, "isatty") and sys.stderr.isatty()):
        return _NoBar()
    return tqdm(total=total, desc="sweep", unit="run", file=sys.stderr)
