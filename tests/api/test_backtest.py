"""norvane.backtest: alignment, conversion, decoding of the results, validation."""

import inspect
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import norvane
from norvane import _engine, tessary

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


def test_the_signature_shows_the_settings_defaults():
    # Written out for readers of the signature; the one table is Settings.
    from norvane.settings import ALL_SETTINGS

    shown = {name: p.default for name, p in inspect.signature(norvane.backtest).parameters.items()
             if name in ALL_SETTINGS}
    assert shown == ALL_SETTINGS


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
    # The weight 2.0 is relative: the row is scaled to sum to one first.
    assert touched.equity.iloc[-1] == pytest.approx((1 - X) + 0.9 * X, rel=1e-12)
    assert touched.trades["exit_date"].iloc[0] == dates[3]
    # Why each trade ended: touched, next-row (found on the last row: still open), rebalance, target.
    assert touched.trades["exit_reason"].tolist() == ["stop_loss"]
    assert stopped.trades["exit_reason"].tolist() == ["open"] == plain.trades["exit_reason"].tolist()
    later = pd.DataFrame({"A": [10.0, 10, 8.5, 8.5, 12, 12]}, index=pd.bdate_range("2024-01-01", periods=6))
    reasons = norvane.backtest(later, pd.DataFrame({"A": [1.0, 0.0, 1.0]}, index=later.index[[0, 1, 2]]),
                               take_profit=0.2, stop_loss=0.1).trades["exit_reason"].tolist()
    assert reasons == ["rebalance", "take_profit"]
    assert "Exits: stop loss" in touched.summary() and "<th>Exits: stop loss</th><td>1</td>" in touched.to_html()


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
    with pytest.warns(UserWarning, match="rebalance: 'M' schedules no trade between 2024-01-01 and 2024-01-19") as seen:
        monthly = norvane.backtest(prices, position, "M")  # January has not ended on the 19th
    assert [w.filename for w in seen] == [__file__]
    assert monthly.trades.empty
    with pytest.warns(UserWarning, match="the 2 dates given schedule no trade"):
        late = norvane.backtest(prices, position, ["2024-01-19", "2024-02-01"])  # only next-day actions
    assert late.trades.empty and not late.actions.empty


def test_weights_near_the_largest_double_still_hold_their_shares():
    prices, _ = weekly_frames("2024-01-12")
    position = pd.DataFrame({"A": [1e308, 1e308], "B": [1e308, 0.5e308]}, index=prices.index[[0, 4]])
    report = norvane.backtest(prices, position, commission=0, sell_tax=0)
    assert report.weights.to_dict() == pytest.approx({"A": 2 / 3, "B": 1 / 3}, abs=1e-6)


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
    (lambda p, q: (p, q.astype(float).assign(B=-1.0), {}), ValueError,
     r"position: weights must not be negative .*; found -1.0 for 'B' on 2024-01-01 00:00:00 \(3 such"),
    (lambda p, q: (p, q.shift(freq="365D"), {}), ValueError, "after the last price date"),
    (lambda p, q: (p, q, {"rebalance": "fortnightly"}), ValueError, "rebalance: 'fortnightly' is not"),
    (lambda p, q: (p, q, {"rebalance": 5}), TypeError, "rebalance: expected None"),
    (lambda p, q: (p, q, {"rebalance": "-1D"}), ValueError, "rebalance: '-1D' does not move forward in time"),
    (lambda p, q: (p, q, {"rebalance": pd.DateOffset(months=0)}), ValueError, "does not move forward in time"),
    (lambda p, q: (p, q, {"rebalance": []}), ValueError, "rebalance: no dates given"),
    (lambda p, q: (p, q, {"stop_loss": 1.5}), ValueError, "stop_loss: must be a nonzero fraction below 1"),
    (lambda p, q: (p, q, {"take_profit": float("nan")}), ValueError, "take_profit: must not be NaN; None means no take profit"),
    (lambda p, q: (p, q, {"commission": "0.1"}), TypeError, "commission: expected a number"),
    (lambda p, q: (p, q, {"sell_tax": 1.0}), ValueError, r"sell_tax: must be a rate in \[0, 1\)"),
    (lambda p, q: (p, q, {"position_limit": 0}), ValueError, "position_limit: must be a positive"),
    (lambda p, q: (p, q, {"excursion_step": 0}), ValueError, "excursion_step: must be between 1"),
    (lambda p, q: (p, q, {"excursion_window": 2.5}), TypeError, "excursion_window: expected an integer"),
    (lambda p, q: (p, q, {"touched_exit": "no"}), TypeError, "touched_exit: expected a bool"),
    (lambda p, q: (p, q, {"weights": "percent"}), ValueError, "weights: expected one of 'relative', 'absolute'"),
    (lambda p, q: (p, q, {"stop_from": "peak"}), ValueError, "stop_from: expected one of 'rebalance', 'entry'"),
]


