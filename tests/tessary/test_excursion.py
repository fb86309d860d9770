"""Excursion records of single trades, checked value by value."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvane import tessary

native = pytest.importorskip("norvane._testing", reason="a release build has no test-only module")

NAN = math.nan
Z = [0.0] * 6  # the group at offset 0
U = [-1.0] * 6  # a group never written


def close_trade(matrix, entry_row, exit_row, window, step, columns):
    """One trade of stock 0 from entry_row to exit_row; returns the records."""
    native.start_analysis(matrix, columns, 1, window, step)
    native.record_date(entry_row)
    native.record_entry(0, 1.0)
    native.record_date(exit_row)
    native.record_exit(0)
    return tessary.tessary


def in_column_1(prices):
    # Column 0 holds other prices, so reading the wrong column shows.
    return np.column_stack([np.full(len(prices), 3.0), prices])


def reference(prices, s, x, window, step):
    """The record computed the plain way, same arithmetic order."""
    end = min(max(x, s + window), len(prices) - 1)
    best, worst, worst_step, drawdown, profit, growth_path = [1.0], [1.0], [0], [0.0], [0.0], [1.0]
    prev, growth = prices[s], 1.0
    for i, price in enumerate(prices[s + 1:end + 1]):
        if not math.isnan(price):
            if prev == 0.0:
                raise ZeroDivisionError("float division")
            ratio, prev = price / prev, price
            if not math.isnan(ratio):
                growth = ratio * growth
        best.append(growth if growth > best[i] else best[i])
        lowered = worst[i] > growth
        worst.append(growth if lowered else worst[i])
        worst_step.append(i if lowered else worst_step[i])
        drawdown.append(min(drawdown[i], growth / best[i + 1] - 1))
        profit.append(profit[i] + (growth > 1.0))
        growth_path.append(growth)

    def group(t):
        return [worst[t] - 1, best[t] - 1, best[worst_step[t]] - 1, drawdown[t], profit[t], growth_path[t] - 1]

    record = [-1.0] * 6 * ((window - 1) // step + 2)
    length = len(growth_path)
    for k, t in enumerate(range(0, min(window, length), step)):
        record[6 * k:6 * k + 6] = group(t)
    record[-6:] = group(min(length - 1, x - s) if x >= s else length - 1)
    return record


def test_worked_example():
    prices = [5.0, 10.0, 11.0, 9.0, NAN, 12.0, 12.0, 7.0]
    [record] = close_trade(in_column_1(prices), 1, 3, 5, 2, {0: 1})
    g1 = 11.0 / 10.0
    g2 = 9.0 / 11.0 * g1
    g4 = 12.0 / 9.0 * g2
    at_2 = [g2 - 1, g1 - 1, g1 - 1, g2 / g1 - 1, 1.0, g2 - 1]
    at_4 = [g2 - 1, g4 - 1, g1 - 1, g2 / g1 - 1, 2.0, g4 - 1]
    assert record.dtype == np.float64
    assert record.tolist() == Z + at_2 + at_4 + at_2
    assert at_4 == pytest.approx([-0.1, 0.2, 0.1, 0.9 / 1.1 - 1, 2, 0.2])
    assert tessary.trades == [[0, 1, 3]]


# Powers of two keep every ratio exact. Growth of UP_DOWN from row 0:
# 1, 2, 0.5, 1, 2.
UP_DOWN = [4.0, 8.0, 2.0, 4.0, 8.0]


@pytest.mark.parametrize(
    "prices, s, x, window, step, expected",
    [
        pytest.param(UP_DOWN, 0, 2, 0, 1, [-0.5, 1, 1, -0.75, 1, -0.5], id="window-0-exit-group-only"),
        pytest.param(UP_DOWN, 0, 4, 3, 5, Z + [-0.5, 1, 1, -0.75, 2, 1], id="step-beyond-window"),
        pytest.param(UP_DOWN, 0, 0, 2, 1, Z + [0, 1, 0, 0, 1, 1] + Z, id="exit-on-entry-day"),
        pytest.param(UP_DOWN, 3, 4, 4, 1, Z + [0, 1, 0, 0, 1, 1] + U + U + [0, 1, 0, 0, 1, 1],
                     id="window-past-last-row"),
        pytest.param(UP_DOWN, 1, 0, 1, 1, Z + [-0.75, 0, 0, -0.75, 0, -0.75], id="exit-before-entry"),
        pytest.param([NAN, 4.0, NAN, 2.0, 8.0], 0, 4, 0, 1, [-0.5, 1, 0, -0.5, 1, 1], id="nan-entry-price"),
        pytest.param([0.0, NAN, NAN], 0, 2, 0, 1, Z, id="zero-entry-price-never-divided"),
        pytest.param([8.0, 4.0, 4.0, 2.0], 0, 3, 4, 2, Z + [-0.5, 0, 0, -0.5, 0, -0.5] + [-0.75, 0, 0, -0.75, 0, -0.75],
                     id="never-rising"),
        # Growth 0.5, 2, 0.5: the tie with the worst keeps the first low, so
        # the favourable move before it is 0, not 1.
        pytest.param([4.0, 2.0, 8.0, 2.0], 0, 3, 0, 1, [-0.5, 1, 0, -0.75, 1, -0.5], id="tie-keeps-first-low"),
    ],
)
def test_record_values(prices, s, x, window, step, expected):
    [record] = close_trade(in_column_1(prices), s, x, window, step, {0: 1})
    assert record.tolist() == expected
    assert expected == reference(prices, s, x, window, step)


def test_unmapped_stock_is_read_from_column_0():
    matrix = np.column_stack([UP_DOWN, np.full(5, 3.0)])
    [record] = close_trade(matrix, 0, 2, 0, 1, {1: 1})
    assert record.tolist() == [-0.5, 1, 1, -0.75, 1, -0.5]


@pytest.mark.parametrize(
    "matrix, s, columns, error, message",
    [
        (in_column_1([0.0, NAN, 4.0]), 0, {0: 1}, ZeroDivisionError, "float division"),
        (None, 0, {}, TypeError, "'NoneType' object is not subscriptable"),
        (np.ones((3, 2)), 3, {}, IndexError, "index 3 is out of bounds for axis 0 with size 3"),
        (np.ones((3, 2)), 5, {}, OverflowError, "can't convert negative value to size_t"),
        (np.ones((3, 2)), 0, {0: 4}, IndexError, "index 4 is out of bounds for axis 0 with size 2"),
    ],
    ids=["zero-price", "no-prices", "entry-past-end", "entry-far-past-end", "column-outside"],
)
def test_failed_record_is_reported_and_lists_stay_aligned(unraisable, matrix, s, columns, error, message):
    native.start_analysis(np.ones((3, 2)) if matrix is None else matrix, columns, 2, 0, 1)
    native.record_date(0)
    native.record_entry(1, 0.5)
    native.record_date(2)
    native.record_exit(1)  # stock 1 is unmapped: read from column 0
    if matrix is None:
        tessary.prices = None
    native.record_date(s)
    native.record_entry(0, 1.0)
    native.record_date(s + 2)
    native.record_exit(0)
    assert [(context, type(exc), str(exc)) for context, exc in unraisable] == [
        ("norvane.tessary.record_exit", error, message)
    ]
    assert tessary.trades == [[1, 0, 2]]
    assert len(tessary.trade_positions) == len(tessary.tessary) == 1


@pytest.mark.parametrize("window, step, values", [
    (2**30, 1, 6442450950),           # 6 * (floor((2**30 - 1) / 1) + 2) is above the int range
    (715827884, -1, -4294967286),     # below it: wrapped, it would be a 10-slot record
    (357913945, -1, -2147483652),     # wrapped, a 16 GiB record the fill would touch
])
def test_record_length_outside_the_int_range_is_refused_not_wrapped(unraisable, window, step, values):
    assert close_trade(np.ones((3, 1)), 0, 2, window, step, {0: 0}) == []
    [(context, exc)] = unraisable
    assert context == "norvane.tessary.record_exit" and isinstance(exc, OverflowError)
    assert f"would hold {values} values" in str(exc)


prices_strategy = st.lists(st.one_of(st.floats(0.5, 64.0), st.just(NAN)), min_size=1, max_size=12)


@settings(max_examples=80, deadline=None)
@given(prices=prices_strategy, data=st.data(), window=st.integers(0, 8), step=st.integers(1, 4))
def test_matches_reference(prices, data, window, step):
    s = data.draw(st.integers(0, len(prices) - 1))
    x = data.draw(st.integers(0, len(prices) + 2))
    matrix = np.asfortranarray(in_column_1(prices))
    [record] = close_trade(matrix, s, x, window, step, {0: 1})
    assert record.tolist() == reference(prices, s, x, window, step)
