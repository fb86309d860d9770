"""Runs on threads of this process.

The engine's lean entry releases the interpreter lock for the whole
simulation and keeps nothing in module state, so threads run backtests side
by side on one read-only copy of the inputs. A group's preparation (the
strategy's position and the engine arrays) is made once, by the first
thread that needs it, and shared by the group's runs until the last of them
is done; the tasks are handed out in group order, so only the groups in
flight are held.

Ctrl-C reaches the main thread, which waits for the runs: it drops the runs
not started, ends those in progress (`ravelin.cancel_runs`) and raises
KeyboardInterrupt once every thread has stopped.
"""

from __future__ import annotations

import concurrent.futures
import functools
import threading
from collections import Counter, deque
from typing import Any, Callable, TypeVar

from norvane import _interrupts as interrupts, ravelin
from norvane._frames import Prepared
from norvane.sweeps import _runs as runs
from norvane.sweeps._runs import Failed, Inputs, Outcome, Task

T = TypeVar("T")


class SharedPreparations:
    """Each group's preparation, made once and kept while its runs last."""

    def __init__(self, inputs: Inputs, tasks: list[Task]) -> None:
        self.inputs = inputs
        self.lock = threading.Lock()
        self.left = Counter(task.group for task in tasks)
        self.made: dict[int, concurrent.futures.Future[Prepared | Failed]] = {}

    def execute(self, task: Task) -> Outcome:
        try:
            return runs.run(self.prepared(task), task.settings, self.inputs.keep_equity)
        finally:
            self.done(task)

    def prepared(self, task: Task) -> Prepared | Failed:
        with self.lock:
            future = self.made.get(task.group)
            maker = future is None
            if future is None:
                future = self.made[task.group] = concurrent.futures.Future()
        if maker:
            try:
                future.set_result(runs.prepare(self.inputs, task.preparation))
            except BaseException as exc:  # Ctrl-C or MemoryError: the group's other runs fail alike
                future.set_exception(exc)
                raise
        return future.result()

    def done(self, task: Task) -> None:
        with self.lock:
            self.left[task.group] -= 1
            if not self.left[task.group]:
                self.made.pop(task.group, None)  # the arrays go with the group's last run


# Runs handed to the pool ahead of the threads: enough to keep every thread
# busy, few enough that Ctrl-C has little to drop.
_QUEUED_PER_THREAD = 2
# How often the waiting main thread looks for a Ctrl-C, in seconds.
_POLL = 0.05


def run_threads(inputs: Inputs, tasks: list[Task], width: int, bar: Any) -> dict[int, Outcome]:
    shared = SharedPreparations(inputs, tasks)
    ordered = sorted(tasks, key=lambda t: t.group)
    outcomes: dict[int, Outcome] = {}

    def finished(k: int, outcome: Outcome) -> None:
        outcomes[ordered[k].index] = outcome
        bar.update(1)

    on_threads([functools.partial(shared.execute, task) for task in ordered], width, finished)
    return outcomes


def on_threads(calls: list[Callable[[], T]], width: int, finished: Callable[[int, T], None]) -> None:
    """Makes the calls on ``width`` threads, in order as far as they start;
    ``finished(k, result)`` is called on this thread as each call returns.
    The first call that raises ends them all with its exception."""
    todo = deque(range(len(calls)))
    in_flight: dict[concurrent.futures.Future[T], int] = {}
    # A KeyboardInterrupt raised inside the pool's own locks would leave them
    # held: Ctrl-C is only noted while the pool runs, and raised between waits.
    with concurrent.futures.ThreadPoolExecutor(width, thread_name_prefix="norvane-sweep") as pool, \
            interrupts.deferred():
        try:
            while todo or in_flight:
                while todo and len(in_flight) < _QUEUED_PER_THREAD * width:
                    k = todo.popleft()
                    in_flight[pool.submit(calls[k])] = k
                done, _ = concurrent.futures.wait(in_flight, timeout=_POLL,
                                                  return_when=concurrent.futures.FIRST_COMPLETED)
                for future in done:
                    finished(in_flight.pop(future), future.result())
                interrupts.checkpoint()
        except BaseException:
            _stop(in_flight)
            raise


def _stop(in_flight: dict[concurrent.futures.Future[T], int]) -> None:
    """Drops the calls not started and ends the runs in progress."""
    for future in in_flight:
        future.cancel()
    running = [future for future in in_flight if not future.done()]
    while running:
        ravelin.cancel_runs()
        _, still = concurrent.futures.wait(running, timeout=_POLL)
        running = list(still)
