"""Walk-forward validation: windows, the in-sample choice, chaining, no look-ahead."""

import math

import numpy as np
import pandas as pd
import pytest

import norvane


def market(days=300, stocks=6, seed=2):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-01-01", periods=days)
    prices = pd.DataFrame(100 * np.exp(np.cumsum(rng.normal(0.0003, 0.02, (days, stocks)), axis=0)),
                          index=dates, columns=[f"S{i}" for i in range(stocks)])
    momentum = prices / prices.shift(10) - 1
    return prices, (momentum.rank(axis=1, ascending=False) <= 2).iloc[10:]


GRID = {"stop_loss": [None, 0.03, 0.08]}


def test_each_test_window_trades_the_in_sample_best_from_cash():
    prices, position = market()
    result = norvane.walk_forward(prices, position, GRID, train=100, test=50, rebalance="W")
    windows = result.windows
    assert list(windows["test_start"]) == list(prices.index[[100, 150, 200, 250]])
    assert list(windows["train_start"]) == list(prices.index[[0, 50, 100, 150]])
    for _, window in windows.iterrows():
        in_sample = norvane.sweep(prices.loc[window.train_start:window.train_end],
                                  position.loc[:window.train_end], GRID, rebalance="W", backend="serial")
        assert window.in_sample == in_sample["sharpe"].max()
        assert window.stop_loss == in_sample.loc[in_sample["sharpe"].idxmax(), "stop_loss"] or (
            pd.isna(window.stop_loss) and pd.isna(in_sample.loc[in_sample["sharpe"].idxmax(), "stop_loss"]))
    # Chained out-of-sample equity: one value per test row, each window continuing from the last.
    assert result.equity.index.equals(prices.index[100:]) and result.equity.iloc[0] == 1.0
    assert result.degradation.equals(windows["out_of_sample"] - windows["in_sample"])
    anchored = norvane.walk_forward(prices, position, GRID, train=100, test=50, anchored=True, rebalance="W")
    assert (anchored.windows["train_start"] == prices.index[0]).all()
    # Windows side by side on threads (the default) or one after another: the same result.
    one_by_one = norvane.walk_forward(prices, position, GRID, train=100, test=50, rebalance="W", backend="serial")
    pd.testing.assert_frame_equal(one_by_one.windows, windows)
    assert one_by_one.equity.equals(result.equity) and one_by_one.stats.equals(result.stats)


def momentum(prices, lookback=10, ahead=0):
    """Hold the two best of the last ``lookback`` days; ``ahead`` > 0 peeks at later prices."""
    score = prices.shift(-ahead) / prices.shift(lookback) - 1
    return (score.rank(axis=1, ascending=False) <= 2).iloc[lookback:]


def test_a_strategy_callable_is_chosen_like_a_setting_and_made_from_history():
    prices, _ = market()
    as_frame = norvane.walk_forward(prices, momentum(prices), GRID, train=100, test=50, rebalance="W")
    as_callable = norvane.walk_forward(prices, momentum, GRID, train=100, test=50, rebalance="W")
    pd.testing.assert_frame_equal(as_callable.windows, as_frame.windows)  # warm look-backs in every window
    assert as_callable.equity.equals(as_frame.equity)
    varied = norvane.walk_forward(prices, momentum, {"lookback": [5, 20], "stop_loss": [None, 0.05]},
                                  train=100, test=50, rebalance="W")
    assert set(varied.windows["lookback"]) <= {5, 20} and "stop_loss" in varied.windows
    with pytest.raises(TypeError, match="unknown parameter.*'lookbak'.*parameters of momentum: lookback, ahead"):
        norvane.walk_forward(prices, momentum, {"lookbak": [5]}, train=100, test=50)

    def fails_late(prices, lookback=10):  # e.g. a signal that needs more history than the test window has
        if len(prices) > 150:
            raise ZeroDivisionError("no signal")
        return momentum(prices, lookback)

    with pytest.raises(RuntimeError, match=r"test window 2021-07-30 .* \{'lookback': 5\}: ZeroDivisionError: no signal"):
        norvane.walk_forward(prices, fails_late, {"lookback": [5]}, train=100, test=50)


