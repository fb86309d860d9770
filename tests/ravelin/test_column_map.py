"""Matching stocks to price columns by name, and aligning rebalance dates to price rows."""

import traceback
import unicodedata

import numpy as np
import pytest

from norvane import ravelin

_testing = pytest.importorskip("norvane._testing", reason="a release build has no test-only module")


def objects(*names):
    return np.array(names, dtype=object)


NFC = unicodedata.normalize("NFC", "Caf\u00e9")
NFD = unicodedata.normalize("NFD", "Caf\u00e9")


@pytest.mark.parametrize(
    "price_columns, pos_columns, expected",
    [
        (objects("A", "B", "A"), objects("A"), {0: 2}),  # the later duplicate wins
        (["A", "B"], ["B", "B"], {0: 1, 1: 1}),
        (objects("X", "Y", "Z"), objects("Z", "X"), {0: 2, 1: 0}),
        # unmatched stocks are left out but still counted
        (("a", "B"), ("A", "b", "B", "a"), {2: 1, 3: 0}),
        ([NFC], [NFD, NFC], {1: 0}),
        (["A ", "\u00c5"], ["A", "\u00c5"], {1: 1}),  # no trimming
        (["a\x00b", "a"], ["a", "a\x00b"], {0: 1, 1: 0}),
        (objects(), objects("A"), {}),
        (objects("A"), objects(), {}),
        ([], [], {}),
        (iter(["P", "Q"]), (name for name in ["Q"]), {0: 1}),
    ],
)
def test_map_columns(price_columns, pos_columns, expected):
    assert _testing.map_columns(price_columns, pos_columns) == expected


def test_names_are_keyed_by_their_own_encode():
    class Alias(str):
        def encode(self, encoding):
            assert encoding == "UTF-8"
            return b"B"

    assert _testing.map_columns(["A", "B"], [Alias("A")]) == {0: 1}


@pytest.mark.parametrize(
    "price_columns, pos_columns, kind, message",
    [
        ([1], ["A"], AttributeError, "'int' object has no attribute 'encode'"),
        (["A"], [None], AttributeError, "'NoneType' object has no attribute 'encode'"),
        (objects("A", b"A"), ["A"], AttributeError, "'bytes' object has no attribute 'encode'"),
        (["A"], ["\ud800"], UnicodeEncodeError, None),
        (5, ["A"], TypeError, "'int' object is not iterable"),
    ],
)
def test_map_columns_failures(price_columns, pos_columns, kind, message):
    with pytest.raises(kind) as info:
        _testing.map_columns(price_columns, pos_columns)
    if message is not None:
        assert str(info.value) == message
    assert traceback.extract_tb(info.tb)[-1].name == "norvane.ravelin.map_columns"


def test_column_map_from_dict():
    assert _testing.column_map_from_dict({3: 1, 0: 2}) == {0: 2, 3: 1}
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        _testing.column_map_from_dict([(0, 1)])


DAY = 86_400 * 10**9


def equity(price_values, price_columns, pos_columns):
    index = np.arange(4, dtype=np.int64) * DAY
    weights = np.array([[0.3, 0.7]])
    return ravelin.backtest_(price_values, index, price_columns, weights, index[:1], pos_columns, index[:1])


def test_runs_find_prices_by_name():
    prices = np.array([[10.0, 20.0], [11.0, 18.0], [12.0, 19.0], [9.0, 22.0]])
    aligned = equity(prices, objects("A", "B"), objects("A", "B"))
    # the price table in another order with an extra column gives the same run
    shuffled = np.column_stack([np.full(4, 5.0), prices[:, 1], prices[:, 0]])
    np.testing.assert_array_equal(equity(shuffled, objects("C", "B", "A"), objects("A", "B")), aligned)
    assert not np.array_equal(equity(prices, objects("B", "A"), objects("A", "B")), aligned)


def test_run_fails_with_the_mapping_error():
    prices = np.ones((4, 2))
    with pytest.raises(AttributeError, match="'int' object has no attribute 'encode'") as info:
        equity(prices, objects("A", 7), objects("A", "B"))
    names = [frame.name for frame in traceback.extract_tb(info.tb)]
    assert names[-2:] == ["norvane.ravelin.backtest_", "norvane.ravelin.map_columns"]


def int64(*values):
    return np.array(values, dtype=np.int64)


PRICE_DATES = int64(10, 20, 30, 40)


@pytest.mark.parametrize(
    "price_index, resample, mask",
    [
        (PRICE_DATES, int64(5), [1, 0, 0, 0]),  # before the first price date
        (PRICE_DATES, int64(50), [0, 0, 0, 1]),  # after the last
        (PRICE_DATES, int64(20, 40), [0, 1, 0, 1]),
        (PRICE_DATES, int64(10, 20, 30, 40), [1, 1, 1, 1]),
        (PRICE_DATES, int64(25), [0, 1, 0, 0]),  # between two dates: the earlier row
        (PRICE_DATES, int64(21, 22, 29), [0, 1, 0, 0]),
        (PRICE_DATES, int64(35, 45), [0, 0, 1, 1]),
        (PRICE_DATES, int64(30, 15), [0, 0, 1, 0]),  # the cursor never goes back
        (PRICE_DATES, int64(), [0, 0, 0, 0]),
        (int64(10, 10, 20), int64(10), [0, 1, 0]),  # the last row on or before the date
        (np.repeat(PRICE_DATES, 2)[::2], int64(25), [0, 1, 0, 0]),
        (PRICE_DATES[::-1][::-1], int64(41), [0, 0, 0, 1]),
        (int64(), int64(5), []),  # nothing to mark
        (int64(), int64(), []),
    ],
)
def test_rebalance_mask(price_index, resample, mask):
    assert _testing.rebalance_mask(price_index, resample) == mask
