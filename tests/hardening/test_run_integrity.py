"""A run gives the right answer or raises: Ctrl-C and memory exhaustion end
it wherever they strike, runs never interleave (threads wait, re-entry is
refused), and whatever happened, the next run is exactly a fresh one."""

import inspect
import json
import os
import subprocess
import sys
import textwrap
import threading
import time
import traceback

import numpy as np
import pandas as pd
import pytest

import norvane
from norvane import ravelin, tessary

DAY = 86_400 * 10**9
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


def market(rows=60, stocks=4, seed=3):
    """Weights that change every five rows, so stocks enter and exit."""
    rng = np.random.default_rng(seed)
    prices = 50 * np.cumprod(1 + rng.normal(0, 0.03, (rows, stocks)), axis=0)
    index = (np.arange(rows, dtype=np.int64) + 19_000) * DAY
    names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
    weights = (rng.random((rows // 5, stocks)) < 0.5).astype(float)
    weights[0] = 1.0
    pos_index = index[::5][: len(weights)].copy()
    return [prices, index, names, weights, pos_index, names, pos_index]


def outcome(arrays):
    """Everything a run leaves behind, in comparable form."""
    curve = ravelin.backtest_(*arrays, stop_loss=0.04, tessary_window=6, tessary_window_step=2)
    rows, operations = ravelin.get_trade_stocks(arrays[5], arrays[1])
    return curve.tolist(), rows, [r.tolist() for r in tessary.tessary], repr(operations)


def frame_names(error):
    return [frame.name for frame in traceback.extract_tb(error.__traceback__)]


# --- KeyboardInterrupt and MemoryError end the run, wherever they strike ------

class ArmedSum(np.ndarray):
    """Weights whose rows' `sum` (called by every rebalance) raises `error`."""

    error = None

    def sum(self, *args, **kwargs):
        if ArmedSum.error is not None:
            raise ArmedSum.error
        return np.ndarray.sum(self, *args, **kwargs)


class RefusingWrites(np.ndarray):
    """An analysis `entry` array that refuses every item assignment."""

    error = None

    def __setitem__(self, key, value):
        raise RefusingWrites.error


class NumpyWith:
    """The analysis module's `org_np` with some functions replaced."""

    def __init__(self, **replaced):
        self.replaced = replaced

    def __getattr__(self, name):
        return self.replaced[name] if name in self.replaced else getattr(np, name)


def raising(error):
    def call(*args, **kwargs):
        raise error
    return call


def refusing_zeros(error):
    def zeros(shape, dtype=float):
        RefusingWrites.error = error
        return np.zeros(shape, dtype).view(RefusingWrites)
    return zeros


# Where the failure strikes -> (how to arm it, the traceback entries below backtest_).
STRIKES = {
    "rebalance": (lambda mp, arrays, error: (mp.setattr(ArmedSum, "error", error),
                                             arrays.__setitem__(3, arrays[3].view(ArmedSum))),
                  ["norvane.ravelin.rebalance"]),
    "start_analysis": (lambda mp, arrays, error: mp.setattr(tessary, "org_np", NumpyWith(zeros=raising(error))),
                       ["norvane.tessary.start_analysis"]),
    "record_entry": (lambda mp, arrays, error: mp.setattr(tessary, "org_np", NumpyWith(zeros=refusing_zeros(error))),
                     ["norvane.tessary.record_entry", "norvane.ravelin.set_position", "norvane.ravelin.rebalance"]),
    # The first excursion record of the run is that of a closed trade.
    "record_exit": (lambda mp, arrays, error: mp.setattr(tessary, "org_np", NumpyWith(empty=raising(error))),
                    ["norvane.tessary.tessary_analysis", "norvane.tessary.record_exit",
                     "norvane.ravelin.set_position", "norvane.ravelin.rebalance"]),
    # Weights that never change close nothing: the first record is made at the end.
    "end_analysis": (lambda mp, arrays, error: (mp.setattr(tessary, "org_np", NumpyWith(empty=raising(error))),
                                                arrays[3].__setitem__(slice(None), 1.0)),
                     ["norvane.tessary.tessary_analysis", "norvane.tessary.end_analysis"]),
}


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, MemoryError])
@pytest.mark.parametrize("strike", sorted(STRIKES))
def test_interrupt_or_memory_error_ends_the_run(monkeypatch, unraisable, strike, error_type):
    fresh = outcome(market())
    arm, inner_frames = STRIKES[strike]
    arrays = market()
    error = error_type("struck in " + strike)
    with monkeypatch.context() as patch:
        arm(patch, arrays, error)
        with pytest.raises(error_type) as raised:
            ravelin.backtest_(*arrays)
    assert raised.value is error
    names = frame_names(raised.value)
    assert [n for n in names if n.startswith("norvane.")] == ["norvane.ravelin.backtest_"] + inner_frames[::-1]
    assert unraisable == []
    assert outcome(market()) == fresh  # nothing of the failed run lingers


def test_other_failures_keep_being_reported(unraisable):
    arrays = market()
    ArmedSum.error = ValueError("not a weight row")
    try:
        curve = ravelin.backtest_(*arrays[:3], arrays[3].view(ArmedSum), *arrays[4:])
    finally:
        ArmedSum.error = None
    assert curve.size == arrays[1].size
    assert unraisable and {context for context, _ in unraisable} == {"norvane.ravelin.rebalance"}


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's shadow memory needs an unlimited address space")
def test_real_memory_exhaustion_ends_the_run_without_reports():
    # Records of a 3,000-day window are 144 kB each: a few hundred trades
    # exhaust an address space capped 200 MB above what the process holds.
    script = textwrap.dedent("""
        import resource, sys
        import numpy as np
        from norvane import ravelin, tessary
        rng = np.random.default_rng(0)
        days, stocks = 3000, 100
        prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (days, stocks)), 0))
        weights = (rng.random((days, stocks)) < 0.2).astype(float)
        index = np.arange(days, dtype=np.int64) * 86_400_000_000_000
        names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + 200 * 2**20, resource.RLIM_INFINITY))
        try:
            ravelin.backtest_(prices, index, names, weights, index, names, index, tessary_window=3000)
        except MemoryError:
            tessary.tessary.clear()
            print("MemoryError")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "MemoryError", done.stderr[-2000:]
    assert "Exception ignored" not in done.stderr


# --- Ctrl-C -------------------------------------------------------------------

def next_run():
    """A small run whose every output is compared between processes."""
    index = np.arange(40, dtype=np.int64) * 86_400_000_000_000
    names = np.array(["A", "B", "C", "D", "E"], dtype=object)
    prices = 10.0 + (np.arange(200).reshape(40, 5) * 7 % 11)
    weights = np.eye(5)[[0, 1, 2, 1]]
    curve = ravelin.backtest_(prices, index, names, weights, index[::10], names, index[::10], stop_loss=0.01,
                              tessary_window=4)
    rows, operations = ravelin.get_trade_stocks(names, index)
    return [curve.tolist(), repr(rows), [r.tolist() for r in tessary.tessary], repr(operations)]


CTRL_C = """
import json, os, signal, subprocess, sys, time, traceback
import numpy as np
from norvane import ravelin, tessary
days, stocks = int(sys.argv[2]), 2000
index = np.arange(days, dtype=np.int64) * 86_400_000_000_000
names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
sent = []
if sys.argv[1] == "daily":
    # A new random portfolio every day; the SIGINT arrives while NumPy sums
    # the 300th weight row, as a terminal's would in the middle of a host call.
    class Interrupting(np.ndarray):
        countdown = 300
        def sum(self, *args, **kwargs):
            Interrupting.countdown -= 1
            if Interrupting.countdown == 0:
                sent.append(time.time())
                os.kill(os.getpid(), signal.SIGINT)
            return np.ndarray.sum(self, *args, **kwargs)
    rng = np.random.default_rng(1)
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (days, stocks)), 0))
    weights = (rng.random((days, stocks)) < 0.05).astype(float).view(Interrupting)