def test_a_stock_delisted_before_a_window_does_not_fail_it():
    prices, position = market()
    prices.iloc[120:, 0] = np.nan  # S0 stops trading; the position holds it only before then
    position = position.astype(float)
    position.loc[prices.index[100]:, "S0"] = 0.0
    result = norvane.walk_forward(prices, position, GRID, train=100, test=50)
    assert len(result.windows) == 4 and result.equity.notna().all()


@pytest.mark.parametrize("strategy", ["frame", "peeking callable"])
def test_prices_after_a_test_window_never_change_it(strategy):
    prices, position = market()
    seen = []

    def peeking(prices, ahead=3):
        seen.append((prices.index[0], prices.index[-1]))
        return momentum(prices, ahead=ahead)

    position = position if strategy == "frame" else peeking
    result = norvane.walk_forward(prices, position, GRID, train="5ME", test="2ME")
    changed = prices.copy()
    cut = result.windows["test_end"].iloc[1]
    changed.loc[changed.index > cut] *= np.linspace(0.5, 2.0, int((changed.index > cut).sum()))[:, None]
    again = norvane.walk_forward(changed, position, GRID, train="5ME", test="2ME")
    pd.testing.assert_frame_equal(again.windows.iloc[:2], result.windows.iloc[:2])
    assert again.equity.loc[:cut].equals(result.equity.loc[:cut])
    if seen:  # each call saw the history from the first row up to a window's end, never past it
        ends = set(result.windows["train_end"]) | set(result.windows["test_end"])
        assert {first for first, _ in seen} == {prices.index[0]} and {last for _, last in seen} == ends


@pytest.mark.parametrize("train, test, error", [
    (0, 50, "train: must be at least one row"),
    (100, "fortnight", "test: expected a number of rows or an offset alias"),
    (400, 50, "hold no training window followed by a test window"),
    ("0D", 50, "train: must be a period that moves forward in time, got '0D'"),
    (100, "0D", "test: must be a period that moves forward"),
    (100, "-5D", "test: must be a period that moves forward"),
    (100, pd.offsets.Day(0), "test: must be a period that moves forward"),
    (100, pd.DateOffset(months=0), "test: must be a period that moves forward"),
    (100, 50, "metric: expected a statistic of Report.stats.. that ranks runs"),
])
def test_bad_windows_and_metrics_are_refused(train, test, error):
    prices, position = market()
    metric = "stop_loss" if error.startswith("metric") else "sharpe"  # a grid column is no statistic
    with pytest.raises(ValueError, match=error):
        norvane.walk_forward(prices, position, GRID, train=train, test=test, metric=metric)


def test_a_sweep_is_assessed_with_its_grid_as_the_trials():
    from norvane import overfitting

    prices, position = market()
    grid = {"stop_loss": [None, 0.02, 0.03, 0.05, 0.08, 0.12]}
    results = norvane.sweep(prices, position, grid, rebalance="W", backend="serial", keep_equity=True,
                            keep_returns=True)
    found = overfitting.assess(results, n_blocks=4)
    returns = pd.DataFrame({row: curve.pct_change().iloc[1:] for row, curve in results["equity"].items()})
    assert found.trial_returns.equals(returns.fillna(0.0))
    assert overfitting.assess(results.drop(columns="returns"), n_blocks=4).trial_returns.equals(found.trial_returns)
    sharpes = returns.apply(overfitting.sharpe_ratio)
    assert found.deflated_sharpe[2] == overfitting.deflated_sharpe(returns[2], sharpes)
    assert found.pbo.pbo == overfitting.pbo(returns, n_blocks=4).pbo
    with pytest.raises(ValueError, match="keep_returns=True"):
        overfitting.assess(results.drop(columns=["equity", "returns"]))


