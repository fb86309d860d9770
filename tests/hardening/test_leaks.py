"""Thousands of runs, good and failing, must leave no references or memory
behind: the argument arrays and the module state come back to the reference
counts they had, and resident memory stays flat once warmed up."""

import contextlib
import gc
import os
import sys
import weakref

import numpy as np
import pytest

from norvane import ravelin, tessary

DAY = 86_400 * 10**9
ROUNDS = 250  # each round runs every scenario once, then a good run
RSS_BOUND = 2 * 2**20  # bytes of growth allowed over the second half


def under_sanitizer():
    # ASan's quarantine holds freed memory back, so resident memory grows by
    # design there; its own leak check covers the native heap instead.
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def market(rows=400, stocks=12, seed=7):
    """Volatile prices with gaps, weights that change every eight rows."""
    rng = np.random.default_rng(seed)
    prices = 50 * np.cumprod(1 + rng.normal(0, 0.04, (rows, stocks)), axis=0)
    prices[rng.random((rows, stocks)) < 0.03] = np.nan
    index = (np.arange(rows, dtype=np.int64) + 19_000) * DAY
    columns = np.array([f"S{i:02d}" for i in range(stocks)], dtype=object)
    weights = rng.random((rows // 8, stocks))
    weights[weights < 0.5] = 0.0
    pos_index = index[4::8].copy()
    return prices, index, columns, weights, pos_index, columns.copy(), pos_index.copy()


def scenarios(arrays):
    """(name, call, expected exception or None); the failing ones fail at
    every stage of a run: argument checks, set-up, mid-loop, results."""
    prices, index, columns, weights, pos_index, pos_columns, resample = arrays
    base = list(arrays)

    def run(*values, **kwargs):
        return ravelin.backtest_(*values, **kwargs)

    wide = np.zeros((prices.shape[0] * 2, prices.shape[1] + 3))
    wide[::2, : prices.shape[1]] = prices
    strided = wide[::2, : prices.shape[1]]  # non-contiguous
    frozen = weights.copy()
    frozen.flags.writeable = False
    short_weights = weights[:-3]
    narrow_prices = prices[:, :-2]  # two names without a price column
    # Numbers that are not plain floats or ints go through __float__ / __int__.
    fee, window, step = np.float64(0.002), np.int32(12), np.int64(5)

    ok = [
        ("defaults", lambda: run(*base), None),
        ("stops next row", lambda: run(*base, stop_loss=0.03, take_profit=-0.04,
                                       tessary_window=10, tessary_window_step=3), None),
        ("stops touched", lambda: run(*base, 0.001, 0.003, -0.03, 0.04, True, 0.3, 40, 1), None),
        ("views", lambda: run(strided, index, columns, frozen, pos_index, pos_columns, resample,
                              fee_ratio=fee, touched_exit=1, stop_loss=0.02,
                              tessary_window=window, tessary_window_step=step), None),
    ]
    failing = [
        ("float32 weights", lambda: run(prices, index, columns, weights.astype(np.float32),
                                        pos_index, pos_columns, resample), ValueError),
        ("list argument", lambda: run(prices, list(index), *base[2:]), TypeError),
        ("3-d prices", lambda: run(prices[None], *base[1:]), ValueError),
        ("none resample", lambda: run(*base[:6], None), TypeError),
        ("fewer weight rows", lambda: run(prices, index, columns, short_weights,
                                          pos_index, pos_columns, resample, touched_exit=True,
                                          stop_loss=0.03), IndexError),
        ("fewer price columns", lambda: run(narrow_prices, *base[1:]), IndexError),
        # every exit fails in the analysis (reported as unraisable), then
        # the end of the analysis run fails the run itself
        ("window step 0", lambda: run(*base, stop_loss=0.03, tessary_window=5,
                                      tessary_window_step=0), ZeroDivisionError),
        ("bad window", lambda: run(*base, tessary_window="5"), TypeError),
    ]
    keep = (strided, frozen, short_weights, narrow_prices, fee, window, step, wide)
    return ok + failing, keep


def listing(arrays):
    rows, operations = ravelin.get_trade_stocks(arrays[5], arrays[1])
    copy = ravelin.get_stock_operations()
    ravelin.ioft(int(arrays[1][0]))
    return rows, operations, copy


def test_runs_leave_no_references_or_memory(unraisable):
    arrays = market()
    cases, keep = scenarios(arrays)
    cases[0][1]()  # the analysis module keeps the last run's price matrix
    watched = [*arrays, *keep, *arrays[2], tessary.trades, tessary.trade_positions, tessary.tessary]
    counts_before = [sys.getrefcount(obj) for obj in watched]

    sanitized = under_sanitizer()
    rounds = ROUNDS // 3 if sanitized else ROUNDS
    samples = {}
    reports = 0
    with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
        for r in range(rounds):
            if r == rounds // 4:
                gc.collect()
                samples["warm"] = (resident_bytes(), len(gc.get_objects()))
            if r == rounds // 2:
                gc.collect()
                samples["half"] = (resident_bytes(), len(gc.get_objects()))
            for name, call, expected in cases:
                if expected is None:
                    curve = call()
                    assert curve.dtype == np.float64 and curve.shape == arrays[1].shape, name
                    dead_curve = weakref.ref(curve)
                    del curve
                    assert dead_curve() is None, f"{name}: result kept alive"
                else:
                    with pytest.raises(expected):
                        call()
                rows, operations, copy = listing(arrays)
                old_entry = weakref.ref(tessary.entry)
                del rows, operations, copy
                reports += len(unraisable)
                unraisable.clear()
            # a run replaces the analysis arrays and releases the old ones
            cases[0][1]()
            assert old_entry() is None
    gc.collect()
    end = (resident_bytes(), len(gc.get_objects()))

    assert reports >= rounds, "the unraisable path was not exercised"
    assert [sys.getrefcount(obj) for obj in watched] == counts_before
    # the operations dict of a run is released when the next run replaces it
    operations = ravelin.get_trade_stocks(arrays[5], arrays[1])[1]
    cases[0][1]()
    assert sys.getrefcount(operations) == 2

    assert end[1] - samples["half"][1] < 50, f"tracked objects grew: {samples}, end {end}"
    if not sanitized:
        growth = end[0] - samples["half"][0]
        assert growth < RSS_BOUND, f"resident memory grew by {growth} bytes over the second half"
