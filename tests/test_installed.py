"""The tests must exercise the installed extensions, not a source tree."""

import os
import pathlib
import sysconfig

from norvane import ravelin, tessary


def test_extensions_come_from_the_installation():
    # A separate installation (such as the sanitizer build) names itself
    # through NORVANE_EXPECT_FROM; otherwise it is site-packages.
    expected = os.environ.get("NORVANE_EXPECT_FROM") or sysconfig.get_paths()["purelib"]
    site = pathlib.Path(expected).resolve()
    for module in (ravelin, tessary):
        assert pathlib.Path(module.__file__).resolve().is_relative_to(site)
