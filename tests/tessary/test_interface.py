"""The analysis interface as the engine drives it: runs, entries, exits, end."""

import traceback

import numpy as np
import pytest

from norvane import tessary

native = pytest.importorskip("norvane._testing", reason="a release build has no test-only module")

# Every price doubles each row: with window 0 a record is the exit group
# alone and its period return 2**t - 1 tells the offset t it was taken at.
DOUBLING = np.repeat(2.0 ** np.arange(6)[:, None], 4, axis=1)


def period_returns():
    return [record[-1] for record in tessary.tessary]


def test_entries_and_exits_fill_aligned_rows(unraisable):
    native.start_analysis(DOUBLING, {0: 0, 1: 1, 2: 2}, 3, 0, 1)
    native.record_date(1)
    native.record_entry(2, 0.5)
    native.record_date(2)
    native.record_entry(-1, 0.75)  # counts from the end: stock 2 again
    native.record_entry(0, 0.25)
    native.record_exit(0)  # closed on its entry day
    native.record_date(4)
    native.record_exit(2)
    native.record_exit(1)  # never entered: entry row 0
    assert tessary.trades == [[0, 2, 2], [2, 2, 4], [1, 0, 4]]
    assert [type(item) for item in tessary.trades[1]] == [int, np.int64, int]
    assert tessary.trade_positions == [0.25, 0.75, 0.0]
    assert all(type(value) is np.float64 for value in tessary.trade_positions)
    assert period_returns() == [0.0, 3.0, 15.0]
    assert unraisable == []


def test_end_analysis_appends_open_trades_after_closed_ones():
    native.start_analysis(DOUBLING, {}, 4, 0, 1)
    native.record_date(0)
    native.record_entry(3, 0.3)
    native.record_entry(1, 0.1)
    native.record_date(1)
    native.record_entry(0, 0.0)
    native.record_date(2)
    native.record_exit(1)
    native.record_date(3)
    native.record_entry(2, 0.2)
    native.record_exit(3)
    native.record_date(4)
    # The map's values are not what gets recorded: `position` is.
    assert native.end_analysis({2: 9.0, 0: 9.0}) is None
    assert tessary.trades == [[1, 0, 2], [3, 0, 3], [0, 1, -1], [2, 3, -1]]
    assert tessary.trade_positions == [0.1, 0.3, 0.0, 0.2]
    assert period_returns() == [3.0, 7.0, 7.0, 1.0]

    assert native.end_analysis({}) is None
    assert len(tessary.trades) == len(tessary.trade_positions) == len(tessary.tessary) == 4


def test_record_entry_outside_the_arrays_changes_nothing(unraisable):
    native.start_analysis(DOUBLING, {}, 2, 0, 1)
    native.record_date(4)
    native.record_entry(0, 1.5)
    native.record_entry(2, 9.0)
    [(context, error)] = unraisable
    assert context == "norvane.tessary.record_entry"
    assert type(error) is IndexError and str(error) == "index 2 is out of bounds for axis 0 with size 2"
    assert tessary.entry.tolist() == [4, 0] and tessary.position.tolist() == [1.5, 0.0]


@pytest.mark.parametrize("second_prices", [DOUBLING[:3], None], ids=["matrix", "none"])
def test_second_start_empties_the_same_lists(second_prices):
    native.start_analysis(DOUBLING, {}, 2, 0, 1)
    native.record_date(0)
    native.record_entry(1, 2.0)
    native.record_exit(1)
    lists = (tessary.trades, tessary.trade_positions, tessary.tessary)
    old_entry, old_position = tessary.entry, tessary.position
    assert all(len(held) == 1 for held in lists)

    native.start_analysis(second_prices, {}, 3, 0, 1)
    assert tessary.prices is second_prices
    assert (tessary.trades, tessary.trade_positions, tessary.tessary) == ([], [], [])
    assert all(now is held for now, held in zip((tessary.trades, tessary.trade_positions, tessary.tessary), lists))
    assert tessary.entry is not old_entry and tessary.position is not old_position
    assert tessary.entry.tolist() == [0, 0, 0] and tessary.entry.dtype == np.dtype(int)
    assert tessary.position.tolist() == [0.0, 0.0, 0.0] and tessary.position.dtype == np.float64
    assert old_entry.tolist() == [0, 0] and old_position.tolist() == [0.0, 2.0]


@pytest.mark.parametrize(
    "matrix, error, message",
    [
        (np.ones(3), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (np.ones((3, 2), np.float32), ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        (memoryview(np.ones((3, 2))), TypeError, "Cannot convert memoryview to numpy.ndarray"),
    ],
    ids=["1-d", "float32", "not-ndarray"],
)
def test_start_with_bad_matrix_changes_no_state(unraisable, matrix, error, message):
    native.start_analysis(DOUBLING, {}, 2, 2, 1)
    native.record_date(0)
    native.record_entry(0, 1.0)
    native.record_exit(0)
    before = (tessary.prices, tessary.entry, tessary.position, list(tessary.trades))

    native.start_analysis(matrix, {0: 1}, 5, 0, 1)
    assert [(context, type(exc), str(exc)) for context, exc in unraisable] == [
        ("norvane.tessary.start_analysis", error, message)
    ]
    assert before == (tessary.prices, tessary.entry, tessary.position, tessary.trades)
    # Window 2, step 1 and the column map are still in force: three groups,
    # read from column 0.
    native.record_exit(0)
    assert len(tessary.tessary[-1]) == 18


def test_window_step_0_fails_every_record(unraisable):
    native.start_analysis(DOUBLING, {}, 1, 3, 0)
    native.record_date(0)
    native.record_entry(0, 1.0)
    native.record_date(1)
    native.record_exit(0)
    [(context, error)] = unraisable
    assert context == "norvane.tessary.record_exit" and type(error) is ZeroDivisionError

    with pytest.raises(ZeroDivisionError, match="^integer division or modulo by zero$") as failure:
        native.end_analysis({0: 1.0})
    names = [frame.name for frame in traceback.extract_tb(failure.value.__traceback__)]
    assert names[-2:] == ["norvane.tessary.end_analysis", "norvane.tessary.tessary_analysis"]
    assert (tessary.trades, tessary.trade_positions, tessary.tessary) == ([], [], [])


def test_records_outlive_later_runs_and_rebound_arrays_are_the_ones_used():
    native.start_analysis(DOUBLING, {0: 0, 1: 1}, 2, 0, 1)
    native.record_date(1)
    native.record_entry(0, 0.5)
    native.record_date(3)
    native.record_exit(0)
    [first] = tessary.tessary
    kept = first.copy()
    # A new run writes records of its own: the first run's record is untouched.
    native.start_analysis(DOUBLING[::-1].copy(), {0: 0, 1: 1}, 2, 0, 1)
    for day in range(3):
        native.record_date(day)
        native.record_entry(day % 2, 1.0)
        native.record_exit(day % 2)
    assert np.array_equal(first, kept) and period_returns() == [0.0, 0.0, 0.0]
    # Arrays bound to the module in the middle of a run are the ones written and read.
    tessary.entry, tessary.position = np.zeros(2, dtype=int), np.zeros(2)
    native.record_date(2)
    native.record_entry(1, 0.25)
    assert tessary.entry.tolist() == [0, 2] and tessary.position.tolist() == [0.0, 0.25]
    tessary.prices = np.ones((6, 2)) * [[1.0], [1.0], [1.0], [3.0], [3.0], [3.0]]
    native.record_date(4)
    native.record_exit(1)
    assert period_returns()[-1] == 2.0  # 1 -> 3 on the rebound matrix
