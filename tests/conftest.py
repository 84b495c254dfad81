"""Shared fixtures: every test starts from a fresh emulator and must leave nothing behind."""

import gc

import pytest

import pyvessaruntime.pyvessaruntime as native
from pyvessaruntime import emulator


@pytest.fixture(autouse=True)
def emu():
    """The emulator, reset before the test; afterwards no handle may be live and no contract
    violation may have happened."""
    emulator.reset()
    yield emulator
    gc.collect()
    leaked = {kind: count for kind, count in emulator.live_handles().items() if count}
    violations = emulator.take_contract_violations()
    native._callbackStorage.clear()
    native._logCallbackStorage.clear()
    assert not leaked, f"handles left live: {leaked}"
    assert not violations, f"contract violations: {violations}"


@pytest.fixture
def started(emu):
    """The runtime started for the test and shut down after it."""
    native._startup_vessaruntime()
    yield emu
    native._shutdown_vessaruntime()


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook instead of failing the test."""
    import sys

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(
        (report.exc_type, str(report.exc_value), report.err_msg, report.object)))
    return reports
