"""Shared fixtures: the installed native modules and unraisable capture."""

import signal
import sys

import pytest

# A shell without job control starts background commands with SIGINT
# ignored, and every process the suite starts would inherit that: the
# Ctrl-C tests need the interpreter's own handler.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test.

    Each entry is (context, exception) where context is the object the
    report names, e.g. "norvane.tessary.record_exit".
    """
    reports = []

    def hook(report):
        reports.append((report.object, report.exc_value))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return reports
