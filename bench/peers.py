"""Two honest peers of ``norvane.ravelin.backtest_`` for the speed bench.

Usage, from the repository root (package and the ``bench`` extra installed)::

    python -m bench.peers                    # market M, 5 timed runs each
    python -m bench.peers --size S --repeat 9

Both peers replay the orders the engine trades (``engine_orders``): the weight
rows of a strategy of ``bench/market.py``, each traded on the row after its
date, a row equal to the last traded one skipped as the engine skips it.

- ``vectorbt_backtest``: the fastest fair vectorbt configuration we know.
  ``Portfolio.from_orders`` with target-percent sizes and one cash-sharing
  group, but only over the columns ever held, with sizes only where a stock
  is held before or after a rebalance (NaN elsewhere, which it skips), an
  explicit call sequence that sells the exits first, then adjusts the stocks
  kept, then buys the entries (``call_seq="auto"`` instead re-sorts every
  column of every row by order value, which is where most of its time used
  to go), and ``max_orders`` set to the orders there can be (by default it
  allocates a record per cell). ``min_size=0``: its default of 1e-8 shares
  drops the smallest re-weightings, which the engine makes. Prices are
  forward-filled, as it cannot value or trade a NaN price; the engine marks
  a holding at its last price the same way. Target percents are ``weight / (sum + 1e-7)``, the engine's
  share, so that without costs the two agree to rounding.
- ``numba_backtest``: the loop a skilled user writes instead, compiled with
  Numba: every day each holding is carried by price / last price (a NaN
  price keeps the last one), on a trade row the book is brought to
  ``weight * total / (sum + 1e-7)`` from the pre-trade total, stock by stock
  in column order, with the engine's cost rules (a buy of a takes a from
  cash and adds a * (1 - fee) to the holding; a sale of s adds
  s * (1 - fee - tax) to cash), and the day's equity is cash plus the
  holdings. No trade list, no stops, no excursion records. It repeats the
  engine's operations in the engine's order, so its curve is the engine's
  bit for bit; that includes the engine's rule for a stock without a price
  on its trade row: it is valued from its next price on.

``python -m bench.peers`` times the three side by side on one market (runs
interleaved, so that load from other jobs falls on all of them), checks each
peer against the engine and prints a markdown table.
"""

from __future__ import annotations

import argparse
import gc
import sys
import time
import warnings
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
if __package__ in (None, ""):
    sys.path.insert(0, str(ROOT))

from bench import market as mk  # noqa: E402
from norvane import ravelin  # noqa: E402

FEE, TAX = 0.001425, 0.003          # the engine's default commission and sell tax
KINDS = ("monthly-50", "weekly-200", "daily")
VBT_ENGINES = ("numba", "rust")


# --- the orders both peers replay ---------------------------------------------

def engine_orders(price_index: np.ndarray, pos_values: np.ndarray, pos_index: np.ndarray):
    """The rebalances ``backtest_`` makes for one weight row per rebalance
    date (resampled on those dates): ``(rows, weights)``, the price rows
    traded on (the row after each date) and the weight row traded there.
    A row past the last price row is never traded, nor is one equal to the
    last row traded (the engine only trades a changed target)."""
    trade = np.searchsorted(price_index, pos_index, side="right")
    keep, last = [], None
    for k in np.flatnonzero(trade < len(price_index)):
        if last is None or np.any(pos_values[k] != pos_values[last]):
            keep.append(k)
            last = k
    keep = np.asarray(keep, dtype=np.int64)
    return trade[keep].astype(np.int64), np.ascontiguousarray(pos_values[keep], dtype=np.float64)


# --- vectorbt -----------------------------------------------------------------

def _ffill(values: np.ndarray) -> np.ndarray:
    """Each NaN replaced, in place, by the last valid value above it (leading
    NaN stay); row by row, which beats a gather over the whole matrix."""
    for i in range(1, values.shape[0]):
        gap = np.isnan(values[i])
        if gap.any():
            np.copyto(values[i], values[i - 1], where=gap)
    return values


