"""set_position and rebalance: cash and book arithmetic, analysis hooks."""

import math

import numpy as np
import pytest

from norvane import tessary

_testing = pytest.importorskip("norvane._testing", reason="a release build has no test-only module")


FEE, TAX = 0.001425, 0.003
ROW = 2  # the day row reported before each trade
NO_HOOK = ({}, [])


def start(stocks=5):
    _testing.start_analysis(np.ones((4, stocks)), {}, stocks, 0, 1)
    _testing.record_date(ROW)


def hooks():
    """({stock: target} entered, [stocks exited]) as the analysis module recorded them."""
    entered = {int(s): float(tessary.position[s]) for s in np.flatnonzero(tessary.entry == ROW)}
    return entered, [trade[0] for trade in tessary.trades if trade[2] == ROW]


def closed(value, cash):
    return ((1 - FEE) - TAX) * value + cash


@pytest.mark.parametrize(
    "book, target, cash, flags, new_cash, new_book, hook",
    [
        # open from an empty book
        ({}, 0.5, 1.0, (), 0.5, {3: 0.4992875}, ({3: 0.5}, [])),
        # top up: the fee keeps the value below the target
        ({3: 0.4992875}, 0.5, 0.5, (), 0.4992875, {3: 0.4999989846875}, NO_HOOK),
        # reduce: the value lands exactly on the target
        ({3: 0.4992875}, 0.2, 0.5, (), 0.7979631528125, {3: 0.2}, NO_HOOK),
        # close keeps a 0.0 entry, or erases it; other stocks untouched
        ({1: 0.25, 3: 0.4992875}, 0.0, 0.5, (), 0.9970781528125, {1: 0.25, 3: 0.0}, ({}, [3])),
        ({3: 0.4992875}, 0.0, 0.5, (True, True), 0.9970781528125, {}, ({}, [3])),
        # the exit is reported from the book's contents, whatever check_held says
        ({3: 0.4992875}, 0.0, 0.5, (False, True), 0.9970781528125, {}, ({}, [3])),
        # closing a stock not held
        ({}, 0.0, 0.5, (), 0.5, {}, NO_HOOK),
        ({}, 0.0, 0.5, (False,), 0.5, {3: 0.0}, NO_HOOK),
        ({}, 0.0, 0.5, (False, True), 0.5, {}, NO_HOOK),
        # treated as held without an entry: still an entry for the analysis
        ({}, 0.5, 1.0, (False,), 0.5, {3: 0.4992875}, ({3: 0.5}, [])),
        # an entry kept at 0.0 is opened again
        ({3: 0.0}, 0.3, 0.5, (), 0.5 - 0.3, {3: (1 - FEE) * 0.3 + 0.0}, ({3: 0.3}, [])),
        # shorts: opened through the sell branch, closed without record_exit
        ({}, -0.4, 0.5, (True, True), closed(0.4, 0.5), {3: -0.4}, ({3: -0.4}, [])),
        ({3: -0.4}, 0.0, 0.5, (), closed(-0.4, 0.5), {3: 0.0}, NO_HOOK),
        # target equal to the value: nothing moves, erase or not
        ({3: -0.4}, -0.4, 0.5, (True, True), 0.5, {3: -0.4}, NO_HOOK),
        ({3: 0.2}, 0.2, 0.5, (True, True), 0.5, {3: 0.2}, NO_HOOK),
    ],
)
def test_set_position(book, target, cash, flags, new_cash, new_book, hook):
    start()
    assert _testing.set_position(book, 3, target, cash, FEE, TAX, *flags) == (new_cash, new_book)
    assert hooks() == hook


T1 = 0.4999999750000013  # 1 / 2.0000001
T2 = 1.0 / (1.0 + 1e-7)
T3 = 0.99999950000025  # 0.2 / 0.2000001