else:
    # One purchase, then rows that make no host call at all; the SIGINT
    # comes from another process.
    prices = np.broadcast_to(np.linspace(1, 2, stocks), (days, stocks))
    weights = np.ones((1, stocks))
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; date +%s.%N; kill -INT {os.getpid()}"],
                              stdout=subprocess.PIPE, text=True)
pos_index = index[:len(weights)]
start = time.time()
try:
    ravelin.backtest_(prices, index, names, weights, pos_index, names, pos_index)
    result = {"completed": time.time() - start}
except KeyboardInterrupt as error:
    stopped = time.time()
    if not sent:
        sent.append(float(killer.stdout.read()))
        killer.wait()
    result = {"latency": stopped - sent[0],
              "frames": [frame.name for frame in traceback.extract_tb(error.__traceback__)]}
""" + inspect.getsource(next_run) + """
result["next_run"] = next_run()
print(json.dumps(result))
"""


@pytest.mark.parametrize("kind, days", [("daily", 2500), ("marking", 200_000)])
def test_ctrl_c_ends_a_run_promptly_and_the_next_run_is_fresh(kind, days):
    done = subprocess.run([sys.executable, "-c", CTRL_C, kind, str(days)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    result = json.loads(done.stdout)
    assert "latency" in result, f"the run completed in {result.get('completed')} s despite Ctrl-C"
    assert result["latency"] < (1.0 if UNDER_SANITIZER else 0.1)
    assert "Exception ignored" not in done.stderr
    assert result["frames"][1] == "norvane.ravelin.backtest_"  # the run itself raised it
    assert result["next_run"] == json.loads(json.dumps(next_run()))


# --- one run at a time ----------------------------------------------------------

def pandas_market(seed, days=300, stocks=30):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2020-01-01", periods=days)
    prices = pd.DataFrame(100 * np.exp(np.cumsum(rng.normal(0, 0.02, (days, stocks)), 0)), index=dates,
                          columns=[f"S{i}" for i in range(stocks)])
    momentum = prices / prices.shift(10) - 1
    return prices, (momentum.rank(axis=1, ascending=False) <= 5).iloc[10:]


def report_of(seed):
    prices, position = pandas_market(seed)
    report = norvane.backtest(prices, position, rebalance="W", stop_loss=0.05, excursion_window=10,
                              excursion_step=2)
    return (report.equity, report.trades, report.actions, report.weights, report.next_weights)


def same_report(a, b):
    return all(x.equals(y) for x, y in zip(a, b))


def test_threads_get_the_reports_of_their_serial_runs(unraisable):
    seeds = [[10 * t + k for k in range(5)] for t in range(4)]
    serial = {seed: report_of(seed) for row in seeds for seed in row}
    threaded, errors = {}, []

    def work(row):
        for seed in row:
            try:
                threaded[seed] = report_of(seed)
            except Exception as error:  # noqa: BLE001 - collected, asserted below
                errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=work, args=(row,)) for row in seeds]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == [] and unraisable == []
    assert sorted(threaded) == sorted(serial)
    assert all(same_report(threaded[seed], serial[seed]) for seed in serial)


class CallingBack(np.ndarray):
    """Weights whose rows' `sum` calls `callback` once, from inside the run."""

    callback = None

    def sum(self, *args, **kwargs):
        callback, CallingBack.callback = CallingBack.callback, None
        if callback is not None:
            callback()
        return np.ndarray.sum(self, *args, **kwargs)