@pytest.mark.parametrize("mutate, error, message", BAD_INPUT)
def test_bad_input_fails_before_the_engine_runs(monkeypatch, mutate, error, message):
    def engine_must_not_run(*args, **kwargs):
        raise AssertionError("the engine ran")

    monkeypatch.setattr(_engine.ravelin, "simulate", engine_must_not_run)
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


# --- what a schedule does: re-targeting, relative weights, trading days ------

def periodic_model(prices, trades, fee=0.0, tax=0.0):
    """Equity of a portfolio brought to ``trades[row]`` (weights) at the prices of
    that row, costs charged like the engine: a buy pays commission out of the
    amount, a sale commission and tax out of the proceeds, stocks in column order."""
    hold, cash, equity = np.zeros(prices.shape[1]), 1.0, []
    for i in range(len(prices)):
        if i:
            hold *= prices[i] / prices[i - 1]
        if i in trades:
            total = cash + hold.sum()
            for k, weight in enumerate(trades[i]):
                amount = weight * total - hold[k]
                if amount > 0:
                    cash, hold[k] = cash - amount, hold[k] + amount * (1 - fee)
                else:
                    cash, hold[k] = cash - amount * (1 - fee - tax), hold[k] + amount
        equity.append(cash + hold.sum())
    return np.array(equity)


def drifting_market(days=260):
    rng = np.random.default_rng(4)
    dates = pd.bdate_range("2021-01-01", periods=days)
    steps = rng.normal([0.001, 0.0], [0.02, 0.005], (days, 2))
    return pd.DataFrame(100 * np.exp(np.cumsum(steps, axis=0)), index=dates, columns=["EQ", "BD"])


# The last trading days of Jan .. Nov 2021 (the prices end before December does).
MONTH_ENDS = list(np.flatnonzero(np.diff(drifting_market().index.month) != 0))


@pytest.mark.parametrize("rebalance, retarget, trade_rows", [
    ("M", None, [r + 1 for r in MONTH_ENDS]),   # a schedule re-targets: drifted weights come back every month
    ("M", False, [MONTH_ENDS[0] + 1]),          # unless told not to: one purchase, then drift
    (None, None, [1]),                          # signal-driven: only a new target trades
    (None, True, [1, 101, 201]),                # ... unless every position date should re-target
])
@pytest.mark.parametrize("fee, tax", [(0.0, 0.0), (0.001425, 0.003)])
def test_a_schedule_re_targets_like_a_periodic_rebalance(rebalance, retarget, trade_rows, fee, tax):
    prices = drifting_market()
    target = [0.6, 0.4]
    position = pd.DataFrame([target, target, target], index=prices.index[[0, 100, 200]], columns=prices.columns)
    report = norvane.backtest(prices, position, rebalance, retarget=retarget, commission=fee, sell_tax=tax)
    model = periodic_model(prices.to_numpy(), {row: target for row in trade_rows}, fee, tax)
    assert report.equity.to_numpy() == pytest.approx(model, rel=1e-6)
    assert report.params["retarget"] is (retarget if retarget is not None else rebalance is not None)


def test_absolute_weights_keep_the_rest_in_cash():
    # Two stocks at a quarter each, no costs: A gains 10 %, B stays.
    days = pd.bdate_range("2024-01-01", periods=3)
    prices = pd.DataFrame({"A": [10.0, 10.0, 11.0], "B": [5.0, 5.0, 5.0]}, index=days)
    position = pd.DataFrame({"A": [0.25], "B": [0.25]}, index=days[:1])
    absolute = norvane.backtest(prices, position, weights="absolute", commission=0.0, sell_tax=0.0)
    assert absolute.equity.iloc[-1] == pytest.approx(0.5 + 0.25 * 1.1 + 0.25, rel=1e-12)
    assert absolute.weights.sum() == pytest.approx(0.525 / 1.025, rel=1e-12) and absolute.params["weights"] == "absolute"
    relative = norvane.backtest(prices, position, commission=0.0, sell_tax=0.0)
    assert relative.equity.iloc[-1] == pytest.approx(1.05, rel=1e-6)


