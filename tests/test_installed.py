"""The tests must exercise the installed extensions, not a source tree."""

import pathlib
import sysconfig

from norvane import ravelin, tessary


def test_extensions_come_from_the_installation():
    site = pathlib.Path(sysconfig.get_paths()["purelib"]).resolve()
    for module in (ravelin, tessary):
        assert pathlib.Path(module.__file__).resolve().is_relative_to(site)