def vectorbt_inputs(prices: np.ndarray, rows: np.ndarray, weights: np.ndarray) -> dict:
    """What ``Portfolio.from_orders`` is given: the keyword arguments
    ``close``, ``size``, ``call_seq`` and ``max_orders``, over the columns
    ever held only."""
    held = np.flatnonzero(weights.any(axis=0))
    close = _ffill(prices[:, held])
    percent = weights[:, held]
    after = percent != 0
    before = np.zeros_like(after)
    before[1:] = after[:-1]
    percent /= weights.sum(axis=1, keepdims=True) + 1e-7
    percent[~(before | after)] = np.nan
    size = np.full(close.shape, np.nan)
    size[rows] = percent
    # Per trade row: exits (0), then stocks kept (1), then entries and the
    # columns not traded (2); small integer keys sort stably in linear time.
    rank = 2 * (~before).view(np.int8) + (before & after).view(np.int8)
    call_seq = np.empty(close.shape, dtype=np.int64)
    call_seq[:] = np.arange(len(held))
    call_seq[rows] = np.argsort(rank, axis=1, kind="stable")
    return {"close": close, "size": size, "call_seq": call_seq, "max_orders": int(np.count_nonzero(size == size))}


def vectorbt_portfolio(inputs: dict, *, fee: float = 0.0, engine: str | None = None):
    """``Portfolio.from_orders`` on the ``vectorbt_inputs``."""
    import vectorbt as vbt

    return vbt.Portfolio.from_orders(
        **inputs, size_type="targetpercent", direction="longonly", min_size=0.0, fees=fee,
        init_cash=1.0, cash_sharing=True, group_by=True, engine=engine)


def vectorbt_backtest(prices: np.ndarray, rows: np.ndarray, weights: np.ndarray, *,
                      fee: float = 0.0, engine: str | None = None) -> np.ndarray:
    """Equity per day (start value 1.0) of vectorbt trading ``weights[k]`` on
    price row ``rows[k]`` (see ``engine_orders``), commission ``fee`` on top
    of every order (it has no sell tax). ``engine``: vectorbt's ``"numba"``
    or ``"rust"`` (default: its own choice, Rust when installed)."""
    portfolio = vectorbt_portfolio(vectorbt_inputs(prices, rows, weights), fee=fee, engine=engine)
    return portfolio.value().to_numpy()


# --- the hand-written Numba loop ------------------------------------------------

def _loop(prices, rows, weights, weight_sums, fee, tax):
    n_days, n_stocks = prices.shape
    equity = np.empty(n_days)
    value = np.zeros(n_stocks)          # holding per column, 0.0 when not held
    last = np.ones(n_stocks)            # price each holding was last marked at (NaN: none yet)
    held = np.empty(n_stocks, dtype=np.int64)
    n_held = 0
    cash = 1.0
    k = 0
    for i in range(n_days):
        for h in range(n_held):
            c = held[h]
            price = prices[i, c]
            if not np.isnan(price):
                if not np.isnan(last[c]):
                    value[c] = value[c] * (price / last[c])
                last[c] = price
        if k < rows.shape[0] and rows[k] == i:
            total = cash
            for h in range(n_held):
                total = total + value[held[h]]
            scale = total / (weight_sums[k] + 1e-7)
            n_held = 0
            for c in range(n_stocks):
                target = weights[k, c] * scale
                holding = value[c]
                if target == 0.0:
                    if holding != 0.0:
                        cash = ((1 - fee) - tax) * holding + cash
                        value[c] = 0.0
                    continue
                amount = target - holding
                if amount > 0:
                    cash = cash - amount
                    holding = (1 - fee) * amount + holding
                else:
                    sold = -amount
                    cash = ((1 - fee) - tax) * sold + cash
                    holding = holding - sold
                value[c] = holding
                if holding != 0.0:
                    held[n_held] = c
                    n_held += 1
                    # Re-based on the trade row, NaN included, as the engine does:
                    # a stock without a price today is valued from its next one on.
                    last[c] = prices[i, c]
            k += 1
        total = cash
        for h in range(n_held):
            total = total + value[held[h]]
        equity[i] = total
    return equity


_compiled = None


