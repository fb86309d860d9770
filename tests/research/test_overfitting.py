"""Overfitting statistics: hand-computed cases, then independent implementations
(jsharpe for the Sharpe formulas, phacker for PBO), then bad input."""

import math
import os

import numpy as np
import pandas as pd
import pytest

from norvane import overfitting as of


# The reference packages bring scipy, whose import-time objects the leak
# checker reports at exit; what they check here is pure Python, with nothing
# native for the sanitizer build to add.
references = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="scipy's import-time allocations read as leaks under the sanitizer")


def phi(z):
    return 0.5 * (1.0 + math.erf(z / math.sqrt(2.0)))


# Deviations -1.5, -0.5, 0.5, 1.5 (x 0.01): SR^2 = 0.15, skewness 0, kurtosis 1.64.
SYMMETRIC = [-0.01, 0.0, 0.01, 0.02]
# Deviations -1, -1, -1, 3 (x 0.01): SR 0.5, skewness 2/sqrt(3), kurtosis 7/3.
JUMP = [0.0, 0.0, 0.0, 0.04]
JUMP_SPREAD = 1.0 - 1.0 / math.sqrt(3.0) + 1.0 / 12.0   # 1 - g3 SR + (g4 - 1)/4 SR^2


@pytest.mark.parametrize(
    "returns, bar, expected",
    [
        (SYMMETRIC, 0.0, phi(math.sqrt(0.15) * math.sqrt(3) / math.sqrt(1.024))),
        (SYMMETRIC, math.sqrt(0.15), 0.5),
        (JUMP, 0.0, phi(0.5 * math.sqrt(3) / math.sqrt(JUMP_SPREAD))),
        (JUMP, 0.25, phi(0.25 * math.sqrt(3) / math.sqrt(JUMP_SPREAD))),
        # Mirrored: SR and skewness both change sign, the spread does not.
        ([-r for r in JUMP], 0.0, phi(-0.5 * math.sqrt(3) / math.sqrt(JUMP_SPREAD))),
        (pd.Series([np.nan, *JUMP, np.nan]), 0.0, phi(0.5 * math.sqrt(3) / math.sqrt(JUMP_SPREAD))),  # NaN dropped
    ],
)
def test_probabilistic_sharpe_by_hand(returns, bar, expected):
    assert of.probabilistic_sharpe(returns, bar) == pytest.approx(expected, rel=1e-12)


def test_sharpe_ratios_and_deflation_by_hand():
    assert of.sharpe_ratio(JUMP) == pytest.approx(0.5, rel=1e-12)
    assert of.sharpe_ratio(pd.Series([0.01, np.nan, 0.03])) == pytest.approx(0.02 / math.sqrt(2e-4), rel=1e-12)
    # Two trials: Phi^-1(1/2) = 0 leaves gamma * Phi^-1(1 - 1/(2e)) = gamma * Phi^-1(0.8160602794).
    z = 0.9004525966  # Phi(0.9) = 0.8159399, plus 0.0001204 / phi(0.9) = 0.2660852 (and the curvature)
    assert phi(z) == pytest.approx(1 - 1 / (2 * math.e), abs=1e-10)
    assert of.expected_max_sharpe(2, 1.0) == pytest.approx(of.EULER_GAMMA * z, abs=1e-9)
    assert of.expected_max_sharpe(1000, 0.0) == 0.0
    # Beyond 10**16 trials 1 - 1/n rounds to 1: the upper tail is still found.
    # Upper-tail quantiles Phi^-1(1 - 1e-18) and Phi^-1(1 - 1e-18/e), as scipy's norm.isf gives them.
    huge = 0.1 * ((1 - of.EULER_GAMMA) * 8.757290348782316 + of.EULER_GAMMA * 8.869347278875367)
    assert of.expected_max_sharpe(10**18, 0.1) == pytest.approx(huge, rel=1e-9)
    # Agreeing trials deflate nothing; spread trials raise the bar.
    assert of.deflated_sharpe(JUMP, [0.3, 0.3, 0.3]) == of.probabilistic_sharpe(JUMP, 0.0)
    bar = of.expected_max_sharpe(2, 0.2 / math.sqrt(2))  # std (ddof 1) of [-0.1, 0.1]
    assert of.deflated_sharpe(JUMP, [-0.1, 0.1]) == pytest.approx(
        phi((0.5 - bar) * math.sqrt(3) / math.sqrt(JUMP_SPREAD)), rel=1e-12)


