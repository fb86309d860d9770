"""Parameter sweeps: grid expansion, failures as rows, and the same frame bit
for bit from every backend."""

import os
import sys

import numpy as np
import pandas as pd
import pytest

import norvane
from norvane.sweeps import sweep

GRID = {"stop_loss": [None, 0.04, 2.0], "commission": [0.0, 0.002]}  # stop_loss=2.0 fails


@pytest.fixture(scope="module")
def market():
    rng = np.random.default_rng(5)
    days = pd.bdate_range("2021-01-04", periods=160)
    stocks = [f"S{k}" for k in range(12)]
    steps = rng.normal(0.0003, 0.02, (len(days), len(stocks)))
    prices = pd.DataFrame(30.0 * np.exp(np.cumsum(steps, axis=0)), index=days, columns=stocks)
    prices.iloc[:25, 3] = np.nan                      # lists late
    rows = np.arange(10, len(days) - 1, 15)
    weights = (rng.random((len(rows), len(stocks))) < 0.4).astype(float)
    weights[:, 0] = 1.0
    weights[:, 3] = 0.0
    return prices, pd.DataFrame(weights, index=days[rows], columns=stocks)


@pytest.fixture(scope="module")
def serial(market):
    return sweep(*market, GRID, backend="serial", keep_equity=True, sell_tax=0.001)


def assert_same_frames(got, expected):
    assert got.drop(columns="equity").equals(expected.drop(columns="equity"))
    for a, b in zip(got["equity"], expected["equity"]):
        if b is None:
            assert a is None
        else:
            assert a.index.equals(b.index) and np.array_equal(a.to_numpy(), b.to_numpy())


class TestGrid:
    def test_product_order_and_columns(self, serial):
        assert list(serial["stop_loss"].fillna(-1)) == [-1, -1, 0.04, 0.04, 2.0, 2.0]
        assert list(serial["commission"]) == [0.0, 0.002] * 3
        assert list(serial.columns[:2]) == ["stop_loss", "commission"]
        assert list(serial.columns[-2:]) == ["error", "equity"]
        assert {"cagr", "sharpe", "max_drawdown"} <= set(serial.columns)

    def test_list_of_runs_and_empty_grid(self, market):
        out = sweep(*market, [{"commission": 0.001}, {"stop_loss": 0.05}], backend="serial")
        assert list(out.columns[:2]) == ["commission", "stop_loss"]
        assert out["commission"].isna().tolist() == [False, True]
        assert out["error"].tolist() == [None, None]
        empty = sweep(*market, [], backend="serial")
        assert len(empty) == 0 and list(empty.columns) == ["error"]

    @pytest.mark.parametrize(
        "grid, kwargs, error",
        [
            ({"stoploss": [0.1]}, {}, TypeError),
            ({"stop_loss": [0.1]}, {"fee": 0.1}, TypeError),
            ({"stop_loss": [0.1]}, {"stop_loss": 0.2}, TypeError),
            ({"rebalance": ["M"]}, {"rebalance": "W"}, TypeError),
            ({"stop_loss": 0.1}, {}, TypeError),
            ([0.1, 0.2], {}, TypeError),
            ({"stop_loss": [0.1]}, {"backend": "threads"}, ValueError),
            ({"stop_loss": [0.1]}, {"backend": "serial", "workers": 2}, ValueError),
            ({"stop_loss": [0.1]}, {"client": object()}, ValueError),
            ({"stop_loss": [0.1]}, {"workers": 0}, ValueError),
        ],
    )
    def test_bad_arguments_fail_before_any_run(self, market, grid, kwargs, error):
        with pytest.raises(error):
            sweep(*market, grid, **kwargs)


def test_rows_are_the_individual_backtests(market, serial):
    prices, position = market
    for _, row in serial.iterrows():
        params = {"stop_loss": None if pd.isna(row["stop_loss"]) else row["stop_loss"],
                  "commission": row["commission"]}
        if params["stop_loss"] == 2.0:
            assert row["error"].startswith("ValueError: stop_loss")
            assert np.isnan(row["sharpe"]) and row["equity"] is None
            continue
        report = norvane.backtest(prices, position, sell_tax=0.001, **params)
        stats = report.stats()
        assert row["error"] is None
        for name, value in stats.items():
            assert row[name] == value or (pd.isna(value) and pd.isna(row[name])), name
        assert np.array_equal(row["equity"].to_numpy(), report.equity.to_numpy())


def test_process_pool_gives_the_serial_frame(market, serial):
    got = sweep(*market, GRID, backend="processes", workers=2, keep_equity=True, sell_tax=0.001)
    assert_same_frames(got, serial)


class _KillsItsWorker:
    """Unpickling it ends the process on the spot, as a crash would."""

    def __reduce__(self):
        return os._exit, (70,)


def test_a_crashing_run_is_pinned_on_its_row(market, serial):
    grid = [{"commission": _KillsItsWorker()}] + [{"commission": c} for c in (0.0, 0.002)] * 2
    got = sweep(*market, grid, backend="processes", workers=2, sell_tax=0.001)
    assert "died" in got.loc[0, "error"]
    stats = [c for c in serial.columns if c not in ("stop_loss", "commission", "equity")]
    expected = pd.concat([serial.loc[[0, 1], stats]] * 2, ignore_index=True)
    assert got.loc[1:, stats].reset_index(drop=True).equals(expected)


class TestDask:
    def test_own_local_cluster_gives_the_serial_frame(self, market, serial):
        got = sweep(*market, GRID, backend="dask", workers=2, keep_equity=True, sell_tax=0.001)
        assert_same_frames(got, serial)

    def test_threaded_workers_take_turns_on_the_engine(self, market, serial):
        import distributed

        runs = [{"stop_loss": s, "commission": c} for s in GRID["stop_loss"] for c in GRID["commission"]]
        previous = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)  # switch threads often enough to interleave unguarded runs
        try:
            with distributed.LocalCluster(
                n_workers=1, threads_per_worker=4, processes=False, dashboard_address=None
            ) as cluster, distributed.Client(cluster) as client:
                got = sweep(*market, runs * 8, backend="dask", client=client, sell_tax=0.001)
        finally:
            sys.setswitchinterval(previous)
        expected = pd.concat([serial.drop(columns="equity")] * 8, ignore_index=True)
        assert got.equals(expected)

    def test_missing_dask_is_named(self, market, monkeypatch):
        monkeypatch.setitem(sys.modules, "distributed", None)
        with pytest.raises(ImportError, match=r"norvane\[dask\]"):
            sweep(*market, GRID, backend="dask")


def test_progress_bar_and_package_attribute(market, capsys):
    pytest.importorskip("tqdm")
    import norvane

    out = norvane.sweep(*market, {"commission": [0.001, 0.002]}, backend="serial", progress=True)
    assert len(out) == 2 and "2/2" in capsys.readouterr().err
