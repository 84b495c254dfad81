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
from collections.abc import Iterator
from types import ModuleType

import pytest

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


@pytest.fixture
def emulator() -> Iterator[ModuleType]:
    """The emulator (`pyvessaruntime.emulator`), reset; the test fails if it leaves a runtime
    handle live or violates the runtime's contract."""
    import warnings

    from pyvessaruntime import EmulatorWarning, pytest_plugin

    # The test asked for the emulator: the warning that the runtime is one would tell it nothing.
    warnings.simplefilter("ignore", EmulatorWarning)
    yield from pytest_plugin.emulator()