@pytest.mark.parametrize("stop_from, exits", [("rebalance", 1), ("entry", 0)])
def test_stops_measured_from_the_entry_or_the_last_rebalance(stop_from, exits):
    # A is bought at 10 on Monday the 8th, is at 11 when the next weekly
    # rebalance trades (the 15th), then falls to 10.12: 8 % below the
    # rebalance, 1.2 % above the entry.
    days = pd.bdate_range("2024-01-01", periods=13)
    a = [10.0] * 6 + [11.0] * 5 + [10.12, 10.12]
    prices = pd.DataFrame({"A": a, "B": 20.0}, index=days)
    position = pd.DataFrame({"A": [1.0], "B": [1.0]}, index=days[:1])
    report = norvane.backtest(prices, position, "W", stop_loss=0.05, stop_from=stop_from)
    closed = report.trades[report.trades["stock"] == "A"]["exit_date"].notna()
    assert int(closed.sum()) == exits and report.params["stop_from"] == stop_from


@pytest.mark.parametrize("scale", [1e-8, 1e-7, 3.0])
def test_weights_are_relative_whatever_their_scale(scale):
    prices, position = frames()
    weights = position.astype(float) * [0.7, 0.3]
    reference = norvane.backtest(prices, weights)
    scaled = norvane.backtest(prices, weights * scale)
    assert scaled.equity.to_numpy() == pytest.approx(reference.equity.to_numpy(), rel=1e-12, abs=0)
    assert scaled.weights.sum() == pytest.approx(1.0, abs=1e-2)


def test_a_time_of_day_never_lets_a_signal_trade_on_its_own_day():
    days = pd.bdate_range("2024-01-01", periods=3)
    prices = pd.DataFrame({"A": [1.0, 1.0, 2.0]}, index=days + pd.Timedelta("13:30:00"))
    position = pd.DataFrame({"A": [0.0, 1.0]}, index=days[:2])  # known at the close of day 1
    report = norvane.backtest(prices, position, commission=0, sell_tax=0)
    assert report.equity.iloc[-1] == pytest.approx(1.0, abs=1e-6)  # bought on day 2, at 2.0
    assert report.equity.index.equals(prices.index)
    twice = pd.concat([prices, prices.iloc[[1]].set_axis([days[1] + pd.Timedelta("16:00:00")])]).sort_index()
    with pytest.raises(ValueError, match=r"prices: 2 price rows on 2024-01-02 .*keep one row per day"):
        norvane.backtest(twice, position)


@pytest.mark.parametrize("signal_dates, rebalance", [
    (["2024-03-30", "2024-04-06"], None),  # Saturdays
    (["2024-03-31", "2024-04-07"], None),  # calendar period ends, on Sundays
    (["2024-03-30", "2024-04-06"], "W"),
])
def test_a_row_dated_on_a_non_trading_day_trades_on_the_next_trading_day(signal_dates, rebalance):
    days = pd.bdate_range("2024-03-25", "2024-04-12")
    prices = pd.DataFrame({"A": np.linspace(10, 12, len(days)), "B": 20.0}, index=days)
    position = pd.DataFrame({"A": [True, False], "B": [False, True]}, index=pd.DatetimeIndex(signal_dates))
    report = norvane.backtest(prices, position, rebalance, commission=0, sell_tax=0)
    assert list(report.trades["entry_date"]) == [pd.Timestamp("2024-04-01"), pd.Timestamp("2024-04-08")]
    assert report.equity.index[0] == pd.Timestamp("2024-03-29") and report.equity.iloc[0] == 1.0
    growth = prices["A"]["2024-04-08"] / prices["A"]["2024-04-01"]  # held from Monday to Monday
    assert report.equity.iloc[-1] == pytest.approx(1 + (growth - 1) * X, abs=1e-12)


@pytest.mark.parametrize("keyword", ["commission", "sell_tax"])
def test_a_rate_that_looks_like_a_percentage_warns(keyword):
    prices, position = frames()
    # Shown at the caller's line, whichever call checked the setting.
    for call in (lambda: norvane.backtest(prices, position, **{keyword: 0.1425}),
                 lambda: norvane.sweep(prices, position, {keyword: [0.1425]}, backend="serial")):
        with pytest.warns(UserWarning, match=rf"{keyword}: 0.1425 is a rate of 14.25 %; for 0.1425 % pass 0.001425") as seen:
            call()
        assert [w.filename for w in seen] == [__file__]


def test_excursion_window_longer_than_the_prices_is_refused_and_long_ones_are_fast():
    prices, position = frames()
    with pytest.raises(ValueError, match="excursion_window: 7 days is longer than the 6 price rows"):
        norvane.backtest(prices, position, excursion_window=7)
    report = norvane.backtest(prices, position, excursion_window=6, excursion_step=1)
    assert [c for c in report.trades.columns if c.startswith("return_")] == [f"return_{t}d" for t in range(1, 6)]
