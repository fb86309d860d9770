"""Import of norvane.tessary: initial state, export table, typed attributes."""

import ctypes
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from norvane import tessary

native = pytest.importorskip("norvane._testing", reason="a release build has no test-only module")

_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def test_fresh_import_state_and_reimport():
    # A fresh interpreter, so nothing has touched the module state yet.
    script = textwrap.dedent("""
        import importlib, sys
        import numpy as np
        import norvane.tessary as t

        assert t.__name__ == "norvane.tessary"
        assert t.prices.shape == (0, 0) and t.prices.dtype == np.float64
        assert t.entry.shape == (0,) and t.entry.dtype == np.dtype(int)
        assert t.position.shape == (0,) and t.position.dtype == np.float64
        assert (t.trades, t.trade_positions, t.tessary) == ([], [], [])
        assert t.trades is not t.trade_positions is not t.tessary
        assert t.__test__ == {} and t.org_np is np

        assert importlib.import_module("norvane.tessary") is t
        # Even through the import machinery again, the exec step does not
        # rerun: the state survives.
        t.trades.append("kept")
        del sys.modules["norvane.tessary"]
        again = importlib.import_module("norvane.tessary")
        assert again is t and again.trades == ["kept"]
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"


EXPORTS = {
    "entry": b"PyArrayObject *",
    "position": b"PyArrayObject *",
    "start_analysis": b"void (PyArrayObject *, std::map<int,int> , int, int, int)",
    "record_date": b"void (int)",
    "record_entry": b"void (int, double)",
    "record_exit": b"void (int)",
    "end_analysis": b"PyObject *(std::map<int,double>  &)",
}


def test_export_table_keys_and_capsule_names():
    table = tessary.__pyx_capi__
    assert type(table) is dict
    assert list(table) == list(EXPORTS)
    assert {key: _capsule_name(capsule) for key, capsule in table.items()} == EXPORTS


@pytest.mark.parametrize("name", ["entry", "position"])
def test_exported_variable_points_at_the_bound_array(name):
    # The capsule holds the variable's address, so it follows each rebinding.
    address = _capsule_pointer(tessary.__pyx_capi__[name], EXPORTS[name])

    def bound():
        return ctypes.c_void_p.from_address(address).value

    native.start_analysis(np.zeros((1, 1)), {}, 3, 1, 1)
    first = getattr(tessary, name)
    assert bound() == id(first)
    native.start_analysis(np.zeros((1, 1)), {}, 2, 1, 1)
    assert getattr(tessary, name) is not first
    assert bound() == id(getattr(tessary, name))


@pytest.mark.parametrize("name", ["prices", "entry", "position"])
def test_typed_attribute_rejects_non_arrays_accepts_none(name):
    native.start_analysis(np.zeros((1, 1)), {}, 2, 1, 1)
    before = getattr(tessary, name)
    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy\.ndarray$"):
        setattr(tessary, name, [1.0])
    assert getattr(tessary, name) is before
    try:
        setattr(tessary, name, None)
        assert getattr(tessary, name) is None
    finally:
        native.start_analysis(np.zeros((1, 1)), {}, 2, 1, 1)


def test_typed_attributes_are_the_native_variables():
    native.start_analysis(np.zeros((3, 1)), {}, 2, 1, 1)
    # Arrays bound from Python are the ones the native side writes into.
    entries, values = np.full(4, 7), np.zeros(4)
    tessary.entry, tessary.position = entries, values
    native.record_date(2)
    native.record_entry(3, 0.25)
    assert tessary.entry is entries and entries.tolist() == [7, 7, 7, 2]
    assert tessary.position is values and values.tolist() == [0, 0, 0, 0.25]
    native.record_exit(3)
    assert tessary.trades == [[3, 2, 2]]