def numba_backtest(prices: np.ndarray, rows: np.ndarray, weights: np.ndarray, *,
                   fee: float = FEE, tax: float = TAX) -> np.ndarray:
    """Equity per day (start value 1.0) of the hand-written loop trading
    ``weights[k]`` on price row ``rows[k]`` (ascending; see
    ``engine_orders``) with commission ``fee`` and sell tax ``tax``; equal
    to ``backtest_``'s curve for the same orders and costs. Compiles on
    first use."""
    global _compiled
    rows = np.asarray(rows, dtype=np.int64)
    if prices.ndim != 2 or weights.shape != (len(rows), prices.shape[1]):
        raise ValueError(f"weights: expected one row per trade row and one column per price column, "
                         f"i.e. shape {(len(rows), prices.shape[1] if prices.ndim == 2 else '?')}, "
                         f"got {weights.shape}")
    if len(rows) and (rows[0] < 0 or rows[-1] >= len(prices) or np.any(np.diff(rows) <= 0)):
        raise ValueError(f"rows: expected strictly ascending price rows in [0, {len(prices)})")
    if _compiled is None:
        import numba
        _compiled = numba.njit(_loop, error_model="numpy", fastmath=False)
    # The row sums are NumPy's (pairwise), as the engine takes them.
    return _compiled(prices, rows, weights, weights.sum(axis=1), float(fee), float(tax))


# --- side by side -------------------------------------------------------------------

def _relative(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.max(np.abs(a / b - 1.0)))


def _run_norvane(market, strategy, fee=FEE, tax=TAX):
    pos_values, pos_index, resample = strategy
    return ravelin.backtest_(market.prices, market.index, market.columns, pos_values, pos_index,
                             market.columns, resample, fee_ratio=fee, tax_ratio=tax)


def _warm_up(engines) -> float:
    """Compiles the Numba loop and vectorbt's kernels on a tiny market."""
    tiny = mk.make_market(30, 120, seed=3)
    t0 = time.perf_counter()
    for kind in KINDS:
        rows, weights = engine_orders(tiny.index, *mk.strategy(tiny, kind)[:2])
        numba_backtest(tiny.prices, rows, weights)
        for engine in engines:
            vectorbt_backtest(tiny.prices, rows, weights, engine=engine)
    return time.perf_counter() - t0


def time_side_by_side(market, strategy, engines, repeat: int) -> dict:
    """Wall times (seconds) of the contenders on one workload, after one
    untimed run each; the timed runs go round robin. vectorbt is timed as
    ``from_orders`` plus ``value()`` on inputs built beforehand, and the
    building of those inputs on its own."""
    rows, weights = engine_orders(market.index, *strategy[:2])
    inputs = vectorbt_inputs(market.prices, rows, weights)
    contenders = {
        "norvane": lambda: _run_norvane(market, strategy),
        "numba": lambda: numba_backtest(market.prices, rows, weights),
        "vectorbt inputs": lambda: vectorbt_inputs(market.prices, rows, weights),
    }
    for engine in engines:
        contenders[f"vectorbt {engine}"] = lambda e=engine: _timed_vectorbt(inputs, e)
    times = {name: [] for name in contenders}
    for run in contenders.values():
        run()
    for _ in range(repeat):
        for name, run in contenders.items():
            gc.collect()
            t0 = time.perf_counter()
            part = run()
            times[name].append(time.perf_counter() - t0)
            if isinstance(part, float):
                times.setdefault(f"{name} from_orders", []).append(part)
    return times


def _timed_vectorbt(inputs: dict, engine: str) -> float:
    """Runs vectorbt on its inputs; returns the seconds ``from_orders`` took
    (the rest is ``value()``)."""
    t0 = time.perf_counter()
    portfolio = vectorbt_portfolio(inputs, engine=engine)
    simulated = time.perf_counter() - t0
    portfolio.value()
    return simulated


def _lift_halts(market: mk.Market, clean: mk.Market, kind: str) -> mk.Market:
    """The market with the single-day halts on the strategy's trade rows
    filled in from ``clean`` (the same draws without halts)."""
    rows = mk.trade_rows(market, mk.strategy(market, kind)[1])
    rows = rows[rows < len(market.index)]
    prices = market.prices.copy()
    prices[rows] = np.where(np.isnan(prices[rows]), clean.prices[rows], prices[rows])
    return mk.Market(prices, market.index, market.columns)


