"""Is the best backtest of a grid real? Selection-aware Sharpe statistics.

Trying many variants of a strategy and keeping the best one inflates its
Sharpe ratio: part of the winner's edge is the luck of having been picked.
These functions measure how much, from plain return series:

- `probabilistic_sharpe`: the probability that the true Sharpe ratio of a
  return series exceeds a benchmark, given its length, skewness and
  kurtosis (Bailey & López de Prado, 2012).
- `expected_max_sharpe`: the Sharpe ratio the best of ``n_trials`` skill-less
  strategies reaches by chance.
- `deflated_sharpe`: the probabilistic Sharpe ratio against that expected
  maximum (Bailey & López de Prado, 2014).
- `pbo`: the probability of backtest overfitting by combinatorially
  symmetric cross-validation (Bailey, Borwein, López de Prado & Zhu, 2017).

Every Sharpe ratio here is per period and not annualised: the mean over the
sample standard deviation (ddof 1) of simple returns, with no risk-free rate
(`sharpe_ratio`). Divide an annualised figure such as
``Report.stats()["sharpe"]`` by the square root of the periods per year
(``sqrt(252)`` for daily returns) before passing it as ``trial_sharpes``.

The normal distribution comes from the standard library
(`statistics.NormalDist`: its ``cdf`` is the complementary error function,
its inverse Wichura's algorithm AS 241, both to about 1e-16), so this module
needs nothing beyond NumPy and pandas.
"""

from __future__ import annotations

import itertools
import math
import numbers
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from statistics import NormalDist
from typing import Any

import numpy as np
import pandas as pd

from norvane._statistics import daily_returns

__all__ = [
    "PBOResult",
    "RowAssessment",
    "SweepAssessment",
    "assess",
    "deflated_sharpe",
    "expected_max_sharpe",
    "pbo",
    "probabilistic_sharpe",
    "sharpe_ratio",
]

EULER_GAMMA = 0.5772156649015329
_NORMAL = NormalDist()
# Splits per vectorised step of `pbo`: bounds its scratch arrays to a few
# tens of MB whatever the number of trials.
_CHUNK_VALUES = 2_000_000


def sharpe_ratio(returns: Any) -> float:
    """Per-period Sharpe ratio of a return series: mean over the sample
    standard deviation (ddof 1), not annualised.

    ``returns`` is a Series or any one-dimensional array of simple returns;
    NaN values are dropped (a period without a return is no observation).
    At least two returns are needed; a zero standard deviation is refused.
    """
    r = _return_series(returns, "returns", minimum=2)
    mean, std = r.mean(), r.std(ddof=1)
    if std == 0.0:
        raise ValueError("returns: the standard deviation is zero, so the Sharpe ratio is undefined")
    return float(mean / std)


def probabilistic_sharpe(returns: Any, benchmark_sharpe: float = 0.0) -> float:
    """Probability that the true per-period Sharpe ratio of ``returns``
    exceeds ``benchmark_sharpe`` (Bailey & López de Prado, 2012).

    With ``SR`` the observed per-period Sharpe ratio (`sharpe_ratio`), ``n``
    the number of returns, ``g3`` their skewness and ``g4`` their kurtosis
    (not the excess: 3 for normal returns)::

        PSR = Phi( (SR - benchmark_sharpe) * sqrt(n - 1)
                   / sqrt(1 - g3 * SR + (g4 - 1) / 4 * SR**2) )

    Skewness and kurtosis are the moment estimators (central moments over
    ``n``, as ``scipy.stats.skew``/``kurtosis(fisher=False)`` with their
    defaults). Long, fat-tailed or left-skewed series are penalised: a
    negative skew or a kurtosis above 3 widens the Sharpe ratio's standard
    error. NaN values are dropped; at least three returns are needed, and a
    zero standard deviation is refused.
    """
    r = _return_series(returns, "returns", minimum=3)
    benchmark = _finite_number(benchmark_sharpe, "benchmark_sharpe")
    std = r.std(ddof=1)
    if std == 0.0:
        raise ValueError("returns: the standard deviation is zero, so the Sharpe ratio is undefined")
    sr = r.mean() / std
    centred = r - r.mean()
    m2 = np.mean(centred**2)
    skew = np.mean(centred**3) / m2**1.5
    kurt = np.mean(centred**4) / m2**2
    # Never negative: kurtosis >= skew**2 + 1 makes it a square, (g3 * SR / 2 - 1)**2
    # at least. Zero (a two-valued series in one exact proportion) leaves no
    # uncertainty: the answer is the side SR lies on.
    spread = 1.0 - skew * sr + (kurt - 1.0) / 4.0 * sr * sr
    gap = sr - benchmark
    if spread <= 0.0:
        return 1.0 if gap > 0 else 0.0 if gap < 0 else 0.5
    return _NORMAL.cdf(gap * math.sqrt(len(r) - 1) / math.sqrt(spread))


