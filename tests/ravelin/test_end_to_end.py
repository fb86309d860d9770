"""Whole runs of `backtest_` with hand-computed results, and what a run
leaves behind: stock operations, the trade listing and excursion records."""

import traceback
from datetime import datetime

import numpy as np
import pytest

from norvane import ravelin, tessary

DAY = 86_400 * 10**9
BASE = 19_000 * DAY
NAMES = ["AAA", "BBB", "CCC", "DDD"]
FEE, TAX = 0.001425, 0.003
# A single full-weight row invests 1.0 / (1.0 + 1e-7); two equal weights half of that each.
ONE = 1.0 / (1.0 + 1e-7)
HALF = 1.0 / (2.0 + 1e-7)


def dates(rows):
    """Price-row positions (0.5 = halfway between rows 0 and 1) as timestamps."""
    return (BASE + np.round(np.asarray(rows, dtype=float) * DAY)).astype(np.int64)


def arrays(prices, weights, pos_rows, price_columns=None, pos_columns=None):
    prices = np.array(prices, dtype=float)
    prices = prices[:, None] if prices.ndim == 1 else prices
    weights = np.array(weights, dtype=float)
    price_index = dates(range(len(prices)))
    return (prices, price_index, np.array(price_columns or NAMES[:prices.shape[1]], dtype=object),
            weights, dates(pos_rows), np.array(pos_columns or NAMES[:weights.shape[1]], dtype=object), price_index)


def run(prices, weights, pos_rows, price_columns=None, pos_columns=None, **parameters):
    parameters = {"fee_ratio": 0.0, "tax_ratio": 0.0, **parameters}
    return ravelin.backtest_(*arrays(prices, weights, pos_rows, price_columns, pos_columns), **parameters)


def operations():
    """The module's own operations dict (not a copy), after a run of this file."""
    return ravelin.get_trade_stocks(np.array(NAMES, dtype=object), dates(range(20)))[1]


# --- timing of signals --------------------------------------------------------

@pytest.mark.parametrize("second_row, expected_curve, entry_row", [
    # Known between rows 0 and 1: taken at the end of row 0, bought on row 1 at 10.
    (0.5, [1.0, (1 - ONE) + ONE, (1 - ONE) + ONE * 2.0, (1 - ONE) + ONE * 2.0 * 2.0], 1),
    # Dated on row 1: taken at the end of row 1, bought on row 2 at 20.
    (1.0, [1.0, 1.0, (1 - ONE) + ONE, (1 - ONE) + ONE * 2.0], 2),
])
def test_signal_trades_on_the_next_row(second_row, expected_curve, entry_row):
    curve = run([10, 10, 20, 40], [[0.0], [1.0]], [0, second_row])
    assert curve.tolist() == expected_curve
    assert tessary.trades == [[0, entry_row, -1]] and tessary.trade_positions == [ONE]


def test_rows_before_the_first_position_date_are_skipped():
    curve = run([10, 10, 10, 20, 40], [[1.0]], [1.5])
    # Row 2 is the first processed row; it schedules, row 3 buys at 20.
    assert curve.tolist() == [1.0, 1.0, 1.0, (1 - ONE) + ONE, (1 - ONE) + ONE * 2.0]
    assert tessary.trades == [[0, 3, -1]]


def test_run_with_every_row_skipped():
    curve = run([10, 11, 12], [[0.0, 0.5, np.nan]], [7])
    assert curve.tolist() == [1.0, 1.0, 1.0]
    ops = operations()
    assert ops["weights"] == {} and ops["actions"] == {} and list(ops["next_weights"]) == [1, 2]
    assert tessary.trades == [] and ravelin.get_trade_stocks(None, None) == ([], ops)


def test_cursor_applies_only_the_last_row_known_before_the_next_price():
    run(np.full((3, 3), 10.0), np.eye(3), [0, 0.3, 0.6])
    assert tessary.trades == [[2, 1, -1]]
    assert operations()["next_weights"] == {2: 1.0}


@pytest.mark.parametrize("second_weights", [[1.0, 1.0], [1.0, np.nan]])
def test_unchanged_or_nan_weights_are_not_re_executed(second_weights):
    # Stock 0 doubles twice; a rebalance on row 3 would have moved half of it into stock 1.
    curve = run([[10, 10], [10, 10], [20, 10], [20, 10], [40, 10]], [[1.0, 1.0], second_weights], [0, 2.5])
    cash = (1.0 - HALF) - HALF
    assert curve[4] == (cash + HALF * 2.0 * 1.0 * 2.0) + HALF
    assert len(tessary.trades) == 2 and operations()["actions"] == {}
    next_weights = operations()["next_weights"]
    assert all(type(w) is np.float64 for w in next_weights.values())
    assert np.array_equal(list(next_weights.values()), second_weights, equal_nan=True)


