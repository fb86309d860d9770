"""Seeded synthetic market and the strategy weights the benchmarks trade.

Everything here is deterministic for a given seed, so two processes (or two
machines) build the same market bit for bit.

Market: ``n_stocks`` geometric random walks over ``n_days`` business days,
driven by one market factor plus idiosyncratic noise. Part of the universe
lists late or delists early (NaN outside its life), and a sprinkle of
single-day gaps (trading halts) is NaN as well.

Strategies return ``(pos_values, pos_index, resample)`` in the form
``backtest_`` takes them: one weight row per rebalance date, known at the
close of that date and traded on the next row.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

# name: (stocks, days)
SIZES = {
    "S": (500, 1_000),
    "M": (2_000, 4_000),
    "L": (5_000, 10_000),
}

NS_PER_DAY = 86_400 * 10**9
_START = np.datetime64("2000-01-03", "D")


@dataclass
class Market:
    prices: np.ndarray        # float64 (days, stocks), NaN = no price
    index: np.ndarray         # int64 ns timestamps, business days, ascending
    columns: np.ndarray       # object array of str

    @property
    def days(self) -> np.ndarray:
        return self.index.astype("datetime64[ns]").astype("datetime64[D]")


def business_days(n_days: int, start=_START) -> np.ndarray:
    """The first ``n_days`` business days from ``start`` as int64 ns."""
    span = int(n_days * 7 / 5) + 10
    days = np.arange(start, start + span, dtype="datetime64[D]")
    days = days[np.is_busday(days)][:n_days]
    return days.astype("datetime64[ns]").astype(np.int64)


def make_market(n_stocks: int, n_days: int, seed: int = 7, *,
                late_listing: float = 0.25, delisting: float = 0.15,
                halt_rate: float = 5e-4, chunk: int = 1_000) -> Market:
    """Geometric random walks with listings, delistings and trading halts.

    Columns are generated in chunks so that the L size does not need several
    full-size temporaries at once.
    """
    rng = np.random.default_rng(seed)
    market = rng.normal(0.0002, 0.009, n_days)               # common factor
    beta = rng.uniform(0.4, 1.4, n_stocks)
    drift = rng.normal(0.0002, 0.0004, n_stocks)
    vol = rng.uniform(0.010, 0.030, n_stocks)
    start_price = np.exp(rng.normal(np.log(40.0), 0.8, n_stocks))

    prices = np.empty((n_days, n_stocks))
    for lo in range(0, n_stocks, chunk):
        hi = min(lo + chunk, n_stocks)
        noise = rng.standard_normal((n_days, hi - lo))
        noise *= vol[lo:hi]
        noise += market[:, None] * beta[lo:hi]
        noise += drift[lo:hi] - 0.5 * vol[lo:hi] ** 2
        noise[0] = 0.0
        np.cumsum(noise, axis=0, out=noise)
        np.exp(noise, out=noise)
        noise *= start_price[lo:hi]
        prices[:, lo:hi] = noise

    listed = rng.random(n_stocks) < late_listing
    list_day = np.where(listed, rng.integers(1, max(2, int(n_days * 0.7)), n_stocks), 0)
    delisted = rng.random(n_stocks) < delisting
    delist_day = np.where(delisted, rng.integers(int(n_days * 0.3), n_days, n_stocks), n_days)
    delist_day = np.maximum(delist_day, list_day + 20)
    rows = np.arange(n_days)[:, None]
    prices[(rows < list_day) | (rows >= delist_day)] = np.nan

    halts = rng.random(prices.shape) < halt_rate
    prices[halts] = np.nan

    columns = np.array([f"S{k:05d}" for k in range(n_stocks)], dtype=object)
    return Market(prices, business_days(n_days), columns)


def sized_market(size: str, seed: int = 7) -> Market:
    n_stocks, n_days = SIZES[size]
    return make_market(n_stocks, n_days, seed)


# --- rebalance calendars (rows of the price index) -------------------------

def month_end_rows(index: np.ndarray) -> np.ndarray:
    months = index.astype("datetime64[ns]").astype("datetime64[M]")
    return np.flatnonzero(months[1:] != months[:-1])


def week_end_rows(index: np.ndarray) -> np.ndarray:
    days = index // NS_PER_DAY
    weeks = (days + 3) // 7             # 1970-01-01 is a Thursday; weeks start Monday
    return np.flatnonzero(weeks[1:] != weeks[:-1])


def every_row(index: np.ndarray) -> np.ndarray:
    return np.arange(len(index) - 1)


# --- weight generators -----------------------------------------------------

def _equal_weights(picks, n_stocks: int) -> np.ndarray:
    """One row per rebalance, equal weights over the picks, summing to 1
    (also when fewer stocks than wanted were eligible)."""
    weights = np.zeros((len(picks), n_stocks))
    for k, chosen in enumerate(picks):
        if len(chosen):
            weights[k, chosen] = 1.0 / len(chosen)
    return weights


def momentum_picks(prices: np.ndarray, rows: np.ndarray, top: int, lookback: int):
    """Per rebalance row, the ``top`` stocks with the best ``lookback``-row
    return among those priced today and ``lookback`` rows ago (ties: lower
    column first)."""
    picks = []
    for r in rows:
        with np.errstate(invalid="ignore", divide="ignore"):
            score = prices[r] / prices[r - lookback] - 1.0
        eligible = np.flatnonzero(np.isfinite(score))
        order = np.argsort(-score[eligible], kind="stable")
        picks.append(eligible[order[:top]])
    return picks


def random_picks(prices: np.ndarray, rows: np.ndarray, top: int, seed: int):
    """Per rebalance row, ``top`` stocks drawn among those priced on it."""
    rng = np.random.default_rng(seed)
    picks = []
    for r in rows:
        eligible = np.flatnonzero(~np.isnan(prices[r]))
        picks.append(np.sort(rng.choice(eligible, min(top, len(eligible)), replace=False)))
    return picks


def strategy(market: Market, kind: str, seed: int = 11):
    """Weights for one of the benchmark strategies.

    - "monthly-50": month ends, top-50 by 60-day momentum, equal weights;
    - "weekly-200": week ends, 200 random picks among listed stocks;
    - "daily":      every row, top-100 by 20-day momentum.

    Returns ``(pos_values, pos_index, resample)``.
    """
    prices, index = market.prices, market.index
    n_stocks = prices.shape[1]
    if kind == "monthly-50":
        rows = month_end_rows(index)
        rows = rows[rows >= 60]
        weights = _equal_weights(momentum_picks(prices, rows, 50, 60), n_stocks)
    elif kind == "weekly-200":
        rows = week_end_rows(index)
        rows = rows[rows >= 5]
        weights = _equal_weights(random_picks(prices, rows, 200, seed), n_stocks)
    elif kind == "daily":
        rows = every_row(index)
        rows = rows[rows >= 20]
        weights = _equal_weights(momentum_picks(prices, rows, 100, 20), n_stocks)
    else:
        raise ValueError(f"unknown strategy {kind!r}")
    dates = index[rows].copy()
    return weights, dates, dates.copy()


def trade_rows(market: Market, pos_index: np.ndarray) -> np.ndarray:
    """Price rows on which the weights of each position row are traded (the
    row after the one the weights become known on): what a peer that trades
    at the close needs to reproduce the schedule."""
    return np.searchsorted(market.index, pos_index, side="right")
