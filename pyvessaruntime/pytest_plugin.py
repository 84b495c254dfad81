"""The work of the ``emulator`` fixture of pyvessaruntime's pytest plugin (the top-level module
``_pyvessaruntime_pytest``, which imports this one only for a test that asks for the fixture).

The fixture resets the emulator before the test and hands it the `pyvessaruntime.emulator`
module, to script it. After the test it closes the log routings the test left open and shuts the
runtime down if the test left it started (completing what is still pending), collects garbage, and fails the test if a runtime handle is
still live (an object of the runtime kept past the test, a leak) or the runtime was called
against its contract; then it resets the emulator again, so no test inherits another's state.

Only the plugin imports this module; importing `pyvessaruntime` does not.
"""

from __future__ import annotations

import gc
from collections.abc import Iterator
from types import ModuleType

import pytest

from . import emulator as _emulator

__all__ = ["emulator"]


def emulator() -> Iterator[ModuleType]:
    """The emulator (`pyvessaruntime.emulator`), reset; the test fails if it leaves a runtime
    handle live or violates the runtime's contract."""
    _emulator.reset()
    yield _emulator
    import sys

    if "pyvessaruntime.client" in sys.modules:
        # Starts and log routings of the typed layer outlive one another; none outlives a test.
        from .client import _end_all

        _end_all()
    if _emulator.is_started():
        from . import pyvessaruntime as native

        native._shutdown_vessaruntime()
    gc.collect()
    leaked = {kind: count for kind, count in _emulator.live_handles().items() if count}
    violations = _emulator.take_contract_violations()
    _emulator.reset()
    problems: list[str] = []
    if leaked:
        problems.append(f"runtime handles left live: {leaked}")
    if violations:
        problems.append("contract violations:\n  " + "\n  ".join(violations))
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)