# --- marking, stops and NaN prices ---------------------------------------------

def opened_pair():
    """Cash and the two holdings after [1, 1] is bought on row 1 with fee and tax."""
    cash = (1.0 - HALF) - HALF
    return cash, (1 - FEE) * HALF + 0.0, (1 - FEE) * HALF + 0.0


@pytest.mark.parametrize("kind, row2, row3, level", [
    ("stop_loss", 85.0, 80.0, 1 - 0.1),    # -15%: a 0.5 holding leaves at 0.45 before costs
    ("take_profit", 115.0, 120.0, 0.1 + 1),
])
@pytest.mark.parametrize("touched", [True, False])
def test_stop_exits(kind, row2, row3, level, touched):
    prices = [[100, 50], [100, 50], [row2, 50], [row3, 50]]
    curve = run(prices, [[1.0, 1.0]], [0], fee_ratio=FEE, tax_ratio=TAX, touched_exit=touched, **{kind: 0.1})
    cash, held, other = opened_pair()
    assert curve[1] == (cash + held) + other
    marked = held * (np.float64(row2) / 100.0)
    if touched:  # closed on the crossing row, valued at the level itself
        cash = ((1 - FEE) - TAX) * (marked / (np.float64(row2) / 100.0) * level) + cash
        assert curve.tolist()[2:] == [(cash + 0.0) + other] * 2
        assert tessary.trades == [[0, 1, 2], [1, 1, -1]]
        assert operations()["weights"] == {0: 0.0, 1: other / curve[3]}
    else:  # closed on the next row at that row's marked value
        assert curve[2] == (cash + marked) + other
        cash = ((1 - FEE) - TAX) * (marked * (np.float64(row3) / row2)) + cash
        assert curve[3] == cash + other
        assert tessary.trades == [[0, 1, 3], [1, 1, -1]]
        assert operations()["weights"] == {1: other / curve[3]}
    assert tessary.trade_positions == [HALF, HALF]


@pytest.mark.parametrize("prices, last_ratio, actions", [
    ([100, 100, np.nan, 110], 110 / 100, {}),             # NaN row keeps value; next ratio vs last valid price
    ([100, np.nan, 100, 110], 100 / 100 * 110 / 100, {}),  # no price on the rebalance row: row 0's is the reference
    ([100, 100, np.nan, 94], 94 / 100, {0: "sl_tp_exit"}),  # growth is measured from 100, not reset by the NaN
])
def test_nan_prices_keep_value_and_growth(prices, last_ratio, actions):
    curve = run(prices, [[1.0]], [0], stop_loss=0.05)
    assert curve.tolist()[:3] == [1.0, (1 - ONE) + ONE, (1 - ONE) + ONE]
    assert curve[3] == (1 - ONE) + ONE * last_ratio
    assert operations()["actions"] == actions


# A is held beside a flat B and goes 10 -> NaN -> 11; the rebalance on the NaN
# row re-weights A to w, so the move across the gap is worth 0.1 * w.
@pytest.mark.parametrize("second_row, expected", [
    ([0.25, 0.75], 1.025),  # sold down to a quarter
    ([0.75, 0.25], 1.075),  # topped up to three quarters
    ([1.0, 1.0], 1.05),     # re-targeted at a half
])
def test_a_rebalance_inside_a_price_gap_keeps_the_last_valid_price(second_row, expected):
    curve = run([[10, 5], [10, 5], [np.nan, 5], [11, 5]], [[0.5, 0.5], second_row], [0, 1.5])
    assert curve[2] == pytest.approx(1.0, abs=1e-6)
    assert curve[3] == pytest.approx(expected, abs=1e-6)


def test_a_stock_bought_without_a_price_is_bought_at_its_last_known_price():
    # B (priced 8 before the gap) and C (never priced yet) are bought on row 2.
    prices = [[10, 8, np.nan], [10, 8, np.nan], [10, np.nan, np.nan], [10, 8.8, 12], [10, 8.8, 13.2]]
    curve = run(prices, [[1.0, 0, 0], [1.0, 1.0, 1.0]], [0, 1.5])
    third = 1.0 / 3
    assert curve[3] == pytest.approx(1.0 + 0.1 * third, abs=1e-6)  # B from 8; C at cost until its first price
    assert curve[4] == pytest.approx(1.0 + 0.2 * third, abs=1e-6)