def expected_max_sharpe(n_trials: int, sr_std: float) -> float:
    """Expected maximum of ``n_trials`` Sharpe ratios of strategies without
    skill whose Sharpe ratios spread with standard deviation ``sr_std``::

        sr_std * ((1 - gamma) * Phi^-1(1 - 1/n_trials)
                  + gamma * Phi^-1(1 - 1/(n_trials * e)))

    with ``gamma`` the Euler–Mascheroni constant (the expected maximum of
    independent normal draws, Bailey & López de Prado, 2014). The figure is in
    the unit of ``sr_std``: pass per-period Sharpe ratios' spread to get a
    per-period threshold. ``n_trials`` must be at least 2 (the approximation
    diverges at 1).
    """
    if isinstance(n_trials, bool) or not isinstance(n_trials, numbers.Integral):
        raise TypeError(f"n_trials: expected an integer, got {type(n_trials).__name__}")
    if n_trials < 2:
        raise ValueError(f"n_trials: need at least 2 trials, got {n_trials}")
    spread = _finite_number(sr_std, "sr_std")
    if spread < 0:
        raise ValueError(f"sr_std: a standard deviation cannot be negative, got {spread}")
    n = int(n_trials)
    return spread * (
        (1.0 - EULER_GAMMA) * _upper_quantile(1.0 / n)
        + EULER_GAMMA * _upper_quantile(1.0 / (n * math.e))
    )


def _upper_quantile(tail: float) -> float:
    """Phi^-1(1 - tail); by symmetry once 1 - tail rounds to 1 (beyond about
    10**16 trials), where the direct form would ask for the quantile of 1."""
    if 1.0 - tail < 1.0:
        return _NORMAL.inv_cdf(1.0 - tail)
    return -_NORMAL.inv_cdf(tail)


def deflated_sharpe(returns: Any, trial_sharpes: Any) -> float:
    """Probabilistic Sharpe ratio of ``returns`` against the best Sharpe ratio
    that ``len(trial_sharpes)`` trials reach by chance (Bailey & López de
    Prado, 2014)::

        probabilistic_sharpe(returns,
                             expected_max_sharpe(len(trial_sharpes),
                                                 std(trial_sharpes, ddof=1)))

    ``trial_sharpes`` holds the per-period Sharpe ratio of every variant that
    was tried, the chosen one included, failures and dull ones too: leaving
    trials out deflates too little. A trial without a Sharpe ratio (NaN) is
    refused rather than dropped, for that reason; give a run that never traded
    0.0. The result is the probability that the chosen strategy's true Sharpe
    ratio beats the luck of the search; 0.95 is a common bar.
    """
    sharpes = _as_1d(trial_sharpes, "trial_sharpes")
    if len(sharpes) < 2:
        raise ValueError(f"trial_sharpes: need the Sharpe ratios of at least 2 trials, got {len(sharpes)}")
    missing = int(np.isnan(sharpes).sum())
    if missing:
        raise ValueError(
            f"trial_sharpes: {missing} NaN value(s); every trial counts, so give a trial without a "
            "Sharpe ratio a value (0.0 for one that never traded) rather than dropping it"
        )
    if not np.isfinite(sharpes).all():
        raise ValueError("trial_sharpes: infinite values; a Sharpe ratio must be finite")
    _refuse_annualised(sharpes, returns)
    threshold = expected_max_sharpe(len(sharpes), float(np.std(sharpes, ddof=1)))
    return probabilistic_sharpe(returns, threshold)


