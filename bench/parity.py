"""Equity-curve parity of ``norvane.ravelin.backtest_`` with vectorbt and bt.

Usage, from the repository root (package and the ``bench`` extra installed)::

    python -m bench.parity               # size S: 500 stocks x 1,000 days
    python -m bench.parity --size M      # 2,000 x 4,000

The market is the seeded one of ``bench/market.py`` (late listings, early
delistings and single-day trading halts as NaN). The strategy holds the top 50
by 60-day momentum in equal weight, picked at each month end and traded on the
next row at its prices; the weight rows alternate a 1 +/- 1e-9 scale so that
every month end passes the engine's change test. Each peer replays the same
orders from the same start value:

- vectorbt ``Portfolio.from_orders``: target-percent sizes on the trade rows,
  one group with cash sharing, ``call_seq="auto"`` (sales first);
- bt: ``WeighTarget`` on the trade dates + ``Rebalance``, fractional shares.

Both get forward-filled prices (the engine marks a holding at its last valid
price, and sells a delisted one at that value); before a listing the price
stays NaN and the weight is 0. Equity curves are compared per scenario:

- no costs: peers invest the whole portfolio, while the engine targets
  weight x total / (sum of weights + 1e-7), keeping about 1e-7 in cash that
  misses the portfolio's gain: the curves differ by about 1e-7 x (equity - 1);
- no costs, 1e-7 share mirrored: the peers' target percents are scaled by
  sum / (sum + 1e-7), and the curves agree to rounding (about 1e-15);
- commission only, and commission plus sell tax. The engine sizes every
  trade of a rebalance from the pre-trade total and takes the costs out of
  the trades: a buy of a adds a x (1 - fee), a sale of s pays s x (1 - fee -
  tax) into cash. Its cash therefore ends each rebalance about -(fee + tax)
  x sales below zero: sale costs are borrowed until the next rebalance.
  vectorbt keeps a cash account that never goes negative and charges the
  commission on top of a buy, so the last buy of its call sequence is cut
  to the cash left (it has no sell-only tax: its fee is set to fee + tax on
  the cells where it sells, found from its own orders and repeated until they
  no longer change). bt (commission fee x |q| x p, plus tax x |q| x p on
  sales) also sizes from the pre-trade total and borrows what closing
  positions cost, but a partial sale raises its net amount (it sells more,
  ending below the target) and a buy's outlay includes the commission (a /
  (1 + fee) bought, against a x (1 - fee)): it lands between the two.

The last row replays the no-cost mirrored case on the market with its halts
on trade rows left in (elsewhere they are lifted). The engine trades a stock
halted on a rebalance row at its held value and re-bases it at its next
valid price, so the price move across the halt is not booked; the peers book
it. The table goes to stdout and to ``bench/parity.md``; the command exits
with status 1 if a peer's mirrored no-cost curve is off by more than 1e-12.
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parent.parent
if __package__ in (None, ""):
    sys.path.insert(0, str(ROOT))

from bench import market as mk  # noqa: E402
from norvane import ravelin  # noqa: E402

FEE, TAX = 0.001425, 0.003
CAPITAL = 2.0 ** 20     # peers' start value; a power of two, so dividing by it is exact
TOP, LOOKBACK = 50, 60
PARITY_BOUND = 1e-12    # the mirrored no-cost curves must agree this closely, or the run fails
SCENARIOS = [  # label, fee, tax, mirror the 1e-7 share, halts on trade rows kept
    ("no costs", 0.0, 0.0, False, False),
    ("no costs, 1e-7 share mirrored", 0.0, 0.0, True, False),
    ("commission 0.1425 %", FEE, 0.0, True, False),
    ("commission 0.1425 % + sell tax 0.3 %", FEE, TAX, True, False),
    ("no costs, mirrored, halts on trade rows kept", 0.0, 0.0, True, True),
]


def markets(size: str, seed: int):
    """The seeded market of that size with the halts on trade rows lifted,
    the same market as generated (halts everywhere), and a line describing
    them. Both draw the same random numbers; only the halt threshold differs."""
    n_stocks, n_days = mk.SIZES[size]
    gapped = mk.make_market(n_stocks, n_days, seed)
    clean = mk.make_market(n_stocks, n_days, seed, halt_rate=0.0)
    halts = np.isnan(gapped.prices) & ~np.isnan(clean.prices)
    on_trade_rows = np.zeros_like(halts)
    rows = np.unique(np.minimum(schedule(gapped.index) + 1, n_days - 1))
    on_trade_rows[rows] = halts[rows]
    lifted = mk.Market(np.where(on_trade_rows, clean.prices, gapped.prices), gapped.index, gapped.columns)
    about = (f"Market {size} ({n_stocks:,} stocks x {n_days:,} days, seed {seed}): "
             f"{int(np.isnan(clean.prices[0]).sum())} stocks list late, {int(np.isnan(clean.prices[-1]).sum())} "
             f"delist early, {int(halts.sum())} single-day halts of which {int(on_trade_rows.sum())} on trade "
             "rows are lifted (kept in the last scenario).")
    return lifted, gapped, about


def schedule(index):
    rows = mk.month_end_rows(index)
    return rows[rows >= LOOKBACK]


def strategy(market: mk.Market):
    """(pos_values, pos_index, trade rows): monthly top-N momentum in equal
    weight; a row's weights are traded on the next row."""
    rows = schedule(market.index)
    weights = np.zeros((len(rows), market.prices.shape[1]))
    for k, chosen in enumerate(mk.momentum_picks(market.prices, rows, TOP, LOOKBACK)):
        weights[k, chosen] = 1.0 / len(chosen)
    weights *= np.where(np.arange(len(rows)) % 2, 1 + 1e-9, 1 - 1e-9)[:, None]
    pos_index = market.index[rows]
    trade = mk.trade_rows(market, pos_index)
    inside = trade < len(market.index)
    return weights[inside], pos_index[inside], trade[inside]