@pytest.mark.parametrize("call_back", [
    lambda arrays: ravelin.backtest_(*arrays),
    lambda arrays: ravelin.get_trade_stocks(arrays[5], arrays[1]),
    lambda arrays: ravelin.get_stock_operations(),
], ids=["backtest_", "get_trade_stocks", "get_stock_operations"])
def test_a_call_from_inside_a_run_is_refused(unraisable, call_back):
    fresh = outcome(market())
    arrays = market()
    refused = []

    def inner():
        try:
            call_back(market())
        except RuntimeError as error:
            refused.append(str(error))

    CallingBack.callback = inner
    ravelin.backtest_(*arrays[:3], arrays[3].view(CallingBack), *arrays[4:], stop_loss=0.04, tessary_window=6,
                      tessary_window_step=2)
    assert len(refused) == 1 and "a backtest is already running" in refused[0]
    assert unraisable == []
    assert outcome(arrays) == fresh


def test_a_run_from_another_thread_waits_for_the_run_in_progress():
    expected = outcome(market(seed=5))
    arrays = market()
    finished = []

    def other_thread():
        other = market(seed=5)
        finished.append(("other", ravelin.backtest_(*other, stop_loss=0.04, tessary_window=6,
                                                    tessary_window_step=2).tolist()))

    thread = threading.Thread(target=other_thread)

    def start_other_and_linger():
        thread.start()
        time.sleep(0.2)  # the interpreter lock is free: the other thread reaches the engine and waits

    CallingBack.callback = start_other_and_linger
    ravelin.backtest_(*arrays[:3], arrays[3].view(CallingBack), *arrays[4:])
    finished.append(("this", None))
    thread.join()
    assert [who for who, _ in finished] == ["this", "other"]
    assert finished[1][1] == expected[0]