@pytest.mark.parametrize(
    "book, weights, cash, costs, limit, new_cash, new_book, hook",
    [
        ({}, [1, 1], 1.0, (0, 0), 1.0, (1.0 - T1) - T1, {0: T1, 1: T1}, ({0: T1, 1: T1}, [])),
        ({}, [0.2, 0], 1.0, (0, 0), 1.0, 1.0 - T3, {0: T3}, ({0: T3}, [])),
        ({}, [0.2, 0], 1.0, (0, 0), 0.5, 0.5, {0: 0.5}, ({0: 0.5}, [])),
        # zero weights close and erase, in index order
        ({0: 0.3, 1: 0.4}, [0, 0], 1.0, (0, 0), 1.0, (1.0 + 0.3) + 0.4, {}, ({}, [0, 1])),
        # the cap is an upper bound only; s = 0 makes the scale 1e7
        ({}, [1, -1], 1.0, (0, 0), 0.3, (1.0 - 0.3) + 1e7, {0: 0.3, 1: -1e7}, ({0: 0.3, 1: -1e7}, [])),
        # holdings beyond the row count in the equity and stay untouched
        ({5: 0.2}, [1.0], 0.8, (0, 0), 1.0, 0.8 - T2, {0: T2, 5: 0.2}, ({0: T2}, [])),
        # a negative limit caps every target, zero weights too: all three are shorted to it
        ({}, [0.5, 0, 0.5], 1.0, (0, 0), -0.1, ((1.0 + 0.1) + 0.1) + 0.1, {0: -0.1, 1: -0.1, 2: -0.1},
         ({0: -0.1, 1: -0.1, 2: -0.1}, [])),
        # stock 0 buys before stock 1 sells: cash dips below zero in between
        ({1: 0.5}, [1, 0], 0.5, (FEE, TAX), 1.0, closed(0.5, 0.5 - T2), {0: (1 - FEE) * T2 + 0.0}, ({0: T2}, [1])),
    ],
)
def test_rebalance(book, weights, cash, costs, limit, new_cash, new_book, hook):
    start(6)
    result = _testing.rebalance(book, np.array(weights, dtype=float), cash, *costs, limit)
    assert result == (new_cash, new_book)
    assert hooks() == hook


def test_rebalance_nan_weight_poisons_everything():
    start()
    cash, book = _testing.rebalance({}, np.array([1.0, np.nan]), 1.0, 0.0, 0.0, 1.0)
    assert math.isnan(cash) and sorted(book) == [0, 1] and all(map(math.isnan, book.values()))


def awkward_rows():
    rng = np.random.default_rng(20240611)
    magnitudes = 10.0 ** rng.integers(-9, 9, 30_000)
    weights = rng.standard_normal(30_000) * magnitudes
    matrix = weights.reshape(6_000, 5)
    return {
        "long": weights[:20_000],
        "strided": weights[::3],
        "column": matrix[:, 2],
        "reversed": weights[:12_345][::-1],
    }


@pytest.mark.parametrize("name", ["long", "strided", "column", "reversed"])
def test_rebalance_scales_by_the_arrays_own_sum(name):
    weights = awkward_rows()[name]
    naive = 0.0
    for w in weights:
        naive += w
    assert naive != weights.sum()  # the row does tell the two sums apart
    _testing.start_analysis(np.ones((1, weights.size)), {}, weights.size, 0, 1)
    cash, book = _testing.rebalance({}, weights, 1.0, 0.0, 0.0, np.inf)
    expected = weights * (1.0 / (weights.sum() + 1e-7))
    got = np.array([book[i] for i in range(weights.size)])
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize(
    "weights, kind, message",
    [
        (np.ones((2, 2)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (None, AttributeError, "'NoneType' object has no attribute 'sum'"),
        (np.ones(2, dtype=np.float32), ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    ],
)
def test_rebalance_reports_bad_weights(unraisable, capsys, weights, kind, message):
    start()
    assert _testing.rebalance({0: 0.3}, weights, 0.7, FEE, TAX, 1.0) == (0.0, {0: 0.3})
    [(context, error)] = unraisable
    assert context == "norvane.ravelin.rebalance"
    assert type(error) is kind and str(error) == message
    assert message in capsys.readouterr().err
    assert hooks() == NO_HOOK


def test_system_exit_inside_rebalance_is_reported_not_obeyed(unraisable):
    # Printing a SystemExit the usual way would end the process.
    class ExitingSum(np.ndarray):
        def sum(self, *args, **kwargs):
            raise SystemExit(3)

    weights = np.ones(2).view(ExitingSum)
    assert _testing.rebalance({}, weights, 1.0, 0.0, 0.0, 1.0) == (0.0, {})
    [(context, error)] = unraisable
    assert context == "norvane.ravelin.rebalance" and isinstance(error, SystemExit)
