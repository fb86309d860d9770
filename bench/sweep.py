"""Parameter sweep throughput: serial against threads, a process pool and
Dask, and what a sweep adds to each run.

A 256-run grid (commission x stop loss x take profit x exit style x position
limit) over one market and strategy, run by each backend of
``norvane.sweep``. Each timing is the whole call as a user sees it, worker
start-up and shipping the frames included. All backends must return the
same frame; the script checks that before printing the table.

The per-run table sets each run's cost against the raw engine: the same
runs as plain ``ravelin.backtest_`` calls on the prepared arrays (the
baseline), the serial sweep (whole call over the runs) and each pool once
started (from each worker's first answer to the last answer, so worker
start-up and the first preparation are left out), against serial / workers.

    python -m bench.sweep                  # M market, 256 runs, 1 and 2 workers
    python -m bench.sweep --runs 64        # the first 64 runs of the grid
    python -m bench.sweep --size S --workers 1 2 4
"""

from __future__ import annotations

import argparse
import os
import sys
import time

if __package__ in (None, ""):                     # python bench/sweep.py
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import pandas as pd

from bench.market import SIZES, sized_market, strategy

GRID = {
    "commission": [0.0005, 0.001, 0.001425, 0.002],
    "stop_loss": [None, 0.05, 0.1, 0.2],
    "take_profit": [None, 0.1, 0.2, 0.4],
    "touched_exit": [False, True],
    "position_limit": [1.0, 0.015],
}


def frames(size: str, kind: str) -> tuple[pd.DataFrame, pd.DataFrame]:
    market = sized_market(size)
    weights, pos_index, _ = strategy(market, kind)
    columns = list(market.columns)
    prices = pd.DataFrame(market.prices, index=pd.DatetimeIndex(market.index.astype("datetime64[ns]")),
                          columns=columns)
    position = pd.DataFrame(weights, index=pd.DatetimeIndex(pos_index.astype("datetime64[ns]")),
                            columns=columns)
    return prices, position


def runs_of(grid: dict, count: int) -> list[dict]:
    from itertools import product

    names = list(grid)
    every = [dict(zip(names, combo)) for combo in product(*grid.values())]
    return every[:count]


def raw_engine(prices: pd.DataFrame, position: pd.DataFrame, runs: list[dict]) -> float:
    """Seconds for the runs as plain backtest_ calls on the arrays a sweep prepares."""
    from norvane import _frames, ravelin
    from norvane.settings import Settings

    prepared = _frames.for_many_runs(_frames.prepare(prices, position))
    arrays = (prepared.price_values, prepared.price_index, prepared.price_columns, prepared.weights,
              prepared.pos_index, prepared.columns, prepared.resample)
    settings = [Settings(**run).engine_arguments() for run in runs]
    start = time.perf_counter()
    for arguments in settings:
        ravelin.backtest_(*arrays, **arguments)
    return time.perf_counter() - start


def lean_engine(prices: pd.DataFrame, position: pd.DataFrame, runs: list[dict]) -> float:
    """Seconds for the runs as plain simulate calls on the arrays a sweep prepares."""
    from norvane import _frames, ravelin
    from norvane.settings import Settings

    prepared = _frames.for_many_runs(_frames.prepare(prices, position))
    arrays = (prepared.price_values, prepared.price_index, prepared.stock_columns, prepared.weights,
              prepared.pos_index, prepared.weight_sums, prepared.resample)
    settings = [Settings(**run).engine_arguments() for run in runs]
    start = time.perf_counter()
    for arguments in settings:
        ravelin.simulate(*arrays, **arguments)
    return time.perf_counter() - start


class _Clock:
    """A progress bar that notes when each run is reported."""

    def __init__(self) -> None:
        self.times: list[float] = []

    def update(self, n: int = 1) -> None:
        self.times.extend([time.perf_counter()] * n)

    def close(self) -> None:
        pass


