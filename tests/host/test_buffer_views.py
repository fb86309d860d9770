"""Typed strided views over the buffer protocol, read one element at a time."""

import array
import itertools

import numpy as np
import pytest

view_element = pytest.importorskip("norvane._testing", reason="a release build has no test-only module").view_element


GRID = np.arange(24.0).reshape(4, 6) * 1.5 - 7.0


def read_only(values):
    values = values.copy()
    values.flags.writeable = False
    return values


@pytest.mark.parametrize(
    "matrix",
    [GRID, np.asfortranarray(GRID), GRID[::2, ::3], GRID[::-1, ::-2], read_only(GRID),
     np.broadcast_to(GRID[1], (3, 6))],
    ids=["c-order", "fortran", "strided", "reversed", "read-only", "zero-stride"],
)
def test_float64_2d_reads_every_layout(matrix):
    rows, columns = matrix.shape
    for i, j in itertools.product(range(-rows, rows), range(-columns, columns)):
        assert view_element("float64_2d", matrix, i, j) == matrix[i, j]


@pytest.mark.parametrize(
    "kind, values",
    [
        ("float64_1d", GRID[:, 1][::-1]),
        ("float64_1d", read_only(GRID[2])),
        ("float64_1d", array.array("d", [0.5, -2.25, 1e300])),
        ("int64_1d", np.array([2**62 + 1, -(2**63), 7], dtype=np.int64)[::-2]),
        ("int64_1d", array.array("q", [3, -4, 2**40])),
        ("object_1d", np.array([object(), "text", None], dtype=object)[::-1]),
    ],
)
def test_1d_views_read_every_element(kind, values):
    for i in range(-len(values), len(values)):
        got = view_element(kind, values, i)
        assert got is values[i] if kind == "object_1d" else got == values[i]


@pytest.mark.parametrize(
    "kind, values, index, axis",
    [
        ("float64_2d", GRID, (4, 0), 0),
        ("float64_2d", GRID, (0, 6), 1),
        ("float64_2d", GRID, (3, -7), 1),
        ("int64_1d", np.zeros(0, dtype=np.int64), (0,), 0),
        ("object_1d", np.array([1], dtype=object), (-2,), 0),
        ("float64_2d", None, (0, 0), 0),  # None is an empty view
    ],
)
def test_out_of_bounds(kind, values, index, axis):
    with pytest.raises(IndexError) as failure:
        view_element(kind, values, *index)
    assert str(failure.value) == f"Out of bounds on buffer access (axis {axis})"


@pytest.mark.parametrize(
    "kind, values, error, message",
    [
        ("float64_1d", np.zeros(2, np.float32), ValueError,
         "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        ("float64_1d", np.zeros(2, complex), ValueError,
         "Buffer dtype mismatch, expected 'float64_t' but got 'complex double'"),
        ("int64_1d", np.zeros(2, np.int32), ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
        ("int64_1d", np.zeros(2), ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
        ("int64_1d", b"12345678", ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'unsigned char'"),
        ("object_1d", np.array(["abc", "de"]), ValueError,
         "Buffer dtype mismatch, expected 'unicode object' but got unparsable format string"),
        ("float64_2d", np.zeros(3), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
        ("object_1d", np.empty((2, 2), object), ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
        ("float64_1d", np.zeros(3, ">f8"), ValueError, None),
        ("int64_1d", np.zeros(3, ">i8"), ValueError, None),
        ("float64_1d", [1.0, 2.0], TypeError, None),
    ],
)
def test_rejected_buffers(kind, values, error, message):
    with pytest.raises(error) as failure:
        view_element(kind, values, 0)
    if message is not None:
        assert str(failure.value) == message


@pytest.mark.parametrize(
    "kind, typecode, fails",
    [("float64_1d", "d", False), ("int64_1d", "q", False), ("float64_2d", "d", True), ("float64_1d", "f", True)],
)
def test_buffer_is_released(kind, typecode, fails):
    # array.array refuses to grow while a buffer of it is still exported.
    values = array.array(typecode, [1, 2])
    args = (0, 0) if kind == "float64_2d" else (0,)
    if fails:
        with pytest.raises(ValueError):
            view_element(kind, values, *args)
    else:
        assert view_element(kind, values, *args) == 1
    values.append(3)
