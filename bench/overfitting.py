"""Probability of backtest overfitting at scale: ``norvane.overfitting.pbo``.

Seeded daily returns of 1,000 trials over 4,000 days (skill-less, so the
answer should sit near 0.5), cut into 16 blocks: 12,870 splits, each scoring
every trial's per-period Sharpe ratio on both halves. Prints the best and
median wall time of a few whole calls.

    python -m bench.overfitting
    python -m bench.overfitting --trials 2000 --days 2500 --blocks 14
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time

if __package__ in (None, ""):                     # python bench/overfitting.py
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import numpy as np
import pandas as pd

from norvane.overfitting import pbo


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trials", type=int, default=1000)
    parser.add_argument("--days", type=int, default=4000)
    parser.add_argument("--blocks", type=int, default=16)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args(argv)

    rng = np.random.default_rng(16)
    returns = pd.DataFrame(rng.normal(0.0003, 0.012, (args.days, args.trials)),
                           index=pd.bdate_range("2010-01-01", periods=args.days))
    times = []
    for _ in range(args.repeats):
        began = time.perf_counter()
        result = pbo(returns, n_blocks=args.blocks)
        times.append(time.perf_counter() - began)
    splits = math.comb(args.blocks, args.blocks // 2)
    assert result.splits == splits
    print(f"pbo: {args.trials:,} trials x {args.days:,} days, {args.blocks} blocks ({splits:,} splits)")
    print(f"  wall time: best {min(times):.2f} s, median {statistics.median(times):.2f} s of {args.repeats}")
    print(f"  PBO {result.pbo:.3f} (skill-less trials: about 0.5 expected)")


if __name__ == "__main__":
    main()
