"""The pytest plugin of pyvessaruntime, registered through the ``pytest11`` entry point
``pyvessaruntime``: the ``emulator`` fixture for tests of applications that sign in through the
package, and the emulator as the runtime of a test session that chooses none.

A module of its own, outside the package: importing anything of the package loads the native
extension and its runtime, and pytest loads every installed plugin, whatever the session tests.
A session that never asks for the fixture therefore loads neither, and one on a machine without
a runtime can still run unrelated test suites. ``-p no:pyvessaruntime`` turns the plugin off.
"""

from __future__ import annotations

import os
from collections.abc import Generator, Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from pyvessaruntime.emulator import Emulator

_ENV = "PYVESSARUNTIME_RUNTIME"

# Chosen as the plugin loads, before any conftest or test module can import the package; the
# processes a test starts inherit the choice.
_CHOSEN_HERE = _ENV not in os.environ
if _CHOSEN_HERE:
    os.environ[_ENV] = "emulator"


def pytest_report_header() -> str:
    if _CHOSEN_HERE:
        return f"pyvessaruntime: runtime emulator ({_ENV} was unset; set it to choose another)"
    return f"pyvessaruntime: runtime {os.environ.get(_ENV)!r} (from {_ENV})"


# The marker that lets a test leave outcomes it scripted unused (pytest_plugin reads it).
_UNUSED_OUTCOMES_MARKER = "emulator_unused_outcomes"

# Each test's report of its call, so that the fixture's teardown knows whether the test failed.
_CALL_REPORT = pytest.StashKey[pytest.TestReport]()


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", f"{_UNUSED_OUTCOMES_MARKER}: the test may leave outcomes it scripted on the "
        "emulator unused (the emulator fixture does not fail it for them)")


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]
                              ) -> Generator[None, pytest.TestReport, pytest.TestReport]:
    report = yield
    if report.when == "call":
        item.stash[_CALL_REPORT] = report
    return report


@pytest.fixture
def emulator(request: pytest.FixtureRequest) -> Iterator[Emulator]:
    """The emulator, reset, as an `Emulator` (`pyvessaruntime.pytest_plugin.Emulator`); the test
    fails if it leaves a runtime handle it made live, violates the runtime's contract or leaves an
    outcome it aimed unused."""
    import warnings

    from pyvessaruntime import EmulatorWarning, pytest_plugin

    # The test asked for the emulator: the warning that the runtime is one would tell it nothing.
    warnings.simplefilter("ignore", EmulatorWarning)
    yield from pytest_plugin.emulator(request, lambda: request.node.stash.get(_CALL_REPORT, None))