def agreement(market, strategy, engines) -> dict:
    """How close each peer comes to the engine on one market and strategy:
    the Numba loop with the engine's costs and without, vectorbt without."""
    rows, weights = engine_orders(market.index, *strategy[:2])
    ours = _run_norvane(market, strategy)
    loop = numba_backtest(market.prices, rows, weights)
    ours_free = _run_norvane(market, strategy, 0.0, 0.0)
    loop_free = numba_backtest(market.prices, rows, weights, fee=0.0, tax=0.0)
    out = {
        "numba rel": max(_relative(loop, ours), _relative(loop_free, ours_free)),
        "numba bit-equal": int(np.sum(loop == ours) + np.sum(loop_free == ours_free)),
        "days": 2 * len(ours),
    }
    for engine in engines:
        peer = vectorbt_backtest(market.prices, rows, weights, engine=engine)
        out[f"vectorbt {engine}"] = (abs(peer[-1] / ours_free[-1] - 1.0), _relative(peer, ours_free))
    return out


def _available_engines() -> tuple[list, list]:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import vectorbt  # noqa: F401
            from vectorbt._engine import is_rust_available
    except Exception as exc:  # any import failure means: no such peer here
        return [], [f"vectorbt ({type(exc).__name__}: {exc})"]
    if is_rust_available():
        return list(VBT_ENGINES), []
    return ["numba"], ["vectorbt's Rust engine (`pip install vectorbt-rust`)"]


def _ms(times) -> str:
    return f"{np.median(times) * 1e3:,.1f}"


def _x(num, den) -> str:
    return f"{np.median(num) / np.median(den):,.1f}×"


