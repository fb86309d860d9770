"""The engine's entries against the hand-written Numba loop, side by side.

Usage, from the repository root (numba installed)::

    python -m bench.entries                  # market M, 5 timed runs of each
    python -m bench.entries --size S --repeat 9

For each strategy of ``bench/market.py`` (monthly-50, weekly-200, daily) it
times, interleaved so that load from other jobs falls on all of them:

- ``Numba loop``: ``bench.peers.numba_backtest`` on the same orders (no
  trade list, no stops, no excursion records);
- ``simulate``: the lean entry, every result as columns;
- ``backtest_``: the publishing entry, plus the reads of its trades
  (``get_trade_stocks``) and operations;
- ``norvane.backtest``: the whole pandas call (``rebalance=None``: every
  position row trades, as in the loop), and the same with its trade table
  read (``report.trades``, made on first use from the run's columns).

It also reports the bytes of results per trade of ``simulate`` (trade
columns and excursion records, window 0) and the peak resident memory a
``simulate`` run adds, against the size of the price matrix. With ``--old
PATH`` (a ``pip install --target`` of another build) ``backtest_`` of that
build is timed too, in a child process, and the curves are compared.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parent.parent
if __package__ in (None, ""):
    sys.path.insert(0, str(ROOT))

import norvane  # noqa: E402
from bench import market as mk  # noqa: E402
from bench import peers  # noqa: E402
from norvane import ravelin  # noqa: E402

STRATEGIES = ("monthly-50", "weekly-200", "daily")


def lean_arguments(market: mk.Market, pos_values: np.ndarray, pos_index: np.ndarray, resample: np.ndarray):
    columns = np.arange(market.prices.shape[1], dtype=np.int64)
    return (market.prices, market.index, columns, pos_values, pos_index,
            np.ascontiguousarray(pos_values).sum(axis=1), resample)


def frames(market: mk.Market, pos_values: np.ndarray, pos_index: np.ndarray):
    prices = pd.DataFrame(market.prices, index=pd.DatetimeIndex(market.index), columns=list(market.columns))
    position = pd.DataFrame(pos_values, index=pd.DatetimeIndex(pos_index), columns=list(market.columns))
    return prices, position


def _peak_rss_reset() -> None:
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


def _peak_rss() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def _rss() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def run_memory(arguments) -> tuple[float, int]:
    """Bytes of results per trade and the peak resident memory one run adds."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    base = _rss()
    _peak_rss_reset()
    out = ravelin.simulate(*arguments)
    peak = _peak_rss() - base
    trades = len(out["trade_stock"])
    per_trade = sum(out[k].nbytes for k in ("trade_stock", "trade_entry_row", "trade_exit_row",
                                            "trade_entry_value", "records")) / max(trades, 1)
    return per_trade, peak


def old_backtest_times(old: str, size: str, seed: int, kind: str, repeat: int) -> list[float]:
    script = f"""
import sys, time
sys.path.insert(0, {old!r}); sys.path.insert(1, {str(ROOT)!r})
from bench import market as mk
from norvane import ravelin
m = mk.sized_market({size!r}, {seed}); v, i, r = mk.strategy(m, {kind!r})
ravelin.backtest_(m.prices, m.index, m.columns, v, i, m.columns, r)
for _ in range({repeat}):
    t = time.perf_counter(); ravelin.backtest_(m.prices, m.index, m.columns, v, i, m.columns, r)
    ravelin.get_trade_stocks(m.columns, m.index); ravelin.get_stock_operations()
    print(time.perf_counter() - t)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return [float(line) for line in done.stdout.split()]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.entries", description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="M", choices=list(mk.SIZES))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--old", help="site directory of another build, for its backtest_ times")
    args = parser.parse_args(argv)

    market = mk.sized_market(args.size, args.seed)
    matrix_bytes = market.prices.nbytes
    print(f"Market {args.size}: {market.prices.shape[1]:,} stocks x {market.prices.shape[0]:,} days "
          f"(price matrix {matrix_bytes / 1e6:.0f} MB); medians of {args.repeat} interleaved runs, ms.\n")
    print("| strategy | trades | Numba loop | simulate | backtest_ | norvane.backtest | with report.trades | "
          "simulate / loop | backtest / loop | with trades / loop | result bytes per trade | "
          "peak run memory / price matrix |" + (" old backtest_ |" if args.old else ""))
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|" + ("---:|" if args.old else ""))
    for kind in STRATEGIES:
        pos_values, pos_index, resample = mk.strategy(market, kind)
        rows, weights = peers.engine_orders(market.index, pos_values, pos_index)
        lean = lean_arguments(market, pos_values, pos_index, resample)
        prices, position = frames(market, pos_values, pos_index)

        def loop():
            return peers.numba_backtest(market.prices, rows, weights)

        def lean_run():
            return ravelin.simulate(*lean)

        def raw():
            curve = ravelin.backtest_(market.prices, market.index, market.columns, pos_values, pos_index,
                                      market.columns, resample)
            ravelin.get_trade_stocks(market.columns, market.index)
            ravelin.get_stock_operations()
            return curve

        def whole():
            return norvane.backtest(prices, position)

        def whole_with_table():
            return norvane.backtest(prices, position).trades

        calls = {"loop": loop, "simulate": lean_run, "backtest_": raw, "backtest": whole,
                 "backtest+trades": whole_with_table}
        for call in calls.values():
            call()  # compiles the loop, warms the caches
        times: dict[str, list[float]] = {name: [] for name in calls}
        for _ in range(args.repeat):
            for name, call in calls.items():
                start = time.perf_counter()
                call()
                times[name].append(time.perf_counter() - start)
        ms = {name: statistics.median(t) * 1e3 for name, t in times.items()}
        out = lean_run()
        if not np.array_equal(out["equity"], raw(), equal_nan=True):
            print(f"{kind}: simulate and backtest_ disagree", file=sys.stderr)
            return 1
        per_trade, peak = run_memory(lean)
        old = ""
        if args.old:
            old = f" {statistics.median(old_backtest_times(args.old, args.size, args.seed, kind, args.repeat)) * 1e3:,.1f} |"
        print(f"| {kind} | {len(out['trade_stock']):,} | {ms['loop']:,.1f} | {ms['simulate']:,.1f} | "
              f"{ms['backtest_']:,.1f} | {ms['backtest']:,.1f} | {ms['backtest+trades']:,.1f} | "
              f"{ms['simulate'] / ms['loop']:.2f} | {ms['backtest'] / ms['loop']:.2f} | "
              f"{ms['backtest+trades'] / ms['loop']:.2f} | {per_trade:,.0f} | {peak / matrix_bytes:.1%} |{old}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