@pytest.mark.parametrize("touched, trades, actions", [
    # next-row mode: found on the rebalance row, dropped once the rebalance re-targets A
    (False, [[0, 1, -1], [1, 1, -1]], {}),
    # touched mode: A leaves at the level before the rebalance, which buys it back
    (True, [[0, 1, 2], [1, 1, -1], [0, 2, -1]], {}),
])
def test_a_stop_found_on_a_rebalance_row(touched, trades, actions):
    prices = [[10, 5], [10, 5], [9, 5], [9, 5], [9, 5]]
    curve = run(prices, [[0.5, 0.5], [1.0, 1.0]], [0, 1.5], fee_ratio=FEE, tax_ratio=TAX, stop_loss=0.05,
                touched_exit=touched)
    assert sorted(tessary.trades) == sorted(trades)
    assert curve[3] == curve[2] and curve[4] == curve[2]  # nothing traded after the rebalance
    assert operations()["actions"] == actions


def test_stock_without_price_column_is_priced_from_column_zero():
    curve = run([[10, 5], [10, 5], [20, 5]], [[1.0]], [0], price_columns=["AAA", "BBB"], pos_columns=["ZZZ"],
                tessary_window=2)
    assert curve[2] == (1 - ONE) + ONE * 2.0
    assert tessary.tessary[0].tolist() == [0.0] * 6 + [0.0, 1.0, 0.0, 0.0, 1.0, 1.0] * 2


@pytest.mark.parametrize("price_columns, pos_columns", [
    (["AAA", "BBB"], ["AAA", "AAA"]),  # the same name twice
    (["AAA", "BBB"], ["ZZZ", "AAA"]),  # an unmatched name, priced from column 0, beside the real column-0 stock
])
def test_holdings_sharing_a_price_column_each_follow_the_price(price_columns, pos_columns):
    prices = [[10, 5], [10, 5], [20, 5], [40, 5]]
    costs = {"fee_ratio": FEE, "tax_ratio": TAX}
    alone = run(prices, [[1.0]], [0], price_columns, ["AAA"], **costs)
    shared = run(prices, [[0.5, 0.5]], [0], price_columns, pos_columns, **costs)
    assert np.allclose(shared, alone, rtol=0, atol=1e-9)
    assert abs(alone[-1] - 4.0) < 0.01


# --- stock operations ---------------------------------------------------------

@pytest.mark.parametrize("last_price, weights, expected", [
    (10, [[1, 1, 0], [0, 1, 1]], [(0, "exit"), (2, "enter")]),       # stock 1 only keeps its size: no action
    (8, [[1, 1, 0], [0, 1, 1]], [(0, "sl_tp_exit"), (2, "enter")]),  # the queued stop overrides "exit" in place
    (8, [[1, 1, 0]], [(0, "sl_tp_exit")]),                           # no rebalance due: only the queued exit
])
def test_next_day_actions(last_price, weights, expected):
    prices = [[10, 10, 10], [10, 10, 10], [last_price, 10, 10]]
    run(prices, weights, [0, 2][:len(weights)], stop_loss=0.1)
    assert list(operations()["actions"].items()) == expected


