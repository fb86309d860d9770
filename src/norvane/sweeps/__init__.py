"""Many backtests at once: a parameter grid run on all local cores (threads
or processes), serially or on a Dask cluster.

The grid may vary the strategy as well as the backtest settings: the
position is then a callable, ``make_position(prices, **strategy_params)``,
and the names of its keyword parameters join the settings' names. Runs that
share the strategy's parameters and the frame settings share one
preparation (the position frame and the engine's arrays), made once in each
process that runs them (`norvane.sweeps._runs`).

The engine releases the interpreter lock while it runs and keeps nothing
in module state, so the default backend runs on threads of this process,
sharing one copy of the inputs (`norvane.sweeps._threads`). Worker
processes suit a strategy that spends its time in pure Python, which holds
the lock: the sweep's inputs go to each worker process once, and each task
carries only its own few parameters.

Every backend returns the same frame for the same inputs, bit for bit: the
runs are the same computations whichever process makes them, and the rows
are put in grid order whatever order the runs finish in.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import sys
from collections.abc import Mapping
from typing import Any, Callable

import numpy as np
import pandas as pd

from norvane import _engine, _frames
from norvane import _interrupts as interrupts
from norvane.report import Report
from norvane.settings import ALL_SETTINGS
from norvane.sweeps._pool import GUARD_ADVICE, REFUSALS
from norvane.sweeps._grid import (NOT_PARAMETERS, Grid, Strategy, check_parameters, date_dtype_of, expand,
                                  frame_settings, parameter_value, plan, results_frame, run_settings)
from norvane.sweeps._runs import Inputs, Outcome, Preparations, Task

__all__ = ["rerun", "sweep"]


_BACKENDS = ("threads", "processes", "serial", "dask")


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
        The prices every run trades, as for `norvane.backtest`.
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
        `norvane.overfitting.assess` reads).
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
        statistics of `Report.stats` (NaN or NaT for a run that
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
    runs, names = expand(grid)
    strategy = Strategy(position) if callable(position) else None
    check_parameters(names, fixed, rebalance, strategy)
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
    tasks, outcomes = plan(runs, fixed, rebalance, strategy)
    bar = _progress_bar(progress, len(runs))
    bar.update(len(outcomes))
    try:
        if tasks:
            outcomes.update(_run(backend, inputs, tasks, min(workers or usable_cpus(), len(tasks)), client, bar))
    finally:
        bar.close()
    return results_frame(runs, names, [outcomes[i] for i in range(len(runs))], bool(keep_equity), bool(keep_returns),
                         date_dtype_of(prices))


@interrupts.guarded()
def rerun(prices: pd.DataFrame, position: pd.DataFrame | Callable[..., pd.DataFrame], row: Mapping[str, Any], *,
          rebalance: Any = None, **fixed: Any) -> Report:
    """The report of one run of a sweep, from its row of the sweep's frame.

    ``norvane.rerun(prices, position, results.loc[label], rebalance=...,
    **fixed)``, with the prices, position, ``rebalance`` and fixed keyword
    arguments the sweep was given, runs that row's parameters again and
    returns its `norvane.Report`, whose ``stats()`` equal the row's
    statistics. The row's statistics, ``error``, ``equity`` and ``returns``
    are not parameters and are left out; a NaN parameter is taken as None
    (a frame read back from a file may show None so).
    """
    if not isinstance(row, Mapping) and not isinstance(row, pd.Series):
        raise TypeError(f"row: expected a row of the sweep's frame (results.loc[label]), got {type(row).__name__}")
    params = {name: parameter_value(value) for name, value in row.items() if name not in NOT_PARAMETERS}
    strategy = Strategy(position) if callable(position) else None
    check_parameters(list(params), fixed, rebalance, strategy)
    values = {**fixed, **params}
    settings = run_settings(values)
    if callable(position):
        position = position(prices, **{n: v for n, v in values.items() if n not in ALL_SETTINGS})
    return _engine.simulate(_frames.prepare(prices, position, **frame_settings(values, rebalance)), settings)


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
        from norvane.sweeps._threads import run_threads

        return run_threads(inputs, tasks, width, bar)
    if backend == "processes":
        from norvane.sweeps._pool import run_local

        return run_local(inputs, tasks, width, bar)
    from norvane.sweeps._cluster import run_dask

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
