"""Bit-identity snapshot of everything ``backtest_`` leaves behind.

Usage, from the repository root::

    python -m bench.snapshot            # compare with bench/snapshot.json; exit 1 on any difference
    python -m bench.snapshot --write    # record the current build's outputs

Each workload of ``bench/run.py`` (and a few that reach other paths: next-row
stops, long excursion windows, a NaN-rich market) runs once on the seeded S
and M markets. What is digested, per workload: the equity curve's bytes; the
trade lists with the type of every element; the entry values and their
types; every excursion record's dtype, shape and bytes; the next-day
operations with the types of keys and values; the rows of
``get_trade_stocks``. A speed-up is done only when this comparison passes.

The markets themselves are digested too: their prices go through NumPy's
``exp``, whose last bits differ between CPUs, so a snapshot recorded on
another machine says so instead of reporting every curve as changed.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
if __package__ in (None, ""):
    sys.path.insert(0, str(ROOT))

from bench import market as mk  # noqa: E402
from bench.run import WORKLOADS  # noqa: E402

from norvane import ravelin, tessary  # noqa: E402

SNAPSHOT = Path(__file__).with_name("snapshot.json")
EXTRA = [
    ("monthly-50 next-row stops", "monthly-50", {"stop_loss": 0.05, "take_profit": 0.1}),
    ("weekly-200 tw250 step 7", "weekly-200", {"tessary_window": 250, "tessary_window_step": 7}),
    ("daily fees", "daily", {"fee_ratio": 0.01, "tax_ratio": 0.02, "position_limit": 0.02}),
]


def _typed(value) -> str:
    return f"{type(value).__name__}:{value!r}"


class _Digest:
    def __init__(self) -> None:
        self.parts: dict[str, hashlib._Hash] = {}

    def add(self, part: str, data: bytes | str) -> None:
        digest = self.parts.setdefault(part, hashlib.sha256())
        digest.update(data.encode() if isinstance(data, str) else data)

    def hexdigests(self) -> dict[str, str]:
        return {part: digest.hexdigest()[:16] for part, digest in self.parts.items()}


def digest_run(market: mk.Market, strategy: str, kwargs: dict) -> dict[str, str]:
    weights, pos_index, resample = mk.strategy(market, strategy)
    columns = market.columns
    curve = ravelin.backtest_(market.prices, market.index, columns, weights, pos_index, columns, resample, **kwargs)
    d = _Digest()
    d.add("curve", _typed(curve.dtype) + repr(curve.shape))
    d.add("curve", curve.tobytes())
    for trade in tessary.trades:
        d.add("trades", "|".join(_typed(item) for item in trade) + ";")
    for value in tessary.trade_positions:
        d.add("entry values", _typed(value) + ";")
    for record in tessary.tessary:
        d.add("records", f"{type(record).__name__}{record.dtype}{record.shape}")
        d.add("records", record.tobytes())
    operations = ravelin.get_stock_operations()
    for key, inner in operations.items():
        d.add("operations", _typed(key) + "{" + ",".join(f"{_typed(k)}={_typed(v)}" for k, v in inner.items()) + "}")
    rows, _ = ravelin.get_trade_stocks(columns, market.index)
    for row in rows:
        d.add("listing", "|".join(_typed(item) for item in row) + ";")
    result = d.hexdigests()
    result["counts"] = f"{len(tessary.trades)} trades"
    return result


def market_digest(market: mk.Market) -> str:
    return hashlib.sha256(market.prices.tobytes() + market.index.tobytes()).hexdigest()[:16]


def snapshot(sizes: list[str]) -> dict[str, dict[str, str]]:
    out = {}
    for size in sizes:
        market = mk.sized_market(size)
        out[f"{size} market"] = {"prices": market_digest(market)}
        for label, strategy, kwargs in [*WORKLOADS, *EXTRA]:
            out[f"{size} {label}"] = digest_run(market, strategy, kwargs)
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", action="store_true", help="record the current outputs")
    parser.add_argument("--sizes", default="S,M")
    args = parser.parse_args(argv)
    current = snapshot(args.sizes.split(","))
    if args.write:
        SNAPSHOT.write_text(json.dumps(current, indent=1, sort_keys=True) + "\n")
        print(f"recorded {len(current)} workloads in {SNAPSHOT}")
        return 0
    recorded = json.loads(SNAPSHOT.read_text())
    markets = [w for w in current if w.endswith(" market") and recorded.get(w) != current[w]]
    if markets:
        # The seeded markets go through NumPy's exp, whose last bits depend on
        # the CPU's vector instructions: the engine's outputs cannot be compared.
        print(f"the {', '.join(markets)} made here differ from the recorded ones (NumPy's exp differs between "
              "CPUs); record the snapshot with --write on this machine from a build known to be good, then compare")
        return 2
    differing = [
        f"{workload}: {part}"
        for workload, parts in current.items()
        for part, value in parts.items()
        if recorded.get(workload, {}).get(part) != value
    ]
    for line in differing:
        print("DIFFERS", line)
    print(f"{len(current)} workloads, {'all identical' if not differing else f'{len(differing)} differences'}")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
