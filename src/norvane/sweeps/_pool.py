"""Runs on local worker processes.

Each worker is a process of its own with a pipe to this one: it gets the
sweep's inputs once, then one task at a time, and answers each with its
outcome. Knowing which task every worker holds keeps the failure cases
simple:

- a worker that dies (a crash in native code, the OOM killer) fails exactly
  the run it held, and a fresh worker takes its place;
- Ctrl-C reaches this process (the workers ignore SIGINT, so a terminal's
  signal to the whole process group changes nothing), which stops the
  workers at once, mid-run, and raises KeyboardInterrupt;
- a worker exits when this process dies, however it dies: a thread in the
  worker waits on a pipe whose only writer is this process. (The fork server
  and the resource tracker follow by themselves once no worker holds their
  pipes; a worker's parent is the fork server, which is why the worker
  watches this process and not its parent.)
- workers start from a fork server (never a plain fork: the caller may hold
  threads and locks). Like any process multiprocessing starts, a worker
  imports the main script first; if that import reaches the sweep again,
  the sweep refuses to start there, and here the failure to start becomes a
  RuntimeError that says how to guard the script.
"""

from __future__ import annotations

import multiprocessing
import os
import pickle
import signal
import sys
import threading
from collections import deque
from multiprocessing.connection import Connection, wait
from typing import Any

from norvane import _interrupts as interrupts
from norvane.sweeps._runs import WORKER_DIED, Inputs, Outcome, Preparations, Task, describe

# The first message of a worker: it runs our code, so the bootstrap (and with
# it any import of the main script) is behind it.
_STARTED = "started"
# How long a stopping worker may take to finish on its own before it is terminated.
_GRACE = 1.0
# What a worker has to say when it has nothing to say yet.
_NOTHING = object()

# A worker that refuses to sweep while it imports the main script notes it
# in the file this variable names, if it is set (a Dask worker cannot tell
# its cluster why it failed to start).
REFUSALS = "NORVANE_SWEEP_REFUSALS"

GUARD_ADVICE = (
    'put the code that runs the sweep under `if __name__ == "__main__":`. Worker processes import '
    "the main script again; guarded, that import only defines what the workers need"
)


def run_local(inputs: Inputs, tasks: list[Task], width: int, bar: Any) -> dict[int, Outcome]:
    blob = pickle.dumps(inputs, protocol=pickle.HIGHEST_PROTOCOL)
    context = _context()
    dispatch = Dispatch(tasks)
    outcomes: dict[int, Outcome] = {}
    # Only this process holds the writing end: the workers see end-of-file when it dies.
    watch_r, watch_w = context.Pipe(duplex=False)
    workers: list[_Worker] = []
    started_any = False
    idle_deaths = 0  # workers that died without a run in hand, in a row
    finished = False
    try:
        for _ in range(width):
            workers.append(_Worker(context, watch_r))
        while dispatch or any(w.task is not None for w in workers):
            interrupts.checkpoint()
            for worker in workers:
                if worker.ready and worker.task is None and dispatch:
                    task = dispatch.next_for(worker.group)
                    try:
                        worker.give(task)
                    except OSError:  # the worker is gone: the wait below finds out
                        dispatch.put_back(task)
                        worker.ready = False
                    except (pickle.PicklingError, TypeError, AttributeError) as exc:
                        outcomes[task.index] = (None, None, "the run could not be sent to a worker process: "
                                                + describe(exc))
                        bar.update(1)
            waiting = {w.conn: w for w in workers}
            waiting.update({w.process.sentinel: w for w in workers})
            for obj in wait(list(waiting)):
                worker = waiting[obj]
                if worker not in workers:
                    continue  # already replaced in this round
                message = worker.receive()
                if message is _NOTHING:
                    continue
                if message is None:  # the worker is gone
                    if not worker.started:
                        raise start_failure(worker.ended(), unguarded=not started_any and worker.raised())
                    workers.remove(worker)
                    if worker.task is not None:
                        idle_deaths = 0
                        outcomes[worker.task.index] = (None, None, f"{WORKER_DIED} ({worker.ended()})")
                        bar.update(1)
                    else:
                        idle_deaths += 1
                        if idle_deaths > 2 * width:  # e.g. each one dies loading the inputs
                            raise RuntimeError(f"norvane.sweep: worker processes keep dying before they take "
                                               f"a run (the last: {worker.ended()})")
                    if dispatch:
                        workers.append(_Worker(context, watch_r))
                elif message == _STARTED:
                    started_any = True
                    worker.start_work(blob)
                else:
                    index, outcome = message
                    outcomes[index] = outcome
                    worker.task = None
                    bar.update(1)
        finished = True
    finally:
        _stop(workers, gently=finished)
        watch_w.close()
        watch_r.close()
    return outcomes


