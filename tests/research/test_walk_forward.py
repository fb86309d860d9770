"""Walk-forward validation: windows, the in-sample choice, chaining, no look-ahead."""

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


def test_prices_after_a_test_window_never_change_it():
    prices, position = market()
    result = norvane.walk_forward(prices, position, GRID, train="5ME", test="2ME")
    changed = prices.copy()
    cut = result.windows["test_end"].iloc[1]
    changed.loc[changed.index > cut] *= np.linspace(0.5, 2.0, int((changed.index > cut).sum()))[:, None]
    again = norvane.walk_forward(changed, position, GRID, train="5ME", test="2ME")
    pd.testing.assert_frame_equal(again.windows.iloc[:2], result.windows.iloc[:2])
    assert again.equity.loc[:cut].equals(result.equity.loc[:cut])


@pytest.mark.parametrize("train, test, error", [
    (0, 50, "train: must be at least one row"),
    (100, "fortnight", "test: expected a number of rows or an offset alias"),
    (400, 50, "hold no training window followed by a test window"),
])
def test_bad_windows_are_refused(train, test, error):
    prices, position = market()
    with pytest.raises(ValueError, match=error):
        norvane.walk_forward(prices, position, GRID, train=train, test=test)


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


def test_readme_worked_example_runs(tmp_path, monkeypatch, capsys):
    import pathlib
    import re

    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    usage = readme.split("\n## Usage\n", 1)[1].split("\n## ", 1)[0]
    (setup,) = re.findall(r"```python\n(.*?)```", usage, re.S)
    example = usage.split("### From a grid to a decision", 1)[1].split("\n### ", 1)[0]
    (code,) = re.findall(r"```py\n(.*?)```", example, re.S)
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    exec(compile(setup, "README.md", "exec"), namespace)
    exec(compile(code, "README.md", "exec"), namespace)
    assert "out-of-sample Sharpe" in capsys.readouterr().out