def render(title: str, timings: dict, checks: dict, lifted: dict, engines, notes) -> str:
    head = ["workload", "rebalances", "norvane `backtest_` ms"]
    head += [f"vectorbt {e} ms" for e in engines]
    head += ["vectorbt inputs ms", "Numba loop ms"]
    head += [f"vectorbt {e} / norvane" for e in engines]
    head += ["fastest vectorbt + inputs / norvane", "norvane / Numba loop"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for kind, t in timings.items():
        fastest = min((t[f"vectorbt {e}"] for e in engines), key=np.median, default=None)
        cells = [kind, f"{t['rebalances']:,}", _ms(t["norvane"])]
        cells += [_ms(t[f"vectorbt {e}"]) for e in engines]
        cells += [_ms(t["vectorbt inputs"]), _ms(t["numba"])]
        cells += [_x(t[f"vectorbt {e}"], t["norvane"]) for e in engines]
        cells += ["—" if fastest is None else f"{(np.median(fastest) + np.median(t['vectorbt inputs'])) / np.median(t['norvane']):,.1f}×",
                  _x(t["norvane"], t["numba"])]
        lines.append("| " + " | ".join(cells) + " |")

    lines += ["", "| workload | Numba loop vs norvane, max relative difference (days bit-equal) "
              + "".join(f"| vectorbt {e} vs norvane, no costs: final / worst day " for e in engines)
              + "| the same, halts on trade rows filled in |",
              "|---|---|" + "---|" * len(engines) + "---|"]
    for kind, c in checks.items():
        h = lifted[kind]
        cells = [kind, f"{c['numba rel']:.1e} ({c['numba bit-equal']:,} of {c['days']:,})"]
        cells += ["{:.1e} / {:.1e}".format(*c[f"vectorbt {e}"]) for e in engines]
        cells.append("; ".join(["{} {:.1e} / {:.1e}".format(e, *h[f"vectorbt {e}"]) for e in engines]
                               + [f"Numba loop {h['numba rel']:.1e}"]))
        lines.append("| " + " | ".join(cells) + " |")
    return f"{title}\n\n" + "\n".join(lines) + "\n\n" + "\n".join(f"- {n}" for n in notes) + "\n"


def _versions() -> str:
    from importlib.metadata import PackageNotFoundError, version
    found = []
    for name in ("norvane", "vectorbt", "vectorbt-rust", "numba", "numpy"):
        try:
            found.append(f"{name} {version(name)}")
        except PackageNotFoundError:
            pass
    return ", ".join(found)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.peers", description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="M", choices=list(mk.SIZES), help="market size (default M)")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs of each (default 5)")
    parser.add_argument("--seed", type=int, default=7, help="market seed (default 7)")
    opts = parser.parse_args(argv)

    t_start = time.perf_counter()
    engines, missing = _available_engines()
    timings, checks, lifted = {}, {}, {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        compile_s = _warm_up(engines)
        n_stocks, n_days = mk.SIZES[opts.size]
        market = mk.make_market(n_stocks, n_days, opts.seed)
        clean = mk.make_market(n_stocks, n_days, opts.seed, halt_rate=0.0)
        for kind in KINDS:
            strategy = mk.strategy(market, kind)
            timings[kind] = time_side_by_side(market, strategy, engines, opts.repeat)
            timings[kind]["rebalances"] = len(engine_orders(market.index, *strategy[:2])[0])
            checks[kind] = agreement(market, strategy, engines)
            lifted_market = _lift_halts(market, clean, kind)
            lifted[kind] = agreement(lifted_market, mk.strategy(lifted_market, kind), engines)
            print(f"{kind}: " + ", ".join(f"{k} {_ms(v)} ms ({min(v) * 1e3:,.1f}–{max(v) * 1e3:,.1f})"
                                          for k, v in timings[kind].items() if k != "rebalances"), file=sys.stderr)
    elapsed = time.perf_counter() - t_start

    failed = [kind for kind, c in checks.items() if not c["numba rel"] <= 1e-12]
    failed += [f"{kind} vectorbt {e}" for kind, c in lifted.items() for e in engines
               if not c[f"vectorbt {e}"][0] <= 1e-6]
    title = (f"Market {opts.size} ({n_stocks:,} stocks × {n_days:,} days, seed {opts.seed}); medians of "
             f"{opts.repeat} runs of each, interleaved, after one untimed run each ({_versions()}).")
    notes = [
        f"norvane: `ravelin.backtest_` on the strategy's weight rows with its default costs (commission {FEE}, "
        "sell tax {TAX}); the Numba loop with the same costs. vectorbt runs without costs: its commission is "
        "charged on top of an order and it has no sell tax, so with costs its curve differs by design; "
        "the work done is the same with and without costs.".replace("{TAX}", str(TAX)),
        "vectorbt: `Portfolio.from_orders(close, size, size_type='targetpercent', direction='longonly', "
        "min_size=0, init_cash=1.0, cash_sharing=True, group_by=True, call_seq=<exits, kept, entries>, "
        "max_orders=<orders>, engine=...)` then `.value()`, timed on inputs built beforehand: the columns "
        "ever held, their prices forward-filled, sizes only where a stock is held before or after a "
        "rebalance, the call sequence (building them is the 'inputs' column).",
        "Agreement: relative differences of the equity curves; the Numba loop with the engine's costs and "
        "without, vectorbt without (final day / worst day). On the benchmark market vectorbt differs where "
        "a stock has no price on its trade row: the engine values it from its next price on and does not "
        "book the move across the gap, vectorbt books it. The last column repeats the checks with those "
        "halts filled in (strategy recomputed).",
        "Of vectorbt's time, `from_orders` took " + "; ".join(
            f"{e}: " + ", ".join(f"{kind} {_ms(t[f'vectorbt {e} from_orders'])} ms" for kind, t in timings.items())
            for e in engines) + "; the rest is `value()`.",
        f"Compilation warm-up (Numba loop and vectorbt's kernels, tiny market): {compile_s:.1f} s. "
        f"Whole run: {elapsed:.0f} s.",
        "Checks (Numba loop within 1e-12 of the engine; vectorbt's final equity within 1e-6 with the halts "
        "on trade rows filled in): " + (f"FAILED for {', '.join(failed)}." if failed else "passed."),
    ]
    if missing:
        notes.append("Not installed: " + "; ".join(missing) + ".")
    print(render(title, timings, checks, lifted, engines, notes))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
