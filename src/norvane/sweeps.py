"""Many backtests at once: a parameter grid run serially, on all local cores
or on a Dask cluster.

The engine keeps its state per process, so a process runs one backtest at a
time (`norvane.engine_session` serialises them): parallelism comes from
processes, never from threads. The price and
position frames are shipped to each worker process once (through the pool's
initializer, or scattered to every Dask worker), and each task carries only
its own few parameters.

Every backend returns the same frame for the same inputs, bit for bit: the
runs are the same computations whichever process makes them, and the rows
are put in grid order whatever order the runs finish in.
"""

from __future__ import annotations

import itertools
import multiprocessing
import os
import pickle
import sys
import uuid
from collections import deque
from collections.abc import Iterable, Mapping
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from typing import Any, Optional, Union

import numpy as np
import pandas as pd

from norvane.settings import ALL_SETTINGS, FRAME_SETTINGS, Settings

__all__ = ["sweep"]

Grid = Union[Mapping[str, Iterable[Any]], Iterable[Mapping[str, Any]]]

# (statistics, equity or None, error text or None) of one run
Outcome = tuple[Optional[dict], Optional[pd.Series], Optional[str]]

_BACKENDS = ("serial", "processes", "dask")


def sweep(
    prices: pd.DataFrame,
    position: pd.DataFrame,
    grid: Grid,
    *,
    rebalance: Any = None,
    backend: str = "processes",
    workers: int | None = None,
    client: Any = None,
    keep_equity: bool = False,
    progress: bool | None = None,
    **fixed: Any,
) -> pd.DataFrame:
    """Run one backtest per parameter combination and tabulate the results.

    Parameters
    ----------
    prices, position:
        The frames every run trades, as for :func:`norvane.backtest`.
    grid:
        Either a dict mapping backtest parameter names to lists of values,
        whose cartesian product is run (the last key varies fastest), or a
        list of dicts, one per run.
    rebalance:
        The rebalance schedule of every run (``rebalance`` may instead be a
        key of ``grid``).
    backend:
        ``"processes"`` (default): a pool of local worker processes.
        ``"serial"``: one run after another in this process. ``"dask"``: the
        tasks of a ``dask.distributed`` cluster; needs ``norvane[dask]``.
    workers:
        Number of worker processes (default: the usable CPU count, at most
        one per run). With ``backend="dask"`` and no ``client``, the size of
        the local cluster started for the sweep.
    client:
        A ``distributed.Client`` to run on (``backend="dask"`` only). Without
        one a local cluster is started for the sweep and closed afterwards.
    keep_equity:
        Add an ``equity`` column holding each run's equity curve.
    progress:
        Show a progress bar (needs tqdm). ``None``: only when stderr is a
        terminal and tqdm is installed.
    **fixed:
        Further backtest parameters, the same for every run.

    Returns
    -------
    pandas.DataFrame
        One row per run, in grid order: the grid's parameters, the
        statistics of :meth:`Report.stats`, ``error`` (None, or the text of
        the exception that run raised; a failing run never stops the others)
        and, with ``keep_equity``, ``equity``.
    """
    runs, names = _expand(grid)
    _check_parameters(names, fixed, rebalance)
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

    payload = _Payload(prices, position, rebalance, dict(fixed), bool(keep_equity))
    bar = _progress_bar(progress, len(runs))
    try:
        if not runs:
            outcomes: list[Outcome] = []
        elif backend == "serial":
            outcomes = _run_serial(payload, runs, bar)
        elif backend == "processes":
            width = min(workers or _usable_cpus(), len(runs))
            outcomes = _run_processes(payload, runs, width, bar)
        else:
            outcomes = _run_dask(payload, runs, workers, client, bar)
    finally:
        bar.close()
    return _frame(runs, names, outcomes, payload.keep_equity)


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