def test_zero_portfolio_value_with_open_book_fails_after_replacing_operations():
    # Fee 1.0 makes stock 0's capped purchase (exactly 1.0) worth nothing, leaving cash at 0.0,
    # and the proceeds of the short in stock 1 vanish too; its price then falls to 0.
    arguments = arrays([[10, 10], [10, 10], [10, 0]], [[2.0, -1.0]], [0])
    run([10, 10], [[1.0]], [0])
    previous = operations()
    with pytest.raises(ZeroDivisionError, match="^float division$") as caught:
        ravelin.backtest_(*arguments, fee_ratio=1.0, tax_ratio=0.0)
    assert "norvane.ravelin.backtest_" in [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert operations() is not previous
    assert operations() == {"actions": {}, "weights": {}, "next_weights": {}}


def test_failed_run_keeps_the_previous_operations():
    run([10, 10, 10], [[1.0]], [0])
    previous = operations()
    # A second position date without a weight row: the rebalance cannot take row 1.
    with pytest.raises(IndexError) as caught:
        run([10, 10, 10], [[1.0]], [0, 0.5])
    assert "norvane.ravelin.backtest_" in [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert operations() is previous and previous["next_weights"] == {0: 1.0}


def test_get_stock_operations_hands_out_shallow_copies():
    run([10, 10, 10], [[1.0, 0.0]], [0])
    first, second = ravelin.get_stock_operations(), ravelin.get_stock_operations()
    assert first is not second and first == second and first is not operations()
    first["extra"] = 1
    assert "extra" not in second and "extra" not in operations()
    assert first["weights"] is second["weights"] is operations()["weights"]


@pytest.mark.parametrize("timestamp", [0, 1_650_000_000_123_456_789, 1.5e18])
def test_ioft_is_local_datetime_of_the_timestamp(timestamp):
    assert ravelin.ioft(timestamp) == datetime.fromtimestamp(timestamp / 1e9)


# --- trade listing and excursion records ---------------------------------------

G1 = 11 / 10 * 1.0
G2 = 9 / 11 * G1
G4 = 12 / 9 * G2  # the NaN on offset 3 is skipped: 12 is compared with 9


def listing_run(close):
    prices = np.full((12, 3), 10.0)
    prices[5:, 2] = [10, 11, 9, np.nan, 12, 12, 12]
    weights, rows = ([[0, 0, 1.0], [0, 0, 0]], [4, 8]) if close else ([[0, 0, 1.0]], [4])
    # The cap makes the entry value exactly 0.25 of the starting equity.
    run(prices, weights, rows, pos_columns=["AAA", "BBB", "CCC"], position_limit=0.25, tessary_window=5,
        tessary_window_step=2)
    return dates(range(12)), np.array(["AAA", "BBB", "CCC"], dtype=object)


@pytest.mark.parametrize("close, expected", [
    (True, lambda idx: ["CCC", idx[5], idx[9], idx[4], idx[8], 0.25, 4, 5, 9]),
    (False, lambda idx: ["CCC", idx[5], -1, idx[4], -1, 0.25, 7, 5, -1]),
])
def test_trade_listing_rows(close, expected):
    idx, pos_columns = listing_run(close)
    rows, ops = ravelin.get_trade_stocks(pos_columns, idx)
    assert rows == [expected(idx)] and ops is operations()
    assert tessary.trades == [[2, 5, 9 if close else -1]] and tessary.trade_positions == [0.25]


def test_excursion_records_of_closed_and_open_trades():
    listing_run(close=True)
    offset2 = [G2 - 1, G1 - 1, G1 - 1, G2 / G1 - 1, 1.0, G2 - 1]
    offset4 = [G2 - 1, G4 - 1, G1 - 1, G2 / G1 - 1, 2.0, G4 - 1]
    # Offsets 0, 2 and 4 of the window, then the exit (row 9, offset 4).
    assert tessary.tessary[0].tolist() == [0.0] * 6 + offset2 + offset4 + offset4
    listing_run(close=False)
    # Still open: the exit group describes the last row (offset 6).
    assert tessary.tessary[0].tolist()[-6:] == [G2 - 1, G4 - 1, G1 - 1, G2 / G1 - 1, 4.0, G4 * 1.0 * 1.0 - 1]


@pytest.mark.parametrize("trade, message", [
    ([7, 5, 9], "index 7 is out of bounds for axis 0 with size 3"),     # element 0, the name, fails first
    ([2, 5, 70], "index 70 is out of bounds for axis 0 with size 12"),  # then the exit date
    ([2, 5, 9], "list index out of range"),                            # then the entry value
])
def test_listing_builds_each_row_element_by_element(trade, message):
    idx, pos_columns = listing_run(close=False)
    tessary.trades[:] = [trade]
    tessary.trade_positions.clear()
    with pytest.raises(IndexError, match=f"^{message}$"):
        ravelin.get_trade_stocks(pos_columns, idx)


def test_listing_of_a_trade_entered_on_the_first_row_has_no_previous_date():
    idx, pos_columns = listing_run(close=False)
    tessary.trades.append([0, 0, 3])
    tessary.trade_positions.append(0.5)
    rows, _ = ravelin.get_trade_stocks(pos_columns, idx)
    assert rows[1] == ["AAA", idx[0], idx[3], -1, idx[2], 0.5, 3, 0, 3]
