"""Runs on a Dask cluster: a local one started for the sweep, or the caller's.

The graph has three layers, all of them tasks the scheduler can compute
again: loading the sweep's inputs (their pickle is part of the graph), one
preparation per group of runs (the strategy's position and the engine
arrays) and the runs. Nothing is scattered, so a worker that dies takes no
data with it for good: what it held is recomputed where it is needed.

A worker that dies fails the tasks it held (at once on the cluster this
module starts; the caller's keeps its own ``allowed-failures``). Dask names
the task each failure is blamed on, and the sweep pins every death on its
cause before it reports one:

- a run blamed on itself is tried again alone, with nothing else in flight:
  an innocent neighbour of the culprit then succeeds, the culprit fails by
  itself;
- a run that never ran (the worker went down with its inputs or its group's
  preparation) waits while those are made again, alone: one that takes its
  worker down then too fails every run that needs it (a strategy that
  crashes its process fails its group's rows), otherwise the runs go on.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import itertools
import multiprocessing
import os
import shutil
import tempfile
import time
import uuid
from collections import deque
from collections.abc import Iterator
from typing import Any

from norvane import _interrupts as interrupts
from norvane.sweeps import _runs as runs
from norvane.sweeps._pool import REFUSALS, start_failure
from norvane.sweeps._runs import WORKER_DIED, Inputs, Outcome, Task, describe

# How long a cluster may take to bring back its workers before it closes.
_SETTLING = 10.0
# Runs in flight per worker thread: enough to keep every thread busy between
# two answers, few enough that a dying worker holds little besides its own run.
_IN_FLIGHT_PER_THREAD = 2


@contextlib.contextmanager
def local_client(distributed: Any, workers: int, **options: Any) -> Iterator[Any]:
    """A client of a local cluster of one-thread worker processes, closed on exit.

    The scheduler's HTTP server (health checks; no dashboard) takes a free
    port of the loopback interface: a dashboard already open on 8787 in a
    notebook, or anything else there, is neither disturbed nor a reason to
    warn. A task fails with the first worker that dies under it (the sweep
    finds the culprit itself), and a worker that died stays the cluster's
    while its nanny brings it back, however long the cluster has run without
    it. The cluster's scratch space is a folder of its own, removed on exit.
    ``options`` go to ``LocalCluster``.
    """
    import dask

    scratch = tempfile.mkdtemp(prefix="norvane-dask-")
    refusals = os.path.join(scratch, "refusals")
    try:
        with dask.config.set({"distributed.deploy.lost-worker-timeout": "1 day", "temporary-directory": scratch,
                              f"distributed.nanny.pre-spawn-environ.{REFUSALS}": refusals}):
            with _started_cluster(distributed, workers, refusals, options) as cluster, \
                    distributed.Client(cluster) as client:
                try:
                    yield client
                except BaseException:
                    # The caller's error (Ctrl-C above all) is what the caller
                    # must see, not a cluster failing to close on top of it.
                    with contextlib.suppress(Exception):
                        client.close()
                        cluster.close()
                    raise
                # A nanny may still be bringing back a worker that a run took
                # down, and a cluster closed in the middle of that fails.
                with contextlib.suppress(TimeoutError, asyncio.TimeoutError):
                    client.wait_for_workers(workers, timeout=_SETTLING)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


@contextlib.contextmanager
def _started_cluster(distributed: Any, workers: int, refusals: str, options: Any) -> Iterator[Any]:
    """The local cluster, closed on exit; one that fails or is interrupted
    while it starts leaves no process behind.

    An interrupted start goes on in the cluster's event loop, so its
    processes are ended here: closing the half-made cluster, then ending
    whatever it had started by then.
    """
    made: list[Any] = []

    class LocalCluster(distributed.LocalCluster):  # type: ignore[misc]
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            made.append(self)
            super().__init__(*args, **kwargs)

    settings = {"threads_per_worker": 1, "processes": True, **options}
    before = set(multiprocessing.active_children())
    # The nannies set the refusals variable in this process's environment
    # too, where it is only needed while the workers start.
    caller_value = os.environ.get(REFUSALS)
    try:
        cluster = LocalCluster(n_workers=workers, dashboard_address="127.0.0.1:0",
                               scheduler_kwargs={"dashboard": False, "allowed_failures": 0}, **settings)
    except BaseException as exc:
        try:
            for half_made in made:
                _close_half_started(half_made)
        finally:
            _end_started_since(before)
        if isinstance(exc, RuntimeError):  # e.g. "Nanny failed to start"
            raise start_failure(describe(exc), unguarded=os.path.exists(refusals)) from exc
        raise
    finally:
        if caller_value is None:
            os.environ.pop(REFUSALS, None)
        else:
            os.environ[REFUSALS] = caller_value
    with cluster:
        yield cluster


def _close_half_started(cluster: Any) -> None:
    """Lets an interrupted start finish (briefly), then closes the cluster."""
    deadline = time.monotonic() + _SETTLING
    while str(getattr(cluster, "status", "")) in ("Status.init", "Status.created", "Status.starting") \
            and time.monotonic() < deadline:
        time.sleep(0.05)
    with contextlib.suppress(Exception):
        cluster.close(timeout=_SETTLING)
    with contextlib.suppress(Exception):
        cluster._loop_runner.stop()


def _end_started_since(before: set[Any]) -> None:
    """Ends the processes started since ``before``, and those the interrupted
    start made meanwhile; asking for the active children also reaps the
    ones that ended, which nothing else would now."""
    deadline = time.monotonic() + _SETTLING
    while True:
        started = set(multiprocessing.active_children()) - before
        if not started or time.monotonic() > deadline:
            return
        _end(started)


def _end(processes: set[Any]) -> None:
    for process in processes:
        process.terminate()
    for process in processes:
        process.join(1.0)
        if process.exitcode is None:
            process.kill()
            process.join()


def run_dask(inputs: Inputs, tasks: list[Task], workers: int, client: Any, bar: Any) -> dict[int, Outcome]:
    try:
        import distributed
    except ImportError as exc:
        raise ImportError("backend='dask' needs dask.distributed: pip install 'norvane[dask]'") from exc
    if client is not None:
        return _Session(distributed, client, inputs).run(tasks, bar)
    with local_client(distributed, workers) as own:
        return _Session(distributed, own, inputs).run(tasks, bar)


class _Session:
    """The futures of one sweep on one client."""

    def __init__(self, distributed: Any, client: Any, inputs: Inputs) -> None:
        from distributed.protocol import pickle as dask_pickle

        self.distributed, self.client = distributed, client
        self.keep_equity = inputs.keep_equity
        self.token = uuid.uuid4().hex
        self.numbers = itertools.count()
        # By value, like Dask's own tasks: a strategy defined in the main
        # script reaches workers that cannot import that script.
        self.blob: bytes = dask_pickle.dumps(inputs)  # type: ignore[no-untyped-call]
        self.loaded = self.load()
        self.broken: str | None = None  # why no run can have its inputs
        self.prepared: dict[int, Any] = {}  # group -> future of its preparation
        self.fatal: dict[int, str] = {}  # group -> how its preparation kills its worker
        self.inflight: dict[str, tuple[Task, Any]] = {}

    def key(self, kind: str) -> str:
        return f"norvane-{kind}-{self.token}-{next(self.numbers)}"

    def load(self) -> Any:
        import dask

        # The inputs are meant to travel in the graph, once.
        with dask.config.set({"distributed.admin.large-graph-warning-threshold": 2**62}):
            return self.client.submit(_load, self.blob, key=self.key("inputs"))

    def prepare(self, task: Task) -> Any:
        if task.group not in self.prepared:
            self.prepared[task.group] = self.client.submit(runs.prepare, self.loaded, task.preparation,
                                                           key=self.key("prepare"))
        return self.prepared[task.group]

    def submit(self, task: Task) -> Any:
        future = self.client.submit(runs.run, self.prepare(task), task.settings, self.keep_equity,
                                    key=self.key("run"))
        self.inflight[future.key] = (task, future)
        return future

    def futures(self) -> list[Any]:
        return [self.loaded, *self.prepared.values(), *(future for _, future in self.inflight.values())]

    def run(self, tasks: list[Task], bar: Any) -> dict[int, Outcome]:
        width = _IN_FLIGHT_PER_THREAD * (sum(self.client.nthreads().values()) or 1)
        outcomes: dict[int, Outcome] = {}
        todo = sorted(tasks, key=lambda t: t.group)
        try:
            while todo:
                todo = self.sift(self.window(todo, width, outcomes, bar), outcomes, bar)
        except BaseException:
            self.client.cancel(self.futures())
            raise
        return outcomes

    def window(self, tasks: list[Task], width: int, outcomes: dict[int, Outcome],
               bar: Any) -> list[tuple[Task, bool]]:
        """Runs the tasks, at most ``width`` in flight; returns those a dying
        worker failed, each with whether it was the task blamed (it was
        running) rather than a task it needed."""
        pending = deque(tasks)
        left: dict[int, int] = {}
        for task in tasks:
            left[task.group] = left.get(task.group, 0) + 1
        failed: list[tuple[Task, bool]] = []
        done = self.distributed.as_completed()
        while pending and len(self.inflight) < width:
            done.add(self.submit(pending.popleft()))
        for future in done:
            interrupts.checkpoint()
            task, _ = self.inflight.pop(future.key)
            outcome = self.outcome(future)
            if isinstance(outcome, str):
                failed.append((task, outcome == future.key))
            else:
                outcomes[task.index] = outcome
                bar.update(1)
            left[task.group] -= 1
            if not left[task.group]:
                self.prepared.pop(task.group, None)  # the scheduler may let it go
            if pending:
                done.add(self.submit(pending.popleft()))
        return failed

    def sift(self, failed: list[tuple[Task, bool]], outcomes: dict[int, Outcome], bar: Any) -> list[Task]:
        """Pins the deaths of a window on their causes; returns the runs to go on with.

        One step at a time, each waiting for the one before: the inputs, a
        group's preparation, a run. A death in a step is then that step's
        own doing. (A worker's death also loses what it held, which Dask
        computes again at once; waiting for the inputs first keeps that out
        of the next step.)
        """
        self.prepared.clear()  # each is made again, alone, when needed
        again: list[Task] = []
        for task, blamed in sorted(failed, key=lambda f: f[0].group):
            error = self.settle_inputs() or self.settle_preparation(task)
            if error is not None:
                self.finish(task, error, outcomes, bar)
            elif not blamed:  # it never ran: its inputs or preparation went down
                again.append(task)
            else:
                future = self.submit(task)
                self.distributed.wait(future)
                self.inflight.pop(future.key)
                outcome = self.outcome(future)
                if isinstance(outcome, str):
                    outcome = (None, None, f"{WORKER_DIED}, also when tried alone")
                outcomes[task.index] = outcome
                bar.update(1)
        return again

    def settle_inputs(self) -> str | None:
        """Waits for the inputs; loads them again if a dying worker failed them.
        The error of every run if they take their worker down by themselves."""
        if self.broken is None:
            self.distributed.wait(self.loaded)
            if self.killed(self.loaded):
                self.loaded = self.load()
                self.distributed.wait(self.loaded)
                if self.killed(self.loaded):
                    self.broken = f"{WORKER_DIED} while loading the sweep's inputs"
        return self.broken

    def settle_preparation(self, task: Task) -> str | None:
        """Makes the task's preparation and waits for it; the error of every
        run of the group if it takes its worker down."""
        if task.group not in self.fatal:
            future = self.prepare(task)
            self.distributed.wait(future)
            if self.killed(future):
                del self.prepared[task.group]
                self.fatal[task.group] = f"{WORKER_DIED} while preparing the run's position, also when tried alone"
        return self.fatal.get(task.group)

    def finish(self, task: Task, error: str, outcomes: dict[int, Outcome], bar: Any) -> None:
        outcomes[task.index] = (None, None, error)
        bar.update(1)

    def outcome(self, future: Any) -> Outcome | str:
        """The run's outcome, or the key of the task a dying worker failed it for.

        A run that had finished may since have lost its result with a worker
        that died: the scheduler computes it again, and this waits for that.
        """
        if future.status == "cancelled":
            return None, None, "the run was cancelled on the Dask cluster"
        try:
            outcome: Outcome = future.result()
        except concurrent.futures.CancelledError:
            return None, None, "the run was cancelled on the Dask cluster"
        except self.distributed.KilledWorker as exc:
            return str(exc.task)
        except Exception as exc:
            return None, None, describe(exc)
        return outcome

    def killed(self, future: Any) -> bool:
        """Whether a dying worker failed the task (a preparation that raises returns a Failed)."""
        return future.status == "error" and isinstance(future.exception(), self.distributed.KilledWorker)


def _load(blob: bytes) -> Inputs:
    from distributed.protocol import pickle as dask_pickle

    inputs: Inputs = dask_pickle.loads(blob)  # type: ignore[no-untyped-call]
    return inputs
