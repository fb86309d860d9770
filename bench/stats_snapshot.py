"""Bit-identity snapshot of the numbers the pandas layer reports.

Usage, from the repository root::

    python -m bench.stats_snapshot            # compare with bench/stats_snapshot.json; exit 1 on any difference
    python -m bench.stats_snapshot --write    # record the current build's numbers

What ``bench.snapshot`` is for the engine, this is for what a user reads:
the ``stats()`` of a set of reports (every setting that changes a run, on
the synthetic market of ``norvane.demo``), each with the bytes of its trade
table; the frame of a sweep over a strategy grid; the windows, equity and
statistics of a walk-forward; and the assessment of the sweep. Every value
is digested with its type, so an int that becomes a float shows too. A
restructuring of the Python layer is done only when this comparison passes.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parent.parent
if __package__ in (None, ""):
    sys.path.insert(0, str(ROOT))

import norvane  # noqa: E402
from norvane import demo, overfitting  # noqa: E402

SNAPSHOT = Path(__file__).with_name("stats_snapshot.json")

REPORTS = {
    "monthly": ("M", {}),
    "weekly stops": ("W", {"stop_loss": 0.05, "take_profit": 0.2}),
    "touched exits": ("W", {"stop_loss": 0.04, "take_profit": 0.1, "touched_exit": True}),
    "stops from entry": ("W", {"stop_loss": 0.06, "stop_from": "entry"}),
    "costs and limit": ("M", {"commission": 0.002, "sell_tax": 0.003, "position_limit": 0.08}),
    "excursions": ("M", {"excursion_window": 60, "excursion_step": 7}),
    "absolute weights": ("M", {"weights": "absolute"}),
    "no retarget": ("M", {"retarget": False}),
    "every signal": (None, {}),
}


def _typed(value: object) -> str:
    return f"{type(value).__name__}:{value!r}"


def _digest(*parts: bytes | str) -> str:
    digest = hashlib.sha256()
    for part in parts:
        digest.update(part.encode() if isinstance(part, str) else part)
    return digest.hexdigest()[:16]


def _frame_digest(frame: pd.DataFrame) -> str:
    parts = [repr(list(frame.columns)), repr(list(frame.dtypes.astype(str)))]
    for name in frame.columns:
        column = frame[name]
        if isinstance(column.dtype, np.dtype) and column.dtype.kind in "biufmM":
            parts.append(column.to_numpy().tobytes())
        else:  # objects, strings, nullable integers: value by value, with their types
            parts.extend(_typed(v) if not isinstance(v, pd.Series) else _series_digest(v) for v in column)
    return _digest(*parts)


def _series_digest(series: pd.Series) -> str:
    return _digest(series.index.asi8.tobytes(), series.to_numpy(dtype=np.float64).tobytes())


def _market() -> tuple[pd.DataFrame, pd.DataFrame]:
    prices = demo.synthetic_market(stocks=120, days=1_500, seed=3)
    return prices, demo.momentum_position(prices, 60, 30, 10)


def snapshot() -> dict[str, str]:
    prices, position = _market()
    out: dict[str, str] = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, (rebalance, settings) in REPORTS.items():
            report = norvane.backtest(prices, position, rebalance, **settings)
            out[f"report {name}: stats"] = _digest(*(_typed(v) for v in report.stats().items()))
            out[f"report {name}: trades"] = _frame_digest(report.trades)
            out[f"report {name}: next day"] = _digest(repr(report.actions.to_dict()), repr(report.weights.to_dict()),
                                                      repr(report.next_weights.to_dict()))

        def strategy(prices: pd.DataFrame, lookback: int, top: int) -> pd.DataFrame:
            return demo.momentum_position(prices, lookback, 30, top)

        grid = {"lookback": [40, 80], "top": [5, 10], "stop_loss": [None, 0.08]}
        results = norvane.sweep(prices, strategy, grid, rebalance="W", backend="serial", keep_returns=True,
                                commission=0.001)
        out["sweep frame"] = _frame_digest(results)
        found = overfitting.assess(results, n_blocks=6)
        out["assessment"] = _digest(repr(found.pbo.pbo), found.deflated_sharpe.to_numpy().tobytes(),
                                    found.trial_sharpes.to_numpy().tobytes())
        walked = norvane.walk_forward(prices, strategy, grid, train=500, test=125, rebalance="W",
                                      backend="serial")
        out["walk-forward windows"] = _frame_digest(walked.windows)
        out["walk-forward equity"] = _series_digest(walked.equity)
        out["walk-forward stats"] = _digest(*(_typed(v) for v in walked.stats.items()))
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.stats_snapshot", description=__doc__.splitlines()[0])
    parser.add_argument("--write", action="store_true", help="record the current numbers")
    args = parser.parse_args(argv)
    got = snapshot()
    if args.write:
        SNAPSHOT.write_text(json.dumps(got, indent=1) + "\n")
        print(f"wrote {len(got)} digests to {SNAPSHOT}")
        return 0
    expected = json.loads(SNAPSHOT.read_text())
    changed = sorted(k for k in expected.keys() | got.keys() if expected.get(k) != got.get(k))
    for key in changed:
        print(f"differs: {key}")
    print(f"{len(got)} digests, " + ("all identical" if not changed else f"{len(changed)} differ"))
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main())
