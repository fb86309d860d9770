"""backtest_'s argument contract: parsing, conversions, defaults, messages."""

import traceback

import numpy as np
import pytest

from norvane import ravelin, tessary

DAY = 86_400 * 10**9
NAMES = ("price_values", "price_index", "price_columns", "pos_values", "pos_index", "pos_columns", "resample")


def arrays():
    """Two stocks over six days, rebalanced on days 0 and 3; stops and
    take-profits at 10 % / 20 % trigger on this path."""
    prices = np.array([[10.0, 20.0], [11.0, 19.0], [8.0, 21.0], [9.0, 25.0], [12.0, 18.0], [12.5, 18.0]])
    columns = np.array(["A", "B"], dtype=object)
    pos_index = np.array([0, 3], dtype=np.int64) * DAY
    weights = np.array([[0.5, 0.5], [0.2, 0.8]])
    return [prices, np.arange(6, dtype=np.int64) * DAY, columns, weights, pos_index, columns.copy(), pos_index.copy()]


def run(*args, **kwargs):
    return ravelin.backtest_(*arrays(), *args, **kwargs)


def raised(call):
    """The exception `call` raises and the code names of its traceback."""
    with pytest.raises(Exception) as info:
        call()
    return info.value, [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]


def replaced(index, value):
    values = arrays()
    values[index] = value
    return values


A = arrays()


@pytest.mark.parametrize(
    "args, kwargs, kind, message",
    [
        (A[:3], {}, TypeError, "backtest_() takes at least 7 positional arguments (3 given)"),
        # with keywords, the count is the index of the first missing required parameter
        (A[:3], dict(pos_values=A[3], pos_columns=A[5], resample=A[6]), TypeError,
         "backtest_() takes at least 7 positional arguments (4 given)"),
        ((), {k: v for k, v in zip(NAMES, A) if k != "price_columns"}, TypeError,
         "backtest_() takes at least 7 positional arguments (2 given)"),
        ((*A, *range(9)), {}, TypeError, "backtest_() takes at most 15 positional arguments (16 given)"),
        (A, dict(bogus=1), TypeError, "backtest_() got an unexpected keyword argument 'bogus'"),
        (A, dict(price_values=A[0]), TypeError, "backtest_() got multiple values for keyword argument 'price_values'"),
        ((*A, 0.1), dict(fee_ratio=0.2), TypeError,
         "backtest_() got multiple values for keyword argument 'fee_ratio'"),
        (replaced(6, list(A[6])), {}, TypeError,
         "Argument 'resample' has incorrect type (expected numpy.ndarray, got list)"),
        # arrays are checked in parameter order
        ([*A[:1], list(A[1]), *A[2:6], list(A[6])], {}, TypeError,
         "Argument 'price_index' has incorrect type (expected numpy.ndarray, got list)"),
        (replaced(3, A[3].astype(np.float32)), {}, ValueError,
         "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        (replaced(2, np.array(["A", "B"])), {}, ValueError,
         "Buffer dtype mismatch, expected 'unicode object' but got unparsable format string"),
        (replaced(1, A[1].reshape(1, -1)), {}, ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (replaced(0, A[0][0]), {}, ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (replaced(6, None), {}, TypeError, "'NoneType' object is not iterable"),
        (A, dict(fee_ratio="x"), TypeError, "must be real number, not str"),
        (A, dict(position_limit=None), TypeError, "must be real number, not NoneType"),
        (A, dict(tessary_window="3"), TypeError, "an integer is required"),
        (A, dict(tessary_window=2**31), OverflowError, None),
        # a price column named but missing from the matrix: the last prices are read before the matrix
        (replaced(2, np.array(["X", "A", "B"], dtype=object)), {}, IndexError,
         "Out of bounds on buffer access (axis 0)"),
        # scalars are converted before the arrays are tested
        (replaced(6, [0]), dict(tax_ratio="x"), TypeError, "must be real number, not str"),
    ],
)
def test_argument_failures(args, kwargs, kind, message):
    error, names = raised(lambda: ravelin.backtest_(*args, **kwargs))
    assert type(error) is kind
    if message is not None:
        assert str(error) == message
    assert names[-1] == "norvane.ravelin.backtest_"


class Boom(Exception):
    pass


class Refusing:
    def __float__(self):
        raise Boom("no float")

    def __int__(self):
        raise Boom("no int")

    def __bool__(self):
        raise Boom("no truth")


@pytest.mark.parametrize("name", ["fee_ratio", "stop_loss", "tessary_window", "tessary_window_step", "touched_exit"])
def test_conversion_errors_propagate_unchanged(name):
    error, names = raised(lambda: run(**{name: Refusing()}))
    assert type(error) is Boom and names[-2] == "norvane.ravelin.backtest_" and names[-1].startswith("__")


def test_defaults_match_explicit_values():
    implicit = run()
    records = list(tessary.tessary)
    np.testing.assert_array_equal(implicit, run(0.001425, 0.003, -np.inf, np.inf, False, 1.0, 0, 1))
    np.testing.assert_array_equal(np.concatenate(records), np.concatenate(tessary.tessary))
    # every array by keyword, in scrambled order
    np.testing.assert_array_equal(implicit, ravelin.backtest_(**dict(reversed(list(zip(NAMES, arrays()))))))
    assert not np.array_equal(implicit, run(fee_ratio=0.0))


@pytest.mark.parametrize("name, level", [("stop_loss", 0.1), ("take_profit", 0.2)])
def test_only_the_magnitude_of_exit_levels_counts(name, level):
    positive, negative = run(**{name: level}), run(**{name: -level})
    np.testing.assert_array_equal(positive, negative)
    assert not np.array_equal(positive, run())


@pytest.mark.parametrize("truthy, falsy", [(1, 0), ("x", ""), ([0], []), (np.float64(2.0), None)])
def test_touched_exit_takes_truth_value(truthy, falsy):
    touched = run(take_profit=0.2, touched_exit=True)
    np.testing.assert_array_equal(run(take_profit=0.2, touched_exit=truthy), touched)
    np.testing.assert_array_equal(run(take_profit=0.2, touched_exit=falsy), run(take_profit=0.2))
    assert not np.array_equal(touched, run(take_profit=0.2))


def test_float_windows_truncate_toward_zero():
    def record_lengths(window, step=1):
        run(tessary_window=window, tessary_window_step=step)
        return [len(record) for record in tessary.tessary]

    assert record_lengths(2.9) == record_lengths(2) != record_lengths(3) == record_lengths(3.999)
    assert record_lengths(4, 2.9) == record_lengths(4, 2)


def test_strided_and_read_only_arrays_are_accepted():
    expected = run()
    values = arrays()
    values[0] = np.asfortranarray(np.repeat(values[0], 2, axis=1))[:, ::2]
    values[3] = np.repeat(values[3], 3, axis=1)[:, ::3]
    values[1] = np.repeat(values[1], 2)[::2]
    values[2] = np.array(["B", "A"], dtype=object)[::-1]
    assert not values[0].flags.c_contiguous and not values[3].flags.contiguous
    np.testing.assert_array_equal(ravelin.backtest_(*values), expected)
    for array in values:
        array.setflags(write=False)
    np.testing.assert_array_equal(ravelin.backtest_(*values), expected)
