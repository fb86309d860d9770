"""Import of the engine module: its namespace, idempotence and the binding of
the analysis module's exported functions and variables."""

import datetime
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

from norvane import ravelin, tessary


def run_fresh(source):
    """Runs `source` in a new interpreter with warnings as errors; returns its stdout."""
    done = subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(source)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0 and done.stderr == "", done.stderr
    return done.stdout


def test_namespace():
    functions = [name for name, value in vars(ravelin).items() if isinstance(value, types.BuiltinFunctionType)]
    assert functions == ["get_stock_operations", "ioft", "backtest_", "get_trade_stocks", "simulate", "cancel_runs"]
    assert all(getattr(ravelin, name).__doc__ is None for name in functions)
    assert ravelin.__doc__ is None and ravelin.__name__ == "norvane.ravelin" and ravelin.__package__ == "norvane"
    assert not hasattr(ravelin, "__path__")
    assert ravelin.org_np is np and ravelin.datetime is datetime
    assert ravelin.tessary is tessary is sys.modules["norvane.tessary"]
    assert ravelin.__test__ == {}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ravelin.get_stock_operations(1), "get_stock_operations() takes no arguments (1 given)"),
        (lambda: ravelin.ioft(), "ioft() takes exactly one argument (0 given)"),
    ],
)
def test_calling_conventions(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).endswith(message)  # newer hosts prefix the module name


def test_fresh_import_and_reimport():
    out = run_fresh(
        """
        import importlib.util, sys
        import norvane
        assert not any(name in sys.modules for name in ("norvane.ravelin", "norvane.tessary"))
        import norvane.ravelin as first
        assert "norvane.tessary" in sys.modules
        assert first.get_stock_operations() == {}
        first.__test__["mark"] = 1
        del sys.modules["norvane.ravelin"]
        import norvane.ravelin as second
        assert second is first and second.__test__ == {"mark": 1}
        spec = importlib.util.find_spec("norvane.ravelin")
        again = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(again)
        assert again is first and again.__test__ == {"mark": 1}
        print("ok")
        """
    )
    assert out == "ok\n"


BREAK_BINDING = """
import ctypes, sys, traceback
import norvane.tessary as tessary

make_capsule = ctypes.pythonapi.PyCapsule_New
make_capsule.restype = ctypes.py_object
make_capsule.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
name = ctypes.create_string_buffer({signature!r})  # must outlive the capsule
capi = tessary.__pyx_capi__
{change}
try:
    import norvane.ravelin
except Exception as error:
    names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
    assert names[-1] == "init norvane.ravelin", names
    assert "norvane.ravelin" not in sys.modules
    print(type(error).__name__, error, sep=": ")
"""

CAPSULE = "make_capsule(ctypes.addressof(name), name, None)"


@pytest.mark.parametrize(
    "signature, change, expected",
    [
        (b"void (long)", f"capi['record_exit'] = {CAPSULE}",
         "TypeError: C function norvane.tessary.record_exit has wrong signature "
         "(expected void (int), got void (long))"),
        # the stored strings are compared byte for byte, spacing included
        (b"void (PyArrayObject *, std::map<int,int>, int, int, int)", f"capi['start_analysis'] = {CAPSULE}",
         "TypeError: C function norvane.tessary.start_analysis has wrong signature "
         "(expected void (PyArrayObject *, std::map<int,int> , int, int, int), "
         "got void (PyArrayObject *, std::map<int,int>, int, int, int))"),
        (b"PyObject *", f"capi['entry'] = {CAPSULE}",
         "TypeError: C variable norvane.tessary.entry has wrong signature "
         "(expected PyArrayObject *, got PyObject *)"),
        (b"", "del capi['record_exit']",
         "ImportError: norvane.tessary does not export expected C function record_exit"),
        (b"", "del capi['position']",
         "ImportError: norvane.tessary does not export expected C variable position"),
        (b"", "del tessary.__pyx_capi__",
         "AttributeError: module 'norvane.tessary' has no attribute '__pyx_capi__'"),
    ],
)
def test_binding_failures(signature, change, expected):
    assert run_fresh(BREAK_BINDING.format(signature=signature, change=change)) == expected + "\n"
