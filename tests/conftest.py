"""Shared fixtures: the installed native modules and unraisable capture."""

import sys

import pytest


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