class Dispatch:
    """Hands out the tasks so that a worker keeps to its group while the group
    lasts, opens groups nobody has started next, and only then joins the
    largest group left. A worker never returns to a group it has left (that
    group was used up), so it prepares every group at most once."""

    def __init__(self, tasks: list[Task]) -> None:
        self.groups: dict[int, deque[Task]] = {}
        for task in tasks:
            self.groups.setdefault(task.group, deque()).append(task)
        self.fresh = deque(self.groups)

    def __bool__(self) -> bool:
        return bool(self.groups)

    def put_back(self, task: Task) -> None:
        self.groups.setdefault(task.group, deque()).appendleft(task)

    def next_for(self, group: int | None) -> Task:
        if group not in self.groups:
            while self.fresh and self.fresh[0] not in self.groups:
                self.fresh.popleft()
            group = self.fresh.popleft() if self.fresh else max(self.groups, key=lambda g: len(self.groups[g]))
        queue = self.groups[group]
        task = queue.popleft()
        if not queue:
            del self.groups[group]
        return task


class _Worker:
    def __init__(self, context: Any, watch: Connection) -> None:
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_worker_main, args=(child, watch), daemon=True,
                                       name="norvane-sweep-worker")
        try:
            self.process.start()
        except (OSError, EOFError) as exc:  # the fork server died while it started
            raise start_failure(describe(exc), unguarded=False) from exc
        finally:
            child.close()
        self.started = False  # it runs our code
        self.ready = False  # it has the inputs and takes tasks
        self.task: Task | None = None
        self.group: int | None = None

    def start_work(self, blob: bytes) -> None:
        self.started = True
        try:
            self.conn.send_bytes(blob)
            self.ready = True
        except OSError:  # the worker is gone: the wait finds out
            pass

    def give(self, task: Task) -> None:
        self.conn.send(task)
        self.task, self.group = task, task.group

    def receive(self) -> Any:
        """The next message; None once the worker has ended; _NOTHING if neither."""
        if self.conn.poll():  # a message, or end-of-file
            try:
                return self.conn.recv()
            except (EOFError, OSError):
                return None
        return _NOTHING if self.process.is_alive() else None

    def raised(self) -> bool:
        """Whether the process ended with an exception (exit code 1) rather than a signal."""
        return bool(self.process.exitcode == 1)

    def ended(self) -> str:
        self.process.join(_GRACE)
        code = self.process.exitcode
        if code is None:
            return "still running"
        if code < 0:
            try:
                return f"killed by {signal.Signals(-code).name}"
            except ValueError:
                return f"killed by signal {-code}"
        return f"exit code {code}"


def _stop(workers: list[_Worker], gently: bool) -> None:
    """Ends the workers: asked to stop after a complete sweep, terminated otherwise."""
    for worker in workers:
        try:
            if gently:
                worker.conn.send(None)
            else:
                worker.process.terminate()
        except (OSError, ValueError):
            pass
    for worker in workers:
        worker.process.join(_GRACE if gently else 0.5)
        if worker.process.exitcode is None:
            worker.process.kill()
            worker.process.join()
        worker.conn.close()


def start_failure(detail: str, unguarded: bool) -> RuntimeError:
    """The error for worker processes that could not start.

    Started from a script, a worker first imports that script again;
    ``unguarded``: the workers failed there, as an unguarded script makes
    them (rather than being killed, say).
    """
    path = getattr(sys.modules.get("__main__"), "__file__", None)
    if not unguarded or not path:
        return RuntimeError(f"norvane.sweep: a worker process failed while it started ({detail})")
    return RuntimeError(
        f"norvane.sweep: the worker processes failed while importing the main script {path} "
        f"({detail}; their traceback is printed above); {GUARD_ADVICE}"
    )


def _context() -> Any:
    # Never fork: the caller may have threads (a GUI, a Dask client, a BLAS
    # pool) whose locks a forked child would inherit in whatever state.
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


# ---------------------------------------------------------------------------
# the worker process


def _worker_main(conn: Connection, watch: Connection) -> None:
    # Ctrl-C is for the parent: it stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    threading.Thread(target=_exit_with_parent, args=(watch,), daemon=True, name="norvane-watch").start()
    conn.send(_STARTED)
    try:
        inputs = pickle.loads(conn.recv_bytes())
        error = None
    except EOFError:
        return
    except Exception as exc:
        inputs, error = None, "the worker process could not load the sweep's inputs: " + describe(exc)
    preparations = Preparations(inputs) if inputs is not None else None
    while True:
        try:
            task = conn.recv()
        except EOFError:
            return
        if task is None:
            return
        outcome = (None, None, error) if preparations is None else preparations.execute(task)
        try:
            conn.send((task.index, outcome))
        except (pickle.PicklingError, TypeError, AttributeError) as exc:
            conn.send((task.index, (None, None, "the run's results could not be sent back: " + describe(exc))))


def _exit_with_parent(watch: Connection) -> None:
    try:
        watch.recv_bytes()  # nobody writes: this returns only when the parent is gone
    except (EOFError, OSError):
        pass
    os._exit(0)
