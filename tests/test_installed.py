"""The tests must exercise the installed extensions, not a source tree."""

import ast
import os
import pathlib
import sysconfig
import types

import pytest

from norvane import ravelin, tessary


def test_extensions_come_from_the_installation():
    # A separate installation (such as the sanitizer build) names itself
    # through NORVANE_EXPECT_FROM; otherwise it is site-packages.
    expected = os.environ.get("NORVANE_EXPECT_FROM") or sysconfig.get_paths()["purelib"]
    site = pathlib.Path(expected).resolve()
    for module in (ravelin, tessary):
        assert pathlib.Path(module.__file__).resolve().is_relative_to(site)


def test_package_namespace_is_the_public_api():
    import norvane

    norvane.backtest, norvane.sweep  # loading submodules must not add to the namespace
    assert [name for name in dir(norvane) if not name.startswith("_")] == sorted(norvane.__all__)
    # Importing a submodule binds it on the package: one named like a public
    # function would replace that function for every later caller.
    package = pathlib.Path(norvane.__file__).parent
    assert not [name for name in norvane.__all__ if name.islower() and (package / f"{name}.py").exists()]


@pytest.mark.parametrize("module", [ravelin, tessary])
def test_stubs_are_installed_and_name_what_the_module_has(module):
    # Editors and type checkers see the stub, not the module: a function or
    # attribute the stub names must exist, and every native function must be named.
    stub = pathlib.Path(module.__file__).parent / f"{module.__name__.rsplit('.', 1)[1]}.pyi"
    tree = ast.parse(stub.read_text())
    functions = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    variables = {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign) and node.value is None}
    native = {name for name, value in vars(module).items() if isinstance(value, types.BuiltinFunctionType)}
    assert functions == native
    assert all(hasattr(module, name) for name in variables)
    assert (stub.parent / "py.typed").exists() and (stub.parent / "__init__.pyi").exists()