def ours(market, pos_values, pos_index, fee, tax):
    curve = ravelin.backtest_(market.prices, market.index, market.columns, pos_values, pos_index,
                              market.columns, pos_index.copy(), fee_ratio=fee, tax_ratio=tax)
    held = ravelin.get_stock_operations()["weights"]
    return curve, 1.0 - sum(held.values())


def peer_targets(pos_values, mirror: bool):
    total = pos_values.sum(axis=1, keepdims=True)
    return pos_values / (total + 1e-7) if mirror else pos_values / total


def run_vectorbt(vbt, close, targets, trade, fee, tax):
    sizes = np.full(close.shape, np.nan)
    sizes[trade] = targets
    sizes[np.isnan(close.to_numpy())] = np.nan
    sizes = pd.DataFrame(sizes, index=close.index, columns=close.columns)
    sells = np.zeros(close.shape, dtype=bool)
    for _ in range(10):  # the sell tax goes on the cells where it sells, until they settle
        portfolio = vbt.Portfolio.from_orders(
            close, sizes, size_type="targetpercent", fees=np.where(sells, fee + tax, fee),
            init_cash=CAPITAL, cash_sharing=True, group_by=True, call_seq="auto")
        if tax == 0.0:
            break
        orders = portfolio.orders.values
        now = np.zeros_like(sells)
        sold = orders["side"] == 1
        now[orders["idx"][sold], orders["col"][sold]] = True
        if (now == sells).all():
            break
        sells = now
    else:
        raise RuntimeError("vectorbt's sales did not settle")
    value = portfolio.value().to_numpy()
    return value / CAPITAL, float(portfolio.cash().to_numpy()[-1] / value[-1])


def run_bt(bt, close, targets, trade, fee, tax):
    weights = pd.DataFrame(targets, index=close.index[trade], columns=close.columns)
    strategy = bt.Strategy("parity", [bt.algos.WeighTarget(weights), bt.algos.Rebalance()])
    test = bt.Backtest(strategy, close, initial_capital=CAPITAL, integer_positions=False, progress_bar=False,
                       commissions=lambda q, p: abs(q) * p * (fee + (tax if q < 0 else 0.0)))
    test.run()
    value = test.strategy.values.to_numpy()[1:]  # bt prepends a start row; it runs a copy of the strategy
    return value / CAPITAL, float(test.strategy.cash.to_numpy()[-1] / value[-1])


