"""Excursion analytics on a hand-made market whose every excursion is known,
the stop estimate against the engine's own exits, and the HTML section."""

import math

import numpy as np
import pandas as pd
import pytest

import norvane
from norvane import Report, excursions

DAYS = pd.bdate_range("2024-01-01", periods=7)
# Bought at day 1's prices (the day-0 signal), sold at day 5's (the day-4
# signal moves everything into F, which stays open).
PRICES = pd.DataFrame(
    {
        "A": [100, 100, 96, 93, 99, 104, 104],    # dips 7 %, ends +4 %
        "B": [100, 100, 97, 89, 88, 91, 91],      # loser: -12 % low, ends -9 %
        "C": [100, 100, 103, 110, 125, 121, 121],  # never below entry, +25 % high, ends +21 %
        "D": [100, 100, 89, 95, 126, 120, 120],   # -11 % low first, +26 % high later, ends +20 %
        "E": [100, 100, 125, 95, 88, 92, 92],     # +25 % high first, -12 % low later, ends -8 %
        "F": [100.0] * 7,
    },
    index=DAYS,
    dtype=float,
)
POSITION = pd.DataFrame(
    [[True] * 5 + [False], [False] * 5 + [True]], index=DAYS[[0, 4]], columns=PRICES.columns
)


def run(**kwargs):
    return norvane.backtest(PRICES, POSITION, commission=0, sell_tax=0, excursion_window=5, excursion_step=2,
                            **kwargs)


def test_tidy_frame_and_edge_ratio():
    report = run()
    tidy = report.excursions
    assert list(tidy.columns) == ["trade", "offset", "held", "adverse_excursion", "favourable_excursion",
                                  "favourable_before_adverse", "drawdown", "profit_days", "return"]
    stocks = report.trades["stock"]
    # Trades A-E: offsets 2 and 4 and the exit; F (bought on day 5) has no sampled day left.
    assert list(stocks[tidy["trade"]]) == [s for s in "ABCDE" for _ in range(3)] + ["F"]
    assert list(tidy["offset"]) == [2, 4, "exit"] * 5 + ["exit"]
    assert tidy["held"].all()
    e = tidy[stocks[tidy["trade"]].to_numpy() == "E"].set_index("offset")
    # An offset index mixing ints and "exit" is object dtype: rows come out as objects on older pandas.
    np.testing.assert_allclose(e.loc[2, ["adverse_excursion", "favourable_excursion", "return"]].astype(float),
                               [-0.05, 0.25, -0.05])
    np.testing.assert_allclose(
        e.loc["exit", ["adverse_excursion", "favourable_before_adverse", "return"]].astype(float), [-0.12, 0.25, -0.08])

    edge = report.edge_ratio()
    assert list(edge.index) == [2, 4, "exit"] and list(edge["trades"]) == [5, 5, 6]
    # Day 3: favourable 0, 0, 10, 0, 25 %; adverse 7, 11, 0, 11, 5 %. Day 5 (and exit, with F's zeros):
    # favourable 4, 0, 25, 26, 25 %; adverse 7, 12, 0, 11, 12 %.
    np.testing.assert_allclose(edge["mean_favourable"], [0.07, 0.16, 0.8 / 6], rtol=1e-12)
    np.testing.assert_allclose(edge["mean_adverse"], [0.068, 0.084, 0.42 / 6], rtol=1e-12)
    np.testing.assert_allclose(edge["edge_ratio"], [35 / 34, 80 / 42, 80 / 42], rtol=1e-12)

    # A trade held 3 days: its day-4 sample follows the price past the exit.
    short = run().trades.assign(holding_days=3)
    assert list(excursions.tidy_excursions(short)["held"][:3]) == [True, False, True]


@pytest.mark.parametrize(
    "stop, target, stopped, targeted, win_rate, mean",
    [
        # Closed trades A-E return 4, -9, 21, 20, -8 %: winners A, C, D; losers B, E.
        (None, None, (0, 0), (0, 0), 3 / 5, 0.056),
        (0.05, None, (2 / 3, 1), (0, 0), 1 / 5, 0.002),         # A, B, D, E out at -5 %
        (0.1, None, (1 / 3, 1), (0, 0), 2 / 5, -0.01),          # B, D, E out at -10 %
        (None, 0.2, (0, 0), (2 / 3, 1 / 2), 4 / 5, 0.11),       # C, D, E out at +20 %
        (None, 0.3, (0, 0), (0, 0), 3 / 5, 0.056),             # nothing reaches +30 %
        # Both crossed: D's low came first (stopped), E's high came first (targeted).
        (0.1, 0.2, (1 / 3, 1), (2 / 3, 1 / 2), 3 / 5, 0.048),   # A 4, B -10, C 20, D -10, E 20
        (0.05, 0.2, (2 / 3, 1), (2 / 3, 1 / 2), 2 / 5, 0.05),   # A -5, B -5, C 20, D -5, E 20
    ],
)
def test_stop_analysis_by_hand(stop, target, stopped, targeted, win_rate, mean):
    table = run().stop_analysis([] if stop is None else stop, [] if target is None else [target])
    row = table.iloc[-1]
    np.testing.assert_array_equal(row[["stop", "target"]].to_numpy(dtype=float), [stop or math.nan, target or math.nan])
    np.testing.assert_allclose(row[["winners_stopped", "losers_stopped"]].to_numpy(dtype=float), stopped)
    np.testing.assert_allclose(row[["winners_targeted", "losers_targeted"]].to_numpy(dtype=float), targeted)
    assert row["est_win_rate"] == pytest.approx(win_rate)
    assert row["est_avg_return"] == pytest.approx(mean, abs=1e-12)


def test_estimate_names_the_exits_a_rerun_makes():
    # One rebalance period: the growth the engine tests equals the excursion since entry,
    # so the trades the estimate exits are the ones the rerun exits early, on the same side.
    stock_return = run().trades.set_index("stock")["return"]
    for stop, target, early in [(0.1, 0.2, {"B": -1, "C": 1, "D": -1, "E": 1}), (0.05, None, dict.fromkeys("ABDE", -1)),
                                (None, 0.2, dict.fromkeys("CDE", 1))]:
        rerun = run(stop_loss=stop, take_profit=target, touched_exit=True).closed_trades.set_index("stock")
        left = rerun[rerun["exit_date"] < DAYS[5]]
        assert {s: int(np.sign(r)) for s, r in left["return"].items()} == early
        assert stock_return.drop(list(early)).drop("F").equals(rerun["return"].drop(list(early)))


def test_html_section_and_bad_input():
    page = run().to_html()
    assert "Excursions: edge ratio and stop levels" in page and "take profit" in page and "stop loss" in page
    # A report whose trades carry no excursion records says so instead.
    plain = Report(pd.Series([1.0, 1.1], index=DAYS[:2]),
                   pd.DataFrame({"entry_date": DAYS[:1], "exit_date": DAYS[1:2], "holding_days": [1], "return": [0.1]}))
    assert "No closed trades with excursion records" in plain.to_html()
    with pytest.raises(ValueError, match="no column 'adverse_excursion'"):
        plain.edge_ratio()
    report = run()
    for levels, error, message in [((1.5,), ValueError, "below 1"), (("x",), TypeError, "stop_levels"),
                                   ((math.nan,), ValueError, "stop_levels"), ((None,), TypeError, "None")]:
        with pytest.raises(error, match=message):
            report.stop_analysis(levels)