def timed_sweep(prices: pd.DataFrame, position: pd.DataFrame, runs: list[dict], backend: str,
                workers: int) -> tuple[pd.DataFrame, float, list[float]]:
    from norvane import sweeps

    clock = _Clock()
    plain = sweeps._progress_bar
    sweeps._progress_bar = lambda progress, total: clock
    try:
        start = time.perf_counter()
        frame = sweeps.sweep(prices, position, runs, backend=backend,
                             workers=None if backend == "serial" else workers)
        wall = time.perf_counter() - start
    finally:
        sweeps._progress_bar = plain
    return frame, wall, clock.times


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", choices=sorted(SIZES), default="M")
    parser.add_argument("--strategy", default="monthly-50")
    parser.add_argument("--runs", type=int, default=256, help="first N runs of the 256-run grid")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--backends", nargs="+", default=["serial", "threads", "processes", "dask"],
                        choices=["serial", "threads", "processes", "dask"])
    args = parser.parse_args(argv)

    t0 = time.perf_counter()
    prices, position = frames(args.size, args.strategy)
    runs = runs_of(GRID, args.runs)
    print(f"market {args.size}: {prices.shape[1]} stocks x {prices.shape[0]} days, "
          f"strategy {args.strategy}, {len(runs)} runs (built in {time.perf_counter() - t0:.1f} s); "
          f"{os.cpu_count()} CPUs")

    raw = raw_engine(prices, position, runs)
    print(f"  raw backtest_  {raw:7.2f} s", flush=True)
    lean = lean_engine(prices, position, runs)
    print(f"  raw simulate   {lean:7.2f} s", flush=True)
    plan = [("serial", 1)] if "serial" in args.backends else []
    plan += [(b, w) for b in ("threads", "processes", "dask") if b in args.backends for w in args.workers]
    results = []
    reference = None
    for backend, workers in plan:
        frame, wall, times = timed_sweep(prices, position, runs, backend, workers)
        failed = int(frame["error"].notna().sum())
        if reference is None:
            reference = frame
        elif not frame.equals(reference):
            raise SystemExit(f"{backend} with {workers} workers returned a different frame")
        # Once started: from the workers-th answer (each worker has answered
        # about once) to the last.
        steady = (times[-1] - times[workers - 1]) / (len(times) - workers) if len(times) > workers else float("nan")
        results.append((backend, workers, wall, failed, steady))
        print(f"  {backend:<9} workers={workers}: {wall:7.2f} s", flush=True)

    base = results[0][2] if results and results[0][0] == "serial" else None
    print()
    print(f"{'backend':<10}{'workers':>8}{'wall s':>9}{'runs/s':>9}{'speed-up':>10}{'per worker':>12}{'failed':>8}")
    for backend, workers, wall, failed, _ in results:
        speed = base / wall if base else float("nan")
        print(f"{backend:<10}{workers:>8}{wall:>9.2f}{len(runs) / wall:>9.2f}"
              f"{speed:>10.2f}{speed / workers:>12.2f}{failed:>8}")
    if len(results) > 1:
        print("\nall backends returned the same frame, bit for bit")

    per_raw = lean / len(runs) * 1e3
    print(f"\nper run: raw simulate {per_raw:.2f} ms (raw backtest_ {raw / len(runs) * 1e3:.2f} ms)")
    print(f"{'backend':<10}{'workers':>8}{'ms/run':>9}{'/ raw':>8}{'/ (serial / workers)':>22}")
    for backend, workers, wall, _, steady in results:
        if backend == "serial":
            per_run = wall / len(runs) * 1e3
            print(f"{backend:<10}{workers:>8}{per_run:>9.2f}{per_run / per_raw:>8.2f}{'':>22}")
        else:
            per_run = steady * 1e3
            against = f"{per_run / (base / len(runs) * 1e3 / workers):.2f}" if base else "-"
            print(f"{backend:<10}{workers:>8}{per_run:>9.2f}{per_run / per_raw:>8.2f}{against:>22}  (once started)")


if __name__ == "__main__":
    main()
