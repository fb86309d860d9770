"""Seeded random markets run through the engine (both entries) and the slow
Python model; every result must agree bit for bit."""

import math

import numpy as np
import pytest

import slow_reference
from norvane import ravelin, tessary

DAY = 86_400 * 10**9


def random_market(seed, days=70, nan_share=0.08, nan_weights=False):
    rng = np.random.default_rng(seed)
    price_columns = np.array(["AA", "BB", "CC", "DD", "EE"], dtype=object)
    steps = rng.normal(0.0, 0.035, size=(days, price_columns.size))
    price_values = 50 * np.exp(np.cumsum(steps, axis=0))
    price_values[rng.random(price_values.shape) < nan_share] = np.nan
    price_index = (np.arange(days, dtype=np.int64) + 10_000) * DAY

    # Out of price order, one name with no price column (priced from column 0).
    pos_columns = np.array(["CC", "AA", "ZZ", "EE", "BB"], dtype=object)
    rows = 14
    # Dates fall on, between and before price dates; some coincide.
    offsets = rng.integers(-3, days, size=rows) * DAY + rng.choice([0, DAY // 2], size=rows)
    offsets[rng.integers(1, rows)] = offsets[rng.integers(1, rows)]
    pos_index = np.sort(price_index[0] + offsets).astype(np.int64)
    pos_index[-1] = price_index[-1] + DAY // 2  # after the last price: only the last row's cursor takes it
    pos_values = np.round(rng.random((rows, pos_columns.size)), 1)
    pos_values[rng.random(pos_values.shape) < 0.3] = 0.0
    pos_values[rows // 2] = pos_values[rows // 2 - 1]  # identical consecutive rows
    pos_values[3, 4] = -0.4  # a short
    if nan_weights:
        pos_values[[rows - 4, rows - 1], 1] = np.nan
    resample = rng.choice(price_index, size=days // 3, replace=False) + rng.choice([0, DAY // 3], size=days // 3)
    # The last date is a rebalance date: the next day's actions get filled.
    resample = np.sort(np.append(resample, price_index[-1])).astype(np.int64)
    return price_values, price_index, price_columns, pos_values, pos_index, pos_columns, resample


def assert_same_values(native, expected):
    assert list(native) == list(expected)
    for key in expected:
        a, b = native[key], expected[key]
        assert type(a) is type(b)
        assert (math.isnan(a) and math.isnan(b)) or a == b, key


def assert_matches_reference(arrays, **parameters):
    curve = ravelin.backtest_(*arrays, **parameters)
    want_curve, want_ops, want_trades, want_positions, want_records = slow_reference.backtest(*arrays, **parameters)
    assert np.array_equal(curve, want_curve, equal_nan=True)

    operations = ravelin.get_stock_operations()
    assert list(operations) == ["actions", "weights", "next_weights"]
    assert list(operations["actions"].items()) == list(want_ops["actions"].items())
    assert_same_values(operations["weights"], want_ops["weights"])
    assert_same_values(operations["next_weights"], want_ops["next_weights"])

    assert tessary.trades == want_trades
    assert np.array_equal(np.array(tessary.trade_positions, dtype=float), np.array(want_positions), equal_nan=True)
    assert len(tessary.tessary) == len(want_records)
    for record, want in zip(tessary.tessary, want_records):
        assert np.array_equal(record, want, equal_nan=True)
    assert_lean_entry_matches(arrays, parameters, want_curve, want_ops, want_trades, want_positions, want_records)
    return curve, want_trades


def lean_arguments(price_values, price_index, price_columns, pos_values, pos_index, pos_columns, resample):
    """simulate's arguments for backtest_'s: a name without a price column is priced from column 0."""
    column_of = {name: k for k, name in enumerate(price_columns)}
    stock_columns = np.array([column_of.get(name, 0) for name in pos_columns], dtype=np.int64)
    sums = np.array([row.sum() for row in pos_values])
    return price_values, price_index, stock_columns, pos_values, pos_index, sums, resample


def assert_lean_entry_matches(arrays, parameters, curve, operations, trades, positions, records):
    got = ravelin.simulate(*lean_arguments(*arrays), **parameters)
    assert np.array_equal(got["equity"], curve, equal_nan=True)
    assert np.column_stack([got["trade_stock"], got["trade_entry_row"], got["trade_exit_row"]]).tolist() == \
        [list(t) for t in trades]
    assert np.array_equal(got["trade_entry_value"], np.array(positions, dtype=float), equal_nan=True)
    assert np.array_equal(got["records"], np.array(records).reshape(got["records"].shape), equal_nan=True)
    names = ["enter", "exit", "sl_tp_exit"]
    assert [(s, names[a]) for s, a in zip(got["action_stock"].tolist(), got["action"])] == \
        list(operations["actions"].items())
    for key, stocks, values in [("weights", "weight_stock", "weight"), ("next_weights", "next_weight_stock",
                                                                       "next_weight")]:
        assert got[stocks].tolist() == list(operations[key])
        assert np.array_equal(got[values], np.array(list(operations[key].values()), dtype=float), equal_nan=True)


CASES = [
    pytest.param(1, {}, id="defaults"),
    pytest.param(2, dict(stop_loss=0.06, take_profit=0.08, tessary_window=5, tessary_window_step=2), id="next-row-stops"),
    pytest.param(3, dict(stop_loss=-0.05, take_profit=0.07, touched_exit=True, tessary_window=10, tessary_window_step=3),
                 id="touched-stops"),
    pytest.param(4, dict(fee_ratio=0.0, tax_ratio=0.0, position_limit=0.3, stop_loss=0.1, touched_exit=1), id="capped"),
    pytest.param(5, dict(take_profit=0.05, tessary_window=7, tessary_window_step=7), id="take-profit-only"),
    pytest.param(6, dict(stop_loss=0.04, take_profit=0.04, touched_exit=True, tessary_window=3), id="tight-touched"),
]


@pytest.mark.parametrize("seed, parameters", CASES)
def test_random_market_matches_reference(seed, parameters):
    curve, trades = assert_matches_reference(random_market(seed), **parameters)
    assert len(trades) > 0 and curve[-1] != 1.0  # the scenario really trades


@pytest.mark.parametrize("touched", [False, True])
def test_heavy_nan_prices_and_nan_weights(touched):
    arrays = random_market(11, nan_share=0.35, nan_weights=True)
    assert_matches_reference(arrays, stop_loss=0.05, take_profit=0.05, touched_exit=touched, tessary_window=6,
                             tessary_window_step=2)


def test_trade_listing_matches_reference_trades():
    arrays = random_market(7)
    price_index, pos_columns = arrays[1], arrays[5]
    _, trades = assert_matches_reference(arrays, stop_loss=0.05, touched_exit=True)
    rows, _ = ravelin.get_trade_stocks(pos_columns, price_index)
    assert [(r[0], r[7], r[8]) for r in rows] == [(pos_columns[s], e, x) for s, e, x in trades]
    for row in rows:
        days = (row[8] if row[8] != -1 else len(price_index)) - row[7]
        assert row[6] == days and row[1] == price_index[row[7]]
