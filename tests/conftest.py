"""Shared fixtures: every test starts from a fresh emulator and must leave nothing behind."""

import gc
import importlib.util
import os
import sys

# The suite runs against the emulator, also with the package's pytest plugin turned off; the
# processes the tests start inherit the choice.
os.environ.setdefault("PYVESSARUNTIME_RUNTIME", "emulator")

import pytest

import pyvessaruntime.pyvessaruntime as native
from pyvessaruntime import emulator_internals as emulator
from runtime_abi import lib as runtime

# A test past its time limit ends the run and is named (tests/time_limit.py).
pytest_plugins = ["time_limit"]

# A child forked from a process with AddressSanitizer's threads may find its allocator's lock held
# by a thread that did not follow (it hangs about every other run), so the fork tests run only
# uninstrumented.
needs_fork = pytest.mark.skipif(
    not hasattr(os, "fork") or "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the platform has no fork, or AddressSanitizer is loaded, whose allocator a forked "
           "child of a threaded process may find locked")

# The subinterpreter tests create interpreters through the `_interpreters` module, which CPython
# has from 3.13 on.
HAS_SUBINTERPRETERS = importlib.util.find_spec("_interpreters") is not None
NO_SUBINTERPRETERS = "this CPython has no _interpreters module to create subinterpreters with"
needs_subinterpreters = pytest.mark.skipif(not HAS_SUBINTERPRETERS, reason=NO_SUBINTERPRETERS)

KEEPS_CALLBACK_RECORDS = "keeps_callback_records"


def _retry_wine_process_creation():
    """Wine's CreateProcess fails now and then with ERROR_INTERNAL_ERROR (1359) when its server
    is busy, for a command that starts on the next try; Windows gives that error for no valid
    command. Under Wine, a process the tests start is tried once more after it."""
    import ctypes
    import subprocess
    if not hasattr(ctypes.WinDLL("ntdll"), "wine_get_version"):
        return

    class PopenTriedAgainAfterWineFault(subprocess.Popen):
        def __init__(self, *args, **kwargs):
            try:
                super().__init__(*args, **kwargs)
            except OSError as error:
                if getattr(error, "winerror", None) != 1359:
                    raise
                # The failed attempt closed the pipes it made; this one makes its own.
                super().__init__(*args, **kwargs)

    subprocess.Popen = PopenTriedAgainAfterWineFault


if sys.platform == "win32":
    _retry_wine_process_creation()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", f"{KEEPS_CALLBACK_RECORDS}: the test leaves callback records of starts or "
        "registrations the runtime refused (the native module keeps those by design)")


@pytest.fixture(autouse=True)
def emu(request):
    """The emulator, reset before the test. Afterwards operations the test left pending complete
    (with an error result), and then no handle may be live, no contract violation may have
    happened and no callback record may be left."""
    emulator.reset()
    # What is alive as the test begins outlives it (pytest's own objects, tens of thousands):
    # frozen, it is left out of the collections below and in the tests, which would otherwise
    # scan it every time.
    gc.freeze()
    yield emulator
    # Starts and log routings of the typed layer, which outlive one another, must not outlive
    # the test; the layer forgets them, so the next test starts clean.
    layer = sys.modules.get("pyvessaruntime.client")
    routings = sys.modules.get("pyvessaruntime.log_bridge")
    # A start a client's first call made is the layer's own, ended here like the runtime.
    left_running = bool(layer and layer._starts > layer._started_on_first_use)
    left_routings = list(routings._open_routings) if routings else []
    if layer:
        layer._forget_starts()
    if routings:
        routings._open_routings.clear()
        routings._pii_enabled = False
    # The raw shut-down, not the module's: that one would release log registrations the test
    # left behind, which must show up as live handles instead.
    if emulator.is_started():
        runtime.VESSARUNTIME_Shutdown()
    gc.collect()
    leaked = {kind: count for kind, count in emulator.live_handles().items() if count}
    violations = emulator.take_contract_violations()
    records = dict(native._callbackStorage)
    # Cleared whatever the outcome, so one failure does not cascade into the next tests.
    native._callbackStorage.clear()
    native._logCallbackStorage.clear()
    assert not left_running, "a start() of the typed layer was left without its shutdown()"
    assert not left_routings, f"log routings left open: {left_routings}"
    assert not leaked, f"handles left live: {leaked}"
    assert not violations, f"contract violations: {violations}"
    if not request.node.get_closest_marker(KEEPS_CALLBACK_RECORDS):
        assert not records, f"callback records left: {records}"


@pytest.fixture
def lib():
    """The emulator library with the runtime's 65 operations declared (tests/runtime_abi.py)."""
    return runtime


@pytest.fixture
def started(emu):
    """The runtime started for the test by the typed layer, and shut down after it."""
    from pyvessaruntime import client

    with client.running():
        yield emu


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook instead of failing the test."""
    import sys

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(
        (report.exc_type, str(report.exc_value), report.err_msg, report.object)))
    return reports