@references
def test_against_jsharpe():
    jsharpe = pytest.importorskip("jsharpe")
    stats = pytest.importorskip("scipy.stats")
    rng = np.random.default_rng(3)
    samples = [rng.normal(0.001, 0.01, 250), rng.standard_t(3, 500) * 0.01 + 0.0005,
               rng.lognormal(0.0, 0.5, 120) * 0.01 - 0.011]
    for r in samples:
        sr = r.mean() / r.std(ddof=1)
        for benchmark in (0.0, 0.05, -0.02):
            # The 2012 form: the variance at the observed SR, over n - 1 returns.
            variance = jsharpe.sharpe_ratio_variance(sr, len(r) - 1, gamma3=stats.skew(r),
                                                     gamma4=stats.kurtosis(r, fisher=False))
            expected = jsharpe.probabilistic_sharpe_ratio(sr, benchmark, variance=variance)
            assert of.probabilistic_sharpe(r, benchmark) == pytest.approx(expected, rel=1e-10, abs=1e-14)
    for trials in (2, 10, 1000, 10**6):
        expected = jsharpe.expected_maximum_sharpe_ratio(trials, 0.04**2)
        assert of.expected_max_sharpe(trials, 0.04) == pytest.approx(expected, rel=1e-12)


RISE, FALL = [0.01, 0.02], [-0.01, -0.02]
LOG2 = math.log(2.0)


