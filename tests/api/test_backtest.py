"""norvane.backtest: alignment, conversion, decoding of the results, validation."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import norvane
from norvane import engine_session

X = 1 / (1 + 1e-7)  # share of the equity a rebalance invests: weights / (sum + 1e-7)


def frames():
    """Six trading days Mon 1 .. Mon 8 Jan 2024; hold A, then B, then A again."""
    dates = pd.bdate_range("2024-01-01", periods=6)
    prices = pd.DataFrame({"A": [10, 10, 11, 12, 9, 9.9], "B": [20, 20, 20, 22, 22, 24.2]}, index=dates)
    position = pd.DataFrame({"A": [True, False, True], "B": [False, True, False]}, index=dates[[0, 2, 5]])
    return prices, position


def test_round_trip_without_costs():
    prices, position = frames()
    d = prices.index
    report = norvane.backtest(prices, position, commission=0, sell_tax=0, excursion_window=4, excursion_step=3)

    # Signal on d0, buy A on d1; signal on d2, switch to B on d3 at A = 12.
    total = 1 + 0.2 * X
    y = total * X
    assert report.equity.index.equals(d)
    assert report.equity.to_numpy() == pytest.approx([1, 1, 1 + 0.1 * X, total, total, total + 0.1 * y], rel=1e-12)
    assert report.returns.to_numpy() == pytest.approx([0, 0.1 * X / 1, 0.1 * X / (1 + 0.1 * X), 0, 0.1 * y / total], abs=1e-12)

    t = report.trades
    assert list(t["stock"]) == ["A", "B"]
    assert list(t["entry_date"]) == [d[1], d[3]]
    assert t["exit_date"].iloc[0] == d[3] and pd.isna(t["exit_date"].iloc[1])
    assert list(t["entry_signal_date"]) == [d[0], d[2]]
    assert t["exit_signal_date"].iloc[0] == d[2] and pd.isna(t["exit_signal_date"].iloc[1])
    assert t["entry_value"].to_numpy() == pytest.approx([X, y], rel=1e-12)
    assert list(t["holding_days"]) == [2, 2]

    # Excursions at exit: A rose 10 -> 11 -> 12, B 22 -> 22 -> 24.2.
    at_exit = ["adverse_excursion", "favourable_excursion", "favourable_before_adverse", "drawdown", "profit_days", "return"]
    assert t.loc[0, at_exit].to_numpy(float) == pytest.approx([0, 0.2, 0, 0, 2, 0.2], abs=1e-12)
    assert t.loc[1, at_exit].to_numpy(float) == pytest.approx([0, 0.1, 0, 0, 1, 0.1], abs=1e-12)
    # Three days after entry A had fallen to 9, after its exit; B has no such day.
    sampled = [f"{c}_3d" for c in at_exit]
    assert t.loc[0, sampled].to_numpy(float) == pytest.approx([-0.1, 0.2, 0.2, 0.9 / 1.2 - 1, 2, -0.1], abs=1e-12)
    assert t.loc[1, sampled].isna().all()
    assert {c.rsplit("_", 1)[1] for c in t.columns if c.endswith("d") and c[-2].isdigit()} == {"3d"}

    # The d5 row (back to A) is due on the next trading day.
    assert report.actions.to_dict() == {"A": "enter", "B": "exit"}
    assert report.weights.to_dict() == pytest.approx({"B": 1.1 * y / (total + 0.1 * y)}, rel=1e-12)
    assert report.next_weights.to_dict() == {"A": 1.0}


def test_commission_and_tax_reach_the_engine():
    prices, position = frames()
    report = norvane.backtest(prices, position, commission=0.01, sell_tax=0.02)
    buy_b = (1 + 0.188 * X) * X
    eq = report.equity.to_numpy()
    assert eq[1] == pytest.approx(1 - 0.01 * X, rel=1e-12)
    assert eq[3] == pytest.approx(1 + 0.15236 * X - 0.01 * buy_b, rel=1e-12)


def test_stops_schedule_an_exit_only_when_set():
    dates = pd.bdate_range("2024-01-01", periods=4)
    prices = pd.DataFrame({"A": [10.0, 10, 10, 8.5]}, index=dates)
    position = pd.DataFrame({"A": [2.0]}, index=dates[:1])
    plain = norvane.backtest(prices, position)
    assert plain.actions.empty and plain.next_weights.to_dict() == {"A": 1.0}
    stopped = norvane.backtest(prices, position, stop_loss=-0.1)
    assert stopped.actions.to_dict() == {"A": "sl_tp_exit"}
    touched = norvane.backtest(prices, position, stop_loss=0.1, commission=0, sell_tax=0, touched_exit=True)
    invested = 2 / (2 + 1e-7)
    assert touched.equity.iloc[-1] == pytest.approx((1 - invested) + 0.9 * invested, rel=1e-12)
    assert touched.trades["exit_date"].iloc[0] == dates[3]


def weekly_frames(end):
    dates = pd.bdate_range("2024-01-01", end)
    prices = pd.DataFrame({"A": 10.0, "B": 20.0}, index=dates)
    flip = np.arange(len(dates)) % 2 == 0
    return prices, pd.DataFrame({"A": flip, "B": ~flip}, index=dates)


def test_rebalance_schedules():
    prices, position = weekly_frames("2024-01-19")
    mon8, mon15 = pd.Timestamp("2024-01-08"), pd.Timestamp("2024-01-15")
    weekly = norvane.backtest(prices, position, "W")
    # Friday's row trades on Monday: A (row of Fri 5), then B (row of Fri 12).
    assert list(weekly.trades["stock"]) == ["A", "B"]
    assert list(weekly.trades["entry_date"]) == [mon8, mon15]
    # The data end on a Friday, so that week's rebalance is the next day's.
    assert weekly.actions.to_dict() == {"A": "enter", "B": "exit"}
    _, thursday = weekly_frames("2024-01-18")
    assert norvane.backtest(prices.iloc[:-1], thursday, "W").actions.empty

    explicit = norvane.backtest(prices, position, [pd.Timestamp("2024-01-12"), "2024-01-05"])
    assert list(explicit.trades["entry_date"]) == [mon8, mon15]
    monthly = norvane.backtest(prices, position, "M")
    assert monthly.equity.equals(norvane.backtest(prices, position, "ME").equity)
    assert monthly.trades.empty  # January has not ended on the 19th


def test_time_zones_must_agree():
    prices, position = frames()
    naive = norvane.backtest(prices, position)
    zone = "Asia/Taipei"
    aware = norvane.backtest(prices.tz_localize(zone), position.tz_localize(zone))
    assert np.array_equal(aware.equity.to_numpy(), naive.equity.to_numpy())
    assert aware.trades["entry_date"].iloc[0] == pd.Timestamp("2024-01-02", tz=zone)
    with pytest.raises(ValueError, match="position: time zone UTC does not match"):
        norvane.backtest(prices.tz_localize(zone), position.tz_localize("UTC"))
    with pytest.raises(ValueError, match="rebalance: time zone None"):
        norvane.backtest(prices.tz_localize(zone), position.tz_localize(zone), ["2024-01-03"])


def test_drop_missing_is_opt_in():
    prices, position = frames()
    reference = norvane.backtest(prices[["A"]], position[["A"]])
    with_c = position.assign(C=position["A"], D=False)  # C held, D never held
    with pytest.raises(ValueError, match=r"held but absent from prices: 'C' \(pass drop_missing=True"):
        norvane.backtest(prices, with_c[["A", "C"]])
    dropped = norvane.backtest(prices, with_c[["A", "C", "D"]], drop_missing=True)
    assert np.array_equal(dropped.equity.to_numpy(), reference.equity.to_numpy())
    no_price = prices.assign(B=np.nan)
    dropped = norvane.backtest(no_price, position, drop_missing=True)
    assert np.array_equal(dropped.equity.to_numpy(), reference.equity.to_numpy())


def _nat_index(p):
    return p.set_axis(pd.DatetimeIndex([pd.NaT, *p.index[1:]]))


BAD_INPUT = [
    (lambda p, q: (p.to_numpy(), q, {}), TypeError, "prices: expected a pandas DataFrame"),
    (lambda p, q: (p.reset_index(drop=True), q, {}), TypeError, "prices: the index must be a DatetimeIndex"),
    (lambda p, q: (p.iloc[::-1], q, {}), ValueError, "prices: the index is not sorted"),
    (lambda p, q: (_nat_index(p), q, {}), ValueError, "prices: the index contains NaT"),
    (lambda p, q: (p, q.iloc[[0, 0, 1]], {}), ValueError, "position: the index has duplicated dates"),
    (lambda p, q: (p.iloc[:0], q, {}), ValueError, r"prices: the frame is empty \(0 rows"),
    (lambda p, q: (p, q.iloc[:, :0], {}), ValueError, "position: the frame is empty"),
    (lambda p, q: (p.assign(B="x"), q, {}), TypeError, "prices: non-numeric columns: 'B'"),
    (lambda p, q: (p, q.assign(B="yes"), {}), TypeError, "position: columns that are neither bool nor numeric: 'B'"),
    (lambda p, q: (p.assign(B=0.0), q, {}), ValueError, "prices: every price must be positive"),
    (lambda p, q: (p.assign(A=np.inf), q, {}), ValueError, "prices: every price must be positive and finite"),
    (lambda p, q: (p, q.assign(C=True), {}), ValueError, "held but absent from prices: 'C'"),
    (lambda p, q: (p.assign(B=np.nan), q, {}), ValueError, "held but without a single price: 'B'"),
    (lambda p, q: (p.set_axis(["A", "A"], axis=1), q, {}), ValueError, "prices: duplicated column names: 'A'"),
    (lambda p, q: (p, q.set_axis([1, "1"], axis=1), {}), ValueError, "position: different column labels share"),
    (lambda p, q: (p.tz_localize("UTC"), q, {}), ValueError, "position: time zone None does not match"),
    (lambda p, q: (p, q.astype(float).where(q, np.nan), {}), ValueError, "position: weights must be finite"),
    (lambda p, q: (p, q.astype(float).assign(B=-1.0), {}), ValueError, "must sum to a positive number"),
    (lambda p, q: (p, q.shift(freq="365D"), {}), ValueError, "after the last price date"),
    (lambda p, q: (p, q, {"rebalance": "fortnightly"}), ValueError, "rebalance: 'fortnightly' is not"),
    (lambda p, q: (p, q, {"rebalance": 5}), TypeError, "rebalance: expected None"),
    (lambda p, q: (p, q, {"stop_loss": 1.5}), ValueError, "stop_loss: must be a nonzero fraction below 1"),
    (lambda p, q: (p, q, {"take_profit": float("nan")}), ValueError, "take_profit: must not be NaN"),
    (lambda p, q: (p, q, {"commission": "0.1"}), TypeError, "commission: expected a number"),
    (lambda p, q: (p, q, {"sell_tax": 1.0}), ValueError, r"sell_tax: must be a rate in \[0, 1\)"),
    (lambda p, q: (p, q, {"position_limit": 0}), ValueError, "position_limit: must be a positive"),
    (lambda p, q: (p, q, {"excursion_step": 0}), ValueError, "excursion_step: must be between 1"),
    (lambda p, q: (p, q, {"excursion_window": 2.5}), TypeError, "excursion_window: expected an integer"),
    (lambda p, q: (p, q, {"touched_exit": "no"}), TypeError, "touched_exit: expected a bool"),
]


@pytest.mark.parametrize("mutate, error, message", BAD_INPUT)
def test_bad_input_fails_before_the_engine_runs(monkeypatch, mutate, error, message):
    def engine_must_not_run(*args, **kwargs):
        raise AssertionError("the engine ran")

    monkeypatch.setattr(engine_session.ravelin, "backtest_", engine_must_not_run)
    prices, position, kwargs = mutate(*frames())
    with pytest.raises(error, match=message):
        norvane.backtest(prices, position, **kwargs)


def test_importing_the_analysis_module_stays_light():
    code = (
        "import sys, norvane.tessary\n"
        "print(sorted(m for m in ('norvane.ravelin', 'norvane.api', 'pandas') if m in sys.modules))\n"
        "import norvane\n"
        "print(norvane.backtest.__module__, norvane.Report.__module__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split("\n")[:2] == ["[]", "norvane.api norvane.report"]
