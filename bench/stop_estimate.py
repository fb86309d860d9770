"""How close the stop estimate from excursions comes to a real rerun.

The demo market and strategy (``python -m norvane.demo``: top 20 by 120-day
momentum, monthly, at most 10 % in one stock) run once without stops;
``Report.stop_analysis`` estimates each level from that run's excursions,
and a rerun with the level (``stop_loss=``/``take_profit=``, next-day exits
as by default) gives the real figures. Prints a Markdown table: the win rate
and the mean price return of the closed trades, estimated and rerun, and the
rerun's mean over the same trades (same stock and entry date) alone, which
leaves out the re-entries after an early exit.

    python -m bench.stop_estimate
    python -m bench.stop_estimate --touched      # reruns exit at the level, on the day
"""

from __future__ import annotations

import argparse
import math
import os
import sys

if __package__ in (None, ""):                     # python bench/stop_estimate.py
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import norvane
from norvane.demo import momentum_position, synthetic_market

STOPS = (0.05, 0.08, 0.12, 0.2)
TARGETS = (0.2, 0.4, 0.6)
PAIRS = ((0.08, 0.4), (0.12, 0.6))


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--touched", action="store_true", help="reruns with touched_exit=True")
    args = parser.parse_args(argv)

    prices = synthetic_market()
    position = momentum_position(prices)
    settings = dict(rebalance="M", position_limit=0.1, excursion_window=60, excursion_step=20)
    base = norvane.backtest(prices, position, **settings)
    analysis = base.stop_analysis(STOPS, TARGETS)
    keys = base.closed_trades[["stock", "entry_date"]]

    print("| stop | target | est. win rate | rerun win rate | est. mean return | rerun mean return "
          "| rerun, same trades | rerun trades |")
    print("|---|---|---|---|---|---|---|---|")
    for _, row in analysis.iterrows():
        stop = None if math.isnan(row["stop"]) else float(row["stop"])
        target = None if math.isnan(row["target"]) else float(row["target"])
        if stop is not None and target is not None and (stop, target) not in PAIRS:
            continue
        rerun = norvane.backtest(prices, position, stop_loss=stop, take_profit=target,
                                 touched_exit=args.touched, **settings)
        stats = rerun.stats()
        same = keys.merge(rerun.closed_trades[["stock", "entry_date", "return"]], on=["stock", "entry_date"])
        print(f"| {_level(stop)} | {_level(target)} | {row['est_win_rate']:.1%} | {stats['win_rate']:.1%} "
              f"| {row['est_avg_return']:.2%} | {stats['avg_trade_return']:.2%} | {same['return'].mean():.2%} "
              f"| {stats['trades']:,} |")


def _level(level: float | None) -> str:
    return "-" if level is None else f"{level:.0%}"


if __name__ == "__main__":
    main()