@pytest.mark.parametrize(
    "columns, n_blocks, pbo, logit, chosen, in_sample",
    [
        # Each trial wins one half and loses the other: the in-sample best is always last.
        ({"a": RISE + FALL, "b": FALL + RISE}, 2, 1.0, -LOG2, ["a", "b"], 3 / math.sqrt(2)),
        # One trial wins everywhere: never overfit. Halves of 0.01, 0.02, 0.01, 0.02: SR 1.5 sqrt(3).
        ({"a": RISE * 4, "b": FALL * 4}, 4, 0.0, LOG2, ["a"] * 6, 1.5 * math.sqrt(3)),
        # A tie out of sample ranks low: rank 2 of 3 is the median, logit 0, counted as overfit.
        ({"a": RISE * 2, "a2": RISE * 2, "flat": [0.0] * 4}, 2, 1.0, 0.0, ["a", "a"], 3 / math.sqrt(2)),
    ],
)
def test_pbo_by_hand(columns, n_blocks, pbo, logit, chosen, in_sample):
    result = of.pbo(pd.DataFrame(columns), n_blocks=n_blocks)
    assert result.pbo == pbo and result.splits == math.comb(n_blocks, n_blocks // 2)
    np.testing.assert_allclose(result.logits, logit, atol=1e-15)
    perf = result.performance
    assert list(perf.columns) == ["trial", "in_sample", "out_of_sample", "relative_rank", "logit"]
    assert list(perf["trial"]) == chosen
    np.testing.assert_allclose(perf["in_sample"], in_sample, rtol=1e-12)


def test_pbo_blocks_and_custom_metric():
    # 10 rows in 4 blocks: rows 0-2, 3-5, 6-7, 8-9. Trial "up" is the row number, "mid" its mean.
    frame = pd.DataFrame({"up": np.arange(10.0), "mid": np.full(10, 4.5)})
    seen = []

    def mean(half):
        seen.append(tuple(half[:, 0].astype(int)))
        return half.mean(axis=0)

    result = of.pbo(frame, n_blocks=4, metric=mean)
    blocks = [(0, 1, 2), (3, 4, 5), (6, 7), (8, 9)]
    assert seen == [blocks[i] + blocks[j] for i in range(4) for j in range(i + 1, 4)]
    # Whichever half looks better in-sample, the other half reverses it.
    assert result.pbo == 1.0
    assert list(result.performance["trial"]) == ["mid", "mid", "mid", "up", "up", "up"]
    np.testing.assert_allclose(result.performance["in_sample"], [4.5, 4.5, 4.5, 5.0, 5.8, 7.5])
    np.testing.assert_allclose(result.performance["out_of_sample"], [4.5, 4.5, 4.5, 4.0, 3.2, 2.5])


@references
def test_pbo_against_phacker():
    cscv = pytest.importorskip("phacker.cscv")
    rng = np.random.default_rng(11)
    returns = rng.normal(0.0002, 0.01, (480, 25)) + rng.normal(0.0, 0.0008, 25)
    returns[:240, 3] = 0.0                      # not trading in the first half
    returns[:, 7] = returns[:, 5]               # a duplicate trial: exact ties
    for blocks in (6, 10, 16):
        expected_pbo, expected_logits = cscv.cscv(returns, S=blocks)
        result = of.pbo(pd.DataFrame(returns), n_blocks=blocks)
        assert result.pbo == expected_pbo
        np.testing.assert_allclose(result.logits, expected_logits, rtol=0, atol=1e-12)


FRAME = pd.DataFrame({"a": RISE * 5, "b": FALL * 5})


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: of.probabilistic_sharpe([0.01, np.nan, 0.02]), ValueError, "at least 3 returns"),
        (lambda: of.probabilistic_sharpe([0.01] * 5), ValueError, "standard deviation is zero"),
        (lambda: of.probabilistic_sharpe([0.01, np.inf, 0.0, 0.1]), ValueError, "infinite"),
        (lambda: of.probabilistic_sharpe(np.ones((3, 2))), ValueError, "one dimension"),
        (lambda: of.probabilistic_sharpe(["a", "b", "c"]), TypeError, "expected numbers"),
        (lambda: of.probabilistic_sharpe(JUMP, "0"), TypeError, "benchmark_sharpe"),
        (lambda: of.probabilistic_sharpe(JUMP, math.nan), ValueError, "benchmark_sharpe"),
        (lambda: of.expected_max_sharpe(1, 0.1), ValueError, "n_trials: need at least 2"),
        (lambda: of.expected_max_sharpe(True, 0.1), TypeError, "n_trials"),
        (lambda: of.expected_max_sharpe(10, -0.1), ValueError, "sr_std"),
        (lambda: of.deflated_sharpe(JUMP, [0.1]), ValueError, "at least 2 trials"),
        (lambda: of.deflated_sharpe(JUMP, [0.1, np.nan, 0.2]), ValueError, "1 NaN"),
        # a sweep's annualised column beside the chosen run's per-period returns
        (lambda: of.deflated_sharpe(JUMP, [0.1, of.sharpe_ratio(JUMP) * math.sqrt(252)]), ValueError,
         r"trial_sharpes: annualised .* divide them by sqrt\(252\)"),
        (lambda: of.pbo(FRAME, 3), ValueError, "n_blocks: expected an even number"),
        (lambda: of.pbo(pd.DataFrame(np.ones((200, 2))), 100), ValueError,
         r"n_blocks: 100 blocks make 100,891,344,545,564,193,334,812,497,256 splits .* use fewer blocks"),
        (lambda: of.pbo(pd.DataFrame(np.ones((200, 2))), 24), ValueError, "2,704,156 splits of 2 trials"),
        (lambda: of.pbo(pd.DataFrame(np.ones((200, 2))), 20, metric=np.mean), ValueError,
         "at most 100,000 splits with a custom metric"),
        (lambda: of.pbo(FRAME, 12), ValueError, "12 blocks is more than the 10 rows"),
        (lambda: of.pbo(FRAME, 4.0), TypeError, "n_blocks"),
        (lambda: of.pbo(FRAME.iloc[:3], 2), ValueError, "a half of 1 row"),
        (lambda: of.pbo(FRAME.assign(a=FRAME["a"].where(FRAME.index != 4)), 2), ValueError, "column 'a' at row 4"),
        (lambda: of.pbo(FRAME[["a"]]), ValueError, "at least 2 trials"),
        (lambda: of.pbo(FRAME["a"]), TypeError, "DataFrame"),
        (lambda: of.pbo(FRAME, 2, metric="sharpe"), TypeError, "metric"),
        (lambda: of.pbo(FRAME, 2, metric=lambda half: half.mean()), ValueError, "one score per trial"),
    ],
)
def test_bad_input(call, error, message):
    with pytest.raises(error, match=message):
        call()