def _check_parameters(names: list[str], fixed: dict[str, Any], rebalance: Any) -> None:
    known = list(ALL_SETTINGS)
    for source, given in (("grid", names), ("sweep()", list(fixed))):
        unknown = [n for n in given if n not in known]
        if unknown:
            raise TypeError(
                f"{source}: unknown backtest parameter(s) {', '.join(map(repr, unknown))}; "
                f"known: {', '.join(known)}"
            )
    both = [n for n in names if n in fixed]
    if rebalance is not None and "rebalance" in names:
        both.append("rebalance")
    if both:
        raise TypeError(f"{', '.join(map(repr, both))}: given both in the grid and as a fixed keyword argument")


# ---------------------------------------------------------------------------
# one run, in whichever process makes it


@dataclass
class _Payload:
    """What every run shares; shipped once to each worker process."""

    prices: pd.DataFrame
    position: pd.DataFrame
    rebalance: Any
    fixed: dict[str, Any]
    keep_equity: bool
    # The frames checked and converted once per process, for the runs that
    # do not vary the rebalance schedule or the column dropping.
    prepared: Any = field(default=None, repr=False, compare=False)

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "prepared": None}


def _execute(payload: _Payload, params: dict[str, Any]) -> Outcome:
    from norvane import api

    values = {**ALL_SETTINGS, **payload.fixed, **params}
    frame_values = {name: values.pop(name) for name in FRAME_SETTINGS}
    if frame_values["rebalance"] is None:
        frame_values["rebalance"] = payload.rebalance
    try:
        settings = Settings(**values)
        # A run that varies a frame-level setting needs its own preparation.
        if any(name in params for name in FRAME_SETTINGS):
            prepared = api.prepare(payload.prices, payload.position, **frame_values)
        else:
            # Two threads of one Dask worker may both prepare; they get equal results.
            if payload.prepared is None:
                payload.prepared = api.for_many_runs(api.prepare(payload.prices, payload.position, **frame_values))
            prepared = payload.prepared
        # The engine runs one backtest per process at a time; simulate takes its lock.
        report = api.simulate(prepared, settings)
        stats = dict(report.stats())
    except Exception as exc:  # a failing run is a result, not the end of the sweep
        return None, None, _describe(exc)
    return stats, (report.equity if payload.keep_equity else None), None


def _describe(exc: BaseException) -> str:
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


# State of a pool worker process: the unpickled payload, or why it could not
# be unpickled (every run of that worker then reports it).
_worker_payload: _Payload | None = None
_worker_error: str | None = None


def _init_worker(blob: bytes) -> None:
    global _worker_payload, _worker_error
    try:
        _worker_payload = pickle.loads(blob)
    except Exception as exc:
        _worker_error = "the worker could not load the sweep's inputs: " + _describe(exc)


def _run_in_worker(params: dict[str, Any]) -> Outcome:
    if _worker_payload is None:
        return None, None, _worker_error or "the worker has no sweep inputs"
    return _execute(_worker_payload, params)


def _run_dask_task(payload: _Payload, params: dict[str, Any]) -> Outcome:
    return _execute(payload, params)


# ---------------------------------------------------------------------------
# backends


def _run_serial(payload: _Payload, runs: list[dict], bar: Any) -> list[Outcome]:
    outcomes = []
    for params in runs:
        outcomes.append(_execute(payload, params))
        bar.update(1)
    return outcomes


def _usable_cpus() -> int:
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return count() or 1
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:
        return os.cpu_count() or 1