# Periods per year a Sharpe ratio is commonly annualised with.
_ANNUALISING = {252: "252 (trading days)", 365: "365 (days)", 52: "52 (weeks)", 12: "12 (months)"}


def _refuse_annualised(sharpes: np.ndarray, returns: Any) -> None:
    """The trials include the chosen series: when they hold its Sharpe ratio
    annualised but not its own, they are annualised (a sweep's ``sharpe``
    column, say), and the deflation would be off by the factor, silently."""
    try:
        own = sharpe_ratio(returns)
    except ValueError:
        return  # probabilistic_sharpe says what is wrong with the returns
    if own == 0.0 or np.isclose(sharpes, own, rtol=1e-9, atol=0.0).any():
        return
    for periods, name in _ANNUALISING.items():
        if np.isclose(sharpes, own * math.sqrt(periods), rtol=1e-9, atol=0.0).any():
            raise ValueError(
                f"trial_sharpes: annualised Sharpe ratios (one is this series' per-period Sharpe ratio "
                f"{own:.6g} times sqrt({name})); pass per-period ones: divide them by sqrt({periods}) "
                "or compute them with sharpe_ratio"
            )


@dataclass(frozen=True)
class PBOResult:
    """What `pbo` found.

    Attributes
    ----------
    pbo:
        Share of splits whose in-sample best trial ranks at or below the
        median out of sample (logit <= 0): the probability of backtest
        overfitting. About 0.5 when the choice carries no information, near 0
        when the in-sample best stays good out of sample.
    logits:
        One value per split, ``log(w / (1 - w))`` with ``w`` the out-of-sample
        relative rank of the in-sample best trial (rank / (trials + 1), rank 1
        the worst; ties rank low).
    performance:
        One row per split, in the order of ``itertools.combinations(range(n_blocks),
        n_blocks // 2)`` over the in-sample blocks: ``trial`` (the label of the
        in-sample best), ``in_sample`` and ``out_of_sample`` (its metric on
        each half), ``relative_rank`` (``w``) and ``logit``. Plotting
        ``out_of_sample`` against ``in_sample`` shows the degradation.
    n_blocks:
        The number of blocks the rows were cut into.
    """

    pbo: float
    logits: np.ndarray
    performance: pd.DataFrame
    n_blocks: int

    @property
    def splits(self) -> int:
        return len(self.logits)