def test_a_run_that_never_moved_counts_as_a_trial_of_sharpe_zero():
    from norvane import overfitting

    prices, _ = market()

    def held(prices, top):
        return (prices.rank(axis=1) <= top).iloc[10:]

    results = norvane.sweep(prices, held, {"top": [0, 1, 2, 3]}, rebalance="W", backend="serial", keep_returns=True)
    found = overfitting.assess(results, n_blocks=4)
    assert found.trial_sharpes[0] == 0.0 and np.isnan(found.deflated_sharpe[0])
    assert found.deflated_sharpe[2] == overfitting.deflated_sharpe(found.trial_returns[2], found.trial_sharpes)


def test_each_run_is_assessed_on_its_own_days():
    # Runs that start later are padded with cash only on the PBO's grid: a
    # row's Sharpe ratio is its report's, and its deflated Sharpe its own.
    from norvane import overfitting

    prices, _ = market()

    def later(prices, skip):
        return (prices.rank(axis=1) <= 3).iloc[skip:]

    results = norvane.sweep(prices, later, {"skip": [0, 40, 80]}, rebalance="W", backend="serial",
                            keep_returns=True)
    found = overfitting.assess(results, n_blocks=4)
    report = norvane.backtest(prices, later(prices, 80), "W")
    row = found.row(2)
    assert row.returns.equals(report.returns) and found.trial_returns[2].iloc[:80].eq(0.0).all()
    assert row.sharpe * math.sqrt(report.periods_per_year) == report.stats()["sharpe"]
    own = {r: results.loc[r, "returns"] for r in results.index}
    sharpes = pd.Series({r: overfitting.sharpe_ratio(v) for r, v in own.items()})
    assert found.trial_sharpes.equals(sharpes.rename("sharpe"))
    assert found.deflated_sharpe[2] == overfitting.deflated_sharpe(own[2], sharpes)
    assert found.pbo.pbo == overfitting.pbo(found.trial_returns, n_blocks=4).pbo
    report.assessment = row
    assert dict(report._stat_rows())["Sharpe ratio"] == dict(report._assessment_rows())["Sharpe ratio (annualised)"]


def test_a_report_shows_the_assessment_of_the_sweep_row_it_repeats():
    from norvane import overfitting

    prices, position = market()
    grid = {"stop_loss": [None, 0.02, 0.05, 0.08]}
    results = norvane.sweep(prices, position, grid, rebalance="W", backend="serial", keep_returns=True)
    found = overfitting.assess(results, n_blocks=4)
    row = found.row(2)
    sharpes = found.trial_returns.apply(overfitting.sharpe_ratio)
    assert (row.n_trials, row.sharpe, row.deflated_sharpe, row.pbo) == (4, sharpes[2], found.deflated_sharpe[2],
                                                                         found.pbo)
    assert row.expected_max_sharpe == overfitting.expected_max_sharpe(4, float(np.std(sharpes, ddof=1)))

    report = norvane.backtest(prices, position, "W", stop_loss=0.05)
    report.assessment = row
    page, cell = report.to_html(), report._repr_html_()
    assert "Selection bias" in page and page.count("data:image/png") == 4
    assert f"<td>{row.deflated_sharpe * 100:.1f}%</td>" in page
    assert "Deflated Sharpe ratio" in cell and "PBO of the search" in report.summary()
    assert "Selection bias" not in norvane.backtest(prices, position, "W").to_html()
    # Numbers of another run beside this one's statistics would look right and be wrong.
    with pytest.raises(ValueError, match="sweep row 1 is not this run"):
        report.assessment = found.row(1)
    with pytest.raises(TypeError, match=r"assessment: expected one row's assessment"):
        report.assessment = found
    with pytest.raises(KeyError, match="row 9 is not a row of the sweep"):
        found.row(9)


def test_a_grid_given_as_a_generator_serves_every_window():
    prices, position = market()
    runs = [{"stop_loss": stop} for stop in GRID["stop_loss"]]
    listed = norvane.walk_forward(prices, position, runs, train=100, test=50)
    generated = norvane.walk_forward(prices, position, (run for run in runs), train=100, test=50)
    valued = norvane.walk_forward(prices, position, {"stop_loss": iter(GRID["stop_loss"])}, train=100, test=50)
    assert len(listed.windows) == 4
    pd.testing.assert_frame_equal(generated.windows, listed.windows)
    pd.testing.assert_frame_equal(valued.windows, listed.windows)