def _mp_context() -> multiprocessing.context.BaseContext:
    # Never fork: the caller may have threads (a GUI, a Dask client, a BLAS
    # pool) whose locks a forked child would inherit in whatever state.
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _run_processes(payload: _Payload, runs: list[dict], width: int, bar: Any) -> list[Outcome]:
    """Runs on a local process pool.

    A worker that dies outright (a crash in native code, the OOM killer)
    breaks the whole pool and fails every run in flight. Those runs are then
    retried one at a time in a pool of one, which pins the failure on the run
    that caused it; the rest go on in a fresh pool.
    """
    blob = pickle.dumps(payload, protocol=pickle.HIGHEST_PROTOCOL)
    context = _mp_context()
    outcomes: list[Outcome | None] = [None] * len(runs)
    todo = deque(range(len(runs)))
    suspects: deque[int] = deque()
    while todo or suspects:
        isolated = bool(suspects)
        source = suspects if isolated else todo
        size = 1 if isolated else min(width, len(todo))
        limit = 1 if isolated else 2 * size
        with ProcessPoolExecutor(size, mp_context=context, initializer=_init_worker, initargs=(blob,)) as pool:
            inflight: dict[Any, int] = {}
            broken = False
            while (source or inflight) and not broken:
                while source and len(inflight) < limit:
                    i = source.popleft()
                    inflight[pool.submit(_run_in_worker, runs[i])] = i
                done, _ = wait(inflight, return_when=FIRST_COMPLETED)
                for future in done:
                    i = inflight.pop(future)
                    try:
                        outcomes[i] = future.result()
                    except BrokenProcessPool:
                        inflight[future] = i
                        broken = True
                        continue
                    bar.update(1)
            if broken:
                for i in inflight.values():
                    if isolated:
                        outcomes[i] = (None, None, "the worker process running this backtest died")
                        bar.update(1)
                    else:
                        suspects.append(i)
    return outcomes  # type: ignore[return-value]


def _run_dask(payload: _Payload, runs: list[dict], workers: int | None, client: Any, bar: Any) -> list[Outcome]:
    try:
        import distributed
    except ImportError as exc:
        raise ImportError(
            "backend='dask' needs dask.distributed: pip install 'norvane[dask]'"
        ) from exc
    if client is not None:
        return _on_client(distributed, client, payload, runs, bar)
    size = min(workers or _usable_cpus(), len(runs))
    with distributed.LocalCluster(
        n_workers=size, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as own:
        return _on_client(distributed, own, payload, runs, bar)


def _on_client(distributed: Any, client: Any, payload: _Payload, runs: list[dict], bar: Any) -> list[Outcome]:
    shared = client.scatter(payload, broadcast=True, hash=False)
    token = uuid.uuid4().hex
    futures = [
        client.submit(_run_dask_task, shared, params, key=f"norvane-sweep-{token}-{i}")
        for i, params in enumerate(runs)
    ]
    position = {future.key: i for i, future in enumerate(futures)}
    outcomes: list[Outcome | None] = [None] * len(runs)
    try:
        for future in distributed.as_completed(futures):
            i = position[future.key]
            try:
                outcomes[i] = future.result()
            except Exception as exc:  # e.g. KilledWorker: the run took its workers down
                outcomes[i] = (None, None, _describe(exc))
            bar.update(1)
    except BaseException:
        client.cancel(futures)
        raise
    finally:
        del shared
    return outcomes  # type: ignore[return-value]


# ---------------------------------------------------------------------------
# results


def _frame(runs: list[dict], names: list[str], outcomes: list[Outcome], keep_equity: bool) -> pd.DataFrame:
    n = len(runs)
    stat_names: list[str] = []
    for stats, _, _ in outcomes:
        if stats is not None:
            stat_names = list(stats)
            break
    data: dict[str, Any] = {name: [run.get(name) for run in runs] for name in names}
    for name in stat_names:
        data[name] = [stats.get(name) if stats is not None else None for stats, _, _ in outcomes]
    errors = np.empty(n, dtype=object)
    errors[:] = [error for _, _, error in outcomes]
    frame = pd.DataFrame(data, index=pd.RangeIndex(n))
    frame["error"] = pd.Series(errors, dtype=object)
    if keep_equity:
        curves = np.empty(n, dtype=object)
        for i, (_, equity, _) in enumerate(outcomes):
            curves[i] = equity
        frame["equity"] = pd.Series(curves, dtype=object)
    return frame


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