def pbo(trial_returns: pd.DataFrame, n_blocks: int = 16,
        metric: Callable[[np.ndarray], Any] | None = None) -> PBOResult:
    """Probability of backtest overfitting by combinatorially symmetric
    cross-validation (Bailey, Borwein, López de Prado & Zhu, 2017).

    ``trial_returns`` has one column per trial (every variant that was
    tried) and one row per period, all on the same dates, in time order. The
    rows are cut into ``n_blocks`` consecutive blocks (sizes differing by at
    most one row; none is dropped). Each of the C(n_blocks, n_blocks / 2)
    ways to pick half of the blocks is one split: the picked blocks are the
    in-sample half, the others the out-of-sample half. On each split the
    trial with the best in-sample metric is chosen and its out-of-sample rank
    among all trials recorded; `PBOResult` explains the result.

    ``metric`` scores the trials on one half: it is called with a 2-D float
    array (the half's rows in time order by trials) and returns one number
    per trial, higher being better; a NaN score ranks lowest. The default is
    the per-period Sharpe ratio, computed for all splits at once from per-block
    sums (a trial flat over a half scores 0 there); a custom metric is called
    once per split (each half is the in-sample half of another split), so it
    is much slower. 16 blocks make 12,870 splits; the scores of all splits
    are held at once (two arrays of splits x trials floats: 200 MB for
    1,000 trials), and 1,000 trials x 4,000 rows take about a second or two.

    The splits grow fast with ``n_blocks`` (18: 48,620; 20: 184,756; 24:
    2.7 million), so what would not fit in memory or time is refused before
    any work: at most 1,000,000 splits and 40 million split x trial scores
    (about 640 MB) with the default metric, at most 100,000 splits with a
    custom one.

    ``n_blocks`` must be even, at least 2 and no larger than the number of
    rows; with the default metric each half needs at least two rows. NaN or
    infinite returns are refused (the halves must hold every trial on the
    same rows): align or fill the frame first.
    """
    values, labels = _trial_matrix(trial_returns)
    rows, trials = values.shape
    blocks = _block_count(n_blocks, rows)
    # np.array_split's cut: the first rows % blocks blocks hold one row more.
    sizes = np.full(blocks, rows // blocks, dtype=np.int64)
    sizes[: rows % blocks] += 1
    bounds = np.concatenate([[0], np.cumsum(sizes)])
    _check_split_budget(blocks, trials, metric is None)
    picks = np.array(list(itertools.combinations(range(blocks), blocks // 2)), dtype=np.int64)
    train_mask = np.zeros((len(picks), blocks), dtype=bool)
    np.put_along_axis(train_mask, picks, True, axis=1)

    if metric is None:
        smallest_half = np.sort(np.diff(bounds))[: blocks // 2].sum()
        if smallest_half < 2:
            raise ValueError(
                f"n_blocks: {blocks} blocks of {rows} rows leave a half of {smallest_half} row; "
                "the Sharpe ratio needs at least 2 (use fewer blocks)"
            )
        train, test = _sharpe_by_split(values, bounds, train_mask)
    else:
        if not callable(metric):
            raise TypeError(f"metric: expected a callable or None, got {type(metric).__name__}")
        train, test = _metric_by_split(values, bounds, train_mask, metric, trials)

    chosen = np.argmax(np.where(np.isnan(train), -np.inf, train), axis=1)
    split = np.arange(len(picks))
    in_sample, out_of_sample = train[split, chosen], test[split, chosen]
    # NaN out-of-sample scores rank lowest; the chosen one among them too.
    ranked = np.where(np.isnan(test), -np.inf, test) if np.isnan(test).any() else test
    rank = 1 + (ranked < ranked[split, chosen][:, None]).sum(axis=1)
    relative = rank / (trials + 1.0)
    logits = np.log(relative / (1.0 - relative))
    performance = pd.DataFrame(
        {
            "trial": np.asarray(labels, dtype=object)[chosen],
            "in_sample": in_sample,
            "out_of_sample": out_of_sample,
            "relative_rank": relative,
            "logit": logits,
        }
    )
    return PBOResult(pbo=float((logits <= 0).mean()), logits=logits, performance=performance, n_blocks=blocks)


# ---------------------------------------------------------------------------
# the split scores


def _sharpe_by_split(values: np.ndarray, bounds: np.ndarray,
                     train_mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per-period Sharpe ratio of every trial on both halves of every split.

    Each block contributes its row count, its sum and its sum of squared
    deviations from its own mean; a half's variance is the sum of its blocks'
    squared deviations plus their means' spread (the pooled-variance
    identity). Summing within blocks first keeps the rounding of the
    textbook sum-of-squares formula away, and a run of exact zeros (a trial
    not yet trading) stays an exact zero variance.
    """
    starts = bounds[:-1]
    counts = np.diff(bounds).astype(np.float64)
    sums = np.add.reduceat(values, starts, axis=0)
    means = sums / counts[:, None]
    deviations = values - np.repeat(means, counts.astype(np.int64), axis=0)
    squares = np.add.reduceat(deviations * deviations, starts, axis=0) + sums * means
    # One product gives sums and squares together.
    per_block = np.concatenate([sums, squares], axis=1)
    trials = values.shape[1]
    scores = np.empty((len(train_mask), trials))
    step = max(1, _CHUNK_VALUES // (2 * trials))
    for first in range(0, len(train_mask), step):
        weights = train_mask[first:first + step].astype(np.float64)
        n = (weights @ counts)[:, None]
        totals = weights @ per_block
        s, q = totals[:, :trials], totals[:, trials:]
        mean = s / n
        var = q - s * mean  # squared deviations, then the variance
        np.maximum(var, 0.0, out=var)
        var /= n - 1.0
        std = np.sqrt(var, out=var)
        # Flat over the half: no variation scores 0, a constant gain +inf.
        flat = np.where(mean == 0, 0.0, np.copysign(np.inf, mean))
        scores[first:first + step] = np.divide(mean, std, out=flat, where=std > 0)
    # Every half is also the in-sample half of another split: the test
    # scores are the train scores of the complementary splits.
    return scores, scores[_complements(train_mask)]


def _complements(train_mask: np.ndarray) -> np.ndarray:
    """Row of each split's complement in ``train_mask``."""
    powers = 1 << np.arange(train_mask.shape[1], dtype=np.int64)
    codes = train_mask @ powers
    order = np.argsort(codes)
    rows: np.ndarray = order[np.searchsorted(codes, codes ^ (powers.sum()), sorter=order)]
    return rows


def _metric_by_split(values: np.ndarray, bounds: np.ndarray, train_mask: np.ndarray,
                     metric: Callable[[np.ndarray], Any], trials: int) -> tuple[np.ndarray, np.ndarray]:
    block_rows = [np.arange(bounds[b], bounds[b + 1]) for b in range(len(bounds) - 1)]
    scores = np.empty((len(train_mask), trials))
    for i, mask in enumerate(train_mask):
        rows = np.concatenate([block_rows[b] for b in np.flatnonzero(mask)])
        score = np.asarray(metric(values[rows]), dtype=np.float64)
        if score.shape != (trials,):
            raise ValueError(f"metric: expected one score per trial (shape ({trials},)), got shape {score.shape}")
        scores[i] = score
    return scores, scores[_complements(train_mask)]


# ---------------------------------------------------------------------------
# input checks


MAX_SPLITS = 1_000_000
MAX_SPLIT_SCORES = 40_000_000
MAX_CUSTOM_METRIC_SPLITS = 100_000


def _check_split_budget(blocks: int, trials: int, default_metric: bool) -> None:
    splits = math.comb(blocks, blocks // 2)
    if default_metric and splits <= MAX_SPLITS and splits * trials <= MAX_SPLIT_SCORES:
        return
    if not default_metric and splits <= MAX_CUSTOM_METRIC_SPLITS:
        return
    limit = (f"at most {MAX_SPLITS:,} splits and {MAX_SPLIT_SCORES:,} split x trial scores" if default_metric
             else f"at most {MAX_CUSTOM_METRIC_SPLITS:,} splits with a custom metric")
    raise ValueError(
        f"n_blocks: {blocks} blocks make {splits:,} splits of {trials:,} trials, beyond what pbo computes "
        f"({limit}); use fewer blocks (16 make 12,870 splits)"
    )


def _block_count(n_blocks: Any, rows: int) -> int:
    if isinstance(n_blocks, bool) or not isinstance(n_blocks, numbers.Integral):
        raise TypeError(f"n_blocks: expected an integer, got {type(n_blocks).__name__}")
    blocks = int(n_blocks)
    if blocks < 2 or blocks % 2:
        raise ValueError(f"n_blocks: expected an even number of at least 2, got {blocks}")
    if blocks > rows:
        raise ValueError(f"n_blocks: {blocks} blocks is more than the {rows} rows of trial_returns")
    return blocks


def _trial_matrix(trial_returns: Any) -> tuple[np.ndarray, list[Any]]:
    if isinstance(trial_returns, pd.DataFrame):
        frame = trial_returns
    elif isinstance(trial_returns, np.ndarray) and trial_returns.ndim == 2:
        frame = pd.DataFrame(trial_returns)
    else:
        raise TypeError(
            f"trial_returns: expected a DataFrame (one column per trial), got {type(trial_returns).__name__}"
        )
    if frame.shape[1] < 2:
        raise ValueError(f"trial_returns: need at least 2 trials (columns), got {frame.shape[1]}")
    non_numeric = [c for c, kind in frame.dtypes.items() if not (pd.api.types.is_numeric_dtype(kind)
                                                                  and not pd.api.types.is_bool_dtype(kind))]
    if non_numeric:
        raise TypeError(f"trial_returns: non-numeric columns {non_numeric[:5]}")
    values = frame.to_numpy(dtype=np.float64, copy=True)
    bad = ~np.isfinite(values)
    if bad.any():
        column = int(np.flatnonzero(bad.any(axis=0))[0])
        row = int(np.flatnonzero(bad[:, column])[0])
        kind = "NaN" if np.isnan(values[row, column]) else "infinite"
        raise ValueError(
            f"trial_returns: {int(bad.sum())} NaN or infinite value(s), the first {kind} in column "
            f"{frame.columns[column]!r} at row {frame.index[row]!r}; every trial needs a return on every row"
        )
    return values, list(frame.columns)


def _as_1d(data: Any, name: str) -> np.ndarray:
    if isinstance(data, pd.DataFrame):
        if data.shape[1] != 1:
            raise TypeError(f"{name}: expected one series, got a DataFrame of {data.shape[1]} columns")
        data = data.iloc[:, 0]
    if isinstance(data, (str, bytes)) or isinstance(data, numbers.Number):
        raise TypeError(f"{name}: expected a series of numbers, got {type(data).__name__}")
    array = np.asarray(data)
    if array.ndim != 1:
        raise ValueError(f"{name}: expected one dimension, got an array of shape {array.shape}")
    if array.dtype == bool or not (np.issubdtype(array.dtype, np.number) or array.dtype == object):
        raise TypeError(f"{name}: expected numbers, got dtype {array.dtype}")
    try:
        return array.astype(np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name}: expected numbers ({exc})") from None


def _return_series(data: Any, name: str, minimum: int) -> np.ndarray:
    r: np.ndarray = _as_1d(data, name)
    r = r[~np.isnan(r)]
    if not np.isfinite(r).all():
        raise ValueError(f"{name}: infinite values")
    if len(r) < minimum:
        raise ValueError(f"{name}: need at least {minimum} returns (NaN dropped), got {len(r)}")
    return r


def _finite_number(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name}: expected a number, got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name}: expected a finite number, got {number}")
    return number


@dataclass(frozen=True)
class RowAssessment:
    """How much of one sweep run's Sharpe ratio the search explains.

    What a `norvane.Report` of that run shows beside its statistics
    (``report.assessment``); `SweepAssessment.row` makes it.

    Attributes
    ----------
    row:
        The run's label in the sweep's frame.
    returns:
        The run's own daily returns.
    n_trials:
        The runs of the sweep that count as trials (the successful ones).
    sharpe:
        The run's per-period Sharpe ratio.
    expected_max_sharpe:
        The per-period Sharpe ratio the best of ``n_trials`` skill-less runs
        reaches by chance (`expected_max_sharpe` of the trials' spread).
    deflated_sharpe:
        The probability that the run's true Sharpe ratio beats that
        (`deflated_sharpe`).
    pbo:
        `pbo` of the whole sweep: it judges the search, not one row.
    """

    row: Any
    returns: pd.Series
    n_trials: int
    sharpe: float
    expected_max_sharpe: float
    deflated_sharpe: float
    pbo: PBOResult


@dataclass(frozen=True)
class SweepAssessment:
    """What `assess` found for a sweep.

    Attributes
    ----------
    pbo:
        `pbo` of the sweep's runs as the trials.
    deflated_sharpe:
        Per sweep row, the deflated Sharpe ratio of that run given every run
        of the sweep as the trials (NaN for a failed run).
    trial_returns:
        The runs' daily returns on the PBO's common time grid (one column per
        sweep row; 0.0 before a run's first date).
    trial_sharpes:
        Their per-period Sharpe ratios, each from the run's own returns (0.0
        for a run that never moved, which gets no deflated Sharpe ratio of its
        own but still counts as a trial).
    run_returns:
        Each assessed run's own daily returns, by sweep row.
    """

    pbo: PBOResult
    deflated_sharpe: pd.Series
    trial_returns: pd.DataFrame
    trial_sharpes: pd.Series
    run_returns: Mapping[Any, pd.Series]

    def row(self, label: Any) -> RowAssessment:
        """The assessment of the run in row ``label`` of the sweep's frame,
        for its report: ``report.assessment = found.row(best)``."""
        if label not in self.trial_returns.columns:
            state = "failed" if label in self.deflated_sharpe.index else "is not a row of the sweep"
            raise KeyError(f"row {label!r} {state}; the assessed rows are "
                           f"{_shortened(list(self.trial_returns.columns))}")
        sharpes = self.trial_sharpes
        return RowAssessment(
            row=label,
            returns=self.run_returns[label],
            n_trials=len(sharpes),
            sharpe=float(sharpes[label]),
            expected_max_sharpe=expected_max_sharpe(len(sharpes), float(np.std(sharpes, ddof=1))),
            deflated_sharpe=float(self.deflated_sharpe[label]),
            pbo=self.pbo,
        )


def _shortened(labels: list[Any], shown: int = 10) -> str:
    text = ", ".join(map(repr, labels[:shown]))
    return text + f", ... ({len(labels)} in all)" if len(labels) > shown else text


def assess(results: pd.DataFrame, n_blocks: int = 16) -> SweepAssessment:
    """The overfitting statistics of a sweep, its grid taken as the trials.

    ``results`` is what `norvane.sweep` returns with ``keep_returns=True``
    (a ``returns`` column) or ``keep_equity=True`` (an ``equity`` column,
    from which the returns are taken). Failed runs are left out of the
    trials and get NaN. A run whose equity never moved counts as a trial of
    Sharpe ratio 0.0 and gets NaN: it has no Sharpe ratio to deflate.

    Each run's Sharpe ratio and deflated Sharpe ratio come from its own
    returns, so they equal its report's. The PBO alone compares the runs on
    one time grid, the union of their dates, on which a run holds cash
    (return 0.0) before its first date.
    """
    if not isinstance(results, pd.DataFrame):
        raise TypeError(f"results: expected the frame norvane.sweep returns, got {type(results).__name__}")
    if "returns" in results:
        series = {row: value for row, value in results["returns"].items() if isinstance(value, pd.Series)}
    elif "equity" in results:
        series = {row: daily_returns(value) for row, value in results["equity"].items()
                  if isinstance(value, pd.Series)}
    else:
        raise ValueError("results: run the sweep with keep_returns=True (or keep_equity=True) to assess it")
    if len(series) < 2:
        raise ValueError(f"results: {len(series)} successful run(s); assessing a search needs at least 2")
    # Each run is judged on its own days; only the PBO needs one time grid
    # for all, on which a run that starts later holds cash (0.0) before.
    flat = {row for row, returns in series.items() if len(returns) < 2 or returns.std(ddof=1) == 0.0}
    sharpes = pd.Series({row: 0.0 if row in flat else sharpe_ratio(returns) for row, returns in series.items()},
                        dtype=np.float64, name="sharpe")
    by_row = {row: math.nan if row in flat else deflated_sharpe(returns, sharpes) for row, returns in series.items()}
    deflated = pd.Series(by_row, dtype=np.float64).reindex(results.index).rename("deflated_sharpe")
    trials = pd.DataFrame(series).sort_index().fillna(0.0)
    return SweepAssessment(pbo(trials, n_blocks=n_blocks), deflated, trials, sharpes, series)
