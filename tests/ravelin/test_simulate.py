"""simulate, the lean entry: its argument checks, runs on many threads at once
with the interpreter lock released, and how a run is stopped. (Its results
are held against backtest_ and the reference model in test_against_reference.)"""

import os
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest

import norvane
from norvane import ravelin

DAY = 86_400 * 10**9


def market(days=60, stocks=4, seed=0):
    rng = np.random.default_rng(seed)
    prices = 20 * np.exp(np.cumsum(rng.normal(0, 0.03, (days, stocks)), axis=0))
    weights = (rng.random((days // 5, stocks)) < 0.6).astype(float)
    dates = np.arange(days, dtype=np.int64) * DAY
    return dict(price_values=prices, price_index=dates, stock_columns=np.arange(stocks, dtype=np.int64),
                pos_values=weights, pos_index=dates[::5][:len(weights)], weight_sums=weights.sum(axis=1),
                resample=dates)


def with_(**changes):
    return {**market(), **changes}


M = market()


@pytest.mark.parametrize("arguments, kind, message", [
    (with_(price_values=None), TypeError, "price_values: expected a NumPy array, got None"),
    (with_(stock_columns=[0, 1, 2, 3]), TypeError, "Argument 'stock_columns' has incorrect type"),
    (with_(price_index=M["price_index"][:-1]), ValueError,
     "price_index: expected 60 values, one per price row, got 59"),
    (with_(weight_sums=M["weight_sums"][:3]), ValueError, "weight_sums: expected 12 values, one per position row"),
    (with_(pos_index=M["pos_index"][:1]), ValueError, "pos_index: expected 12 values, one per position row, got 1"),
    (with_(stock_columns=np.arange(3)), ValueError, "stock_columns: expected 4 values, one per column of pos_values"),
    (with_(stock_columns=np.array([0, 1, 2, 4])), ValueError,
     "stock_columns: stock 3 reads price column 4, but price_values has 4 columns"),
    (with_(stock_columns=np.array([0, -1, 2, 3])), ValueError, "stock 1 reads price column -1"),
    (with_(pos_values=np.empty((0, 4)), pos_index=M["pos_index"][:0], weight_sums=np.empty(0)), ValueError,
     "pos_values: expected at least one position row"),
    (with_(tessary_window=61), ValueError, r"tessary_window: expected 0 to 60 days \(the price rows\), got 61"),
    (with_(tessary_window=-1), ValueError, "tessary_window: expected 0 to 60 days"),
    (with_(tessary_window_step=0), ValueError, "tessary_window_step: expected at least 1 day, got 0"),
    (with_(price_values=np.where(np.arange(60)[:, None] == 30, 0.0, M["price_values"])), ValueError,
     "price_values: a trade's price column holds a price of 0"),
    (with_(price_values=M["price_values"].astype(np.float32)), ValueError, "Buffer dtype mismatch"),
])
def test_bad_arguments_are_named(arguments, kind, message):
    with pytest.raises(kind, match=message):
        ravelin.simulate(**arguments)


def test_results_are_columns_of_their_own():
    out = ravelin.simulate(**market(), tessary_window=10, tessary_window_step=5)
    trades = len(out["trade_stock"])
    assert trades > 0 and out["records"].shape == (trades, 3 * 6)
    assert {k: v.dtype.str for k, v in out.items()} == {
        "equity": "<f8", "trade_stock": "<i8", "trade_entry_row": "<i8", "trade_exit_row": "<i8",
        "trade_entry_value": "<f8", "trade_exit_reason": "|i1", "records": "<f8", "weight_stock": "<i8", "weight": "<f8",
        "next_weight_stock": "<i8", "next_weight": "<f8", "action_stock": "<i8", "action": "|i1"}
    again = ravelin.simulate(**market(), tessary_window=10, tessary_window_step=5)
    assert all(np.array_equal(out[k], again[k]) and out[k] is not again[k] for k in out)


def test_threads_run_at_once_and_agree_with_a_serial_run():
    # Eight threads, mixing simulate, norvane.backtest, sweeps on threads of
    # their own, backtest_ and the readers of its module state: each result
    # equals its serial counterpart.
    arguments = [market(days=300, stocks=30, seed=s) for s in range(4)]
    serial = [ravelin.simulate(**a, stop_loss=0.05) for a in arguments]
    names = np.array([f"S{k}" for k in range(30)], dtype=object)
    failures = []
    a = arguments[0]
    prices = pd.DataFrame(a["price_values"], index=pd.DatetimeIndex(a["price_index"]), columns=list(names))
    position = pd.DataFrame(a["pos_values"], index=pd.DatetimeIndex(a["pos_index"]), columns=list(names))
    report = norvane.backtest(prices, position, stop_loss=0.05)
    grid = {"stop_loss": [None, 0.05], "commission": [0.0, 0.001]}
    swept = norvane.sweep(prices, position, grid, backend="serial")

    def pandas_layer(k):
        for _ in range(5):
            again = norvane.backtest(prices, position, stop_loss=0.05)
            if not (again.equity.equals(report.equity) and again.trades.equals(report.trades)):
                failures.append("backtest")
            if not norvane.sweep(prices, position, grid, backend="threads", workers=2).equals(swept):
                failures.append("sweep")

    def lean(k):
        for _ in range(20):
            got = ravelin.simulate(**arguments[k], stop_loss=0.05)
            if not all(np.array_equal(got[c], serial[k][c]) for c in got):
                failures.append(k)

    def raw(k):
        a = arguments[k]
        for _ in range(20):
            ravelin.backtest_(a["price_values"], a["price_index"], names, a["pos_values"], a["pos_index"], names,
                              a["resample"], stop_loss=0.05)
            ravelin.get_trade_stocks(names, a["price_index"])

    kinds = [lean, raw, pandas_layer]
    threads = [threading.Thread(target=kinds[i % 3], args=(i % 4,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_the_interpreter_lock_is_released_while_it_runs():
    big = market(days=3000, stocks=400)
    done = threading.Event()
    ticks = 0

    def run():
        for _ in range(3):
            ravelin.simulate(**big)
        done.set()

    worker = threading.Thread(target=run)
    worker.start()
    while not done.is_set():
        ticks += 1  # only runs while the other thread has let the lock go
    worker.join()
    assert ticks > 10_000


def test_ctrl_c_and_cancel_runs_end_a_run():
    big = market(days=20_000, stocks=200)
    # The main thread's run answers Ctrl-C itself.
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            for _ in range(1000):
                ravelin.simulate(**big)
    finally:
        timer.cancel()
    assert time.monotonic() - start < 5.0
    # Other threads' runs end when cancel_runs is called.
    outcome = []

    def run():
        try:
            for _ in range(1000):
                ravelin.simulate(**big)
        except KeyboardInterrupt as exc:
            outcome.append(str(exc))

    worker = threading.Thread(target=run)
    worker.start()
    time.sleep(0.2)
    while worker.is_alive():  # a run that starts after a cancellation is not cancelled by it
        ravelin.cancel_runs()
        worker.join(0.05)
    assert outcome == ["the run was cancelled"]