def load_peers():
    peers, missing = {}, []
    for name, runner in (("vectorbt", run_vectorbt), ("bt", run_bt)):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                module = __import__(name)
            peers[f"{name} {module.__version__}"] = (module, runner)
        except Exception as exc:  # any import failure means: no such peer here
            missing.append(f"{name} ({type(exc).__name__}: {exc})")
    return peers, missing


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.parity", description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="S", choices=["S", "M"], help="market size (default S)")
    parser.add_argument("--seed", type=int, default=7, help="market seed (default 7)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "parity.md", help="markdown output")
    opts = parser.parse_args(argv)

    t_start = time.perf_counter()
    lifted, gapped, about = markets(opts.size, opts.seed)
    peers, missing = load_peers()
    runs = {False: (lifted, *strategy(lifted)), True: (gapped, *strategy(gapped))}
    closes = {key: pd.DataFrame(m.prices, index=pd.DatetimeIndex(m.index.astype("datetime64[ns]")),
                                columns=list(m.columns)).ffill() for key, (m, *_) in runs.items()}
    peer_seconds = dict.fromkeys(peers, 0.0)
    failed = []
    lines = ["| scenario | peer | max abs difference of equity | final equity, peer | final equity, norvane "
             "| cash at the end / equity, peer | same, norvane |", "|---|---|---|---|---|---|---|"]
    for label, fee, tax, mirror, halts_kept in SCENARIOS:
        market, pos_values, pos_index, trade = runs[halts_kept]
        curve, cash = ours(market, pos_values, pos_index, fee, tax)
        targets = peer_targets(pos_values, mirror)
        for name, (module, runner) in peers.items():
            t0 = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                peer, peer_cash = runner(module, closes[halts_kept], targets, trade, fee, tax)
            peer_seconds[name] += time.perf_counter() - t0
            diff = np.max(np.abs(peer - curve))
            if label == SCENARIOS[1][0] and not diff <= PARITY_BOUND:
                failed.append(name)
            lines.append(f"| {label} | {name.split()[0]} | {diff:.1e} | {peer[-1]:.10f} "
                         f"| {curve[-1]:.10f} | {peer_cash:.2e} | {cash:.2e} |")
        print(f"{label}: done", file=sys.stderr)
    elapsed = time.perf_counter() - t_start

    notes = [
        about + f" Strategy: top {TOP} by {LOOKBACK}-day momentum, equal weight, "
        f"{len(runs[False][3])} monthly rebalances.",
        "Peers start from the same value and trade on the same rows at the same (forward-filled) prices. "
        "vectorbt: `Portfolio.from_orders(size_type='targetpercent', cash_sharing=True, group_by=True, "
        "call_seq='auto', fees=...)`, the fee raised to commission + tax on the cells where it sells. "
        "bt: `Strategy([WeighTarget(weights), Rebalance()])`, `integer_positions=False`, "
        "`commissions=lambda q, p: abs(q) * p * (fee + (tax if q < 0 else 0))`. "
        "Scenarios with costs mirror the 1e-7 share.",
        "Cash at the end is after the last rebalance and its drift: the engine's is about "
        "-(fee + tax) x that rebalance's sales, borrowed until the next one; vectorbt's never goes below zero.",
        f"Run time {elapsed:.1f} s (" + ", ".join(f"{k} {v:.1f} s" for k, v in peer_seconds.items())
        + "; vectorbt's includes compiling its kernels, about 12 s more when numba has not cached them).",
    ]
    notes.append(f"Check: mirrored no-cost curves within {PARITY_BOUND:.0e} of ours: "
                 + (f"FAILED for {', '.join(failed)}." if failed else "yes."))
    if missing:
        notes.append("Peers not installed: " + "; ".join(missing) + ". Install with `pip install \".[bench]\"`.")
    text = "\n".join(lines) + "\n\n" + "\n".join(f"- {n}" for n in notes) + "\n"
    print(text)
    opts.out.write_text("# Peer parity (`python -m bench.parity`)\n\n" + text)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
