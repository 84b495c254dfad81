"""The work of the ``emulator`` fixture of pyvessaruntime's pytest plugin (the top-level module
``_pyvessaruntime_pytest``, which imports this one only for a test that asks for the fixture),
and `Emulator`, the type of what the fixture hands a test.

The fixture resets the emulator before the test and hands it an `Emulator`, a typed view of the
`pyvessaruntime.emulator` control module (annotate the parameter, ``emulator: Emulator``, and
``mypy --strict`` checks every call). After the test it closes the log routings the test opened
and left open, shuts the runtime down if the test left it started (completing what is still
pending), collects garbage if a handle it made is still live, and fails the test if

- a runtime handle the test made is still live (an object of the runtime kept past the test, a
  leak),
- the runtime was called against its contract, or
- an outcome the test aimed (`fail_completion`, `null_completion`, `grant_scopes`,
  `cancel_next_interactive`, a latency, a scenario's ``"outcomes"``) never happened: a typo in
  its target would otherwise pass silently. Opt out per outcome (``optional=True``) or per test
  (``@pytest.mark.emulator_unused_outcomes``), or
- an operation held (``held()``) was never released and completed with an error when its hold
  timed out (`expired_holds`).
- strict mode (`strict`) refused a request that no scripted outcome matched
  (`unmatched_requests`).

A test that failed already is not failed again: what it left is added to its report, once. Then
the emulator is reset again, so no test inherits another's state, nor is blamed for its handles.

What survives the fixture's resets: log registrations (``log_to``, ``log_to_logging``, a routine
of ``register_log_callback``) made before the test, in a session's fixture say; they keep
receiving lines. Everything
else is the test's own: accounts, scripted outcomes, settings, the clock, the request history,
the PII switch, and every runtime object (an `Account`, a `Token`'s account, parameters) made
before the reset. Such an object made outside the test (in a module- or session-scoped fixture)
fails with a contract violation that says its handle "was dropped by a reset" when it is used;
releasing it, as its finalizer does, is quiet. Make runtime objects in the test, or in a fixture
that uses ``emulator``.

Only the plugin imports this module; importing `pyvessaruntime` does not.
"""

from __future__ import annotations

import gc
import sys
from collections import Counter
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

import pytest

if TYPE_CHECKING:
    from .emulator import Emulator as Emulator

__all__ = ["Emulator", "emulator"]

#: The marker that lets a test leave scripted outcomes unused.
UNUSED_OUTCOMES_MARKER = "emulator_unused_outcomes"


def __getattr__(name: str) -> Any:
    # Emulator is imported on first use: importing the emulator loads the extension.
    if name == "Emulator":
        from .emulator import Emulator

        return Emulator
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _open_routings() -> list[Any]:
    """The typed layer's open log routings, if it is imported."""
    bridge = sys.modules.get("pyvessaruntime.log_bridge")
    return list(getattr(bridge, "_open_routings", ()))


def emulator(request: pytest.FixtureRequest,
             call_report: Callable[[], pytest.TestReport | None]) -> Iterator[Emulator]:
    """The emulator, reset, as an `Emulator`; the test fails if it leaves a runtime handle it made
    live, violates the runtime's contract, leaves an outcome it aimed unused, never released
    an operation it held or made a request strict mode refused."""
    from . import emulator as control

    control.reset(keep_log_registrations=True)
    before = set(control.live_handle_values())
    routings = _open_routings()
    yield control.Emulator()
    if "pyvessaruntime.client" in sys.modules:
        # Starts and log routings of the typed layer outlive one another; none the test made
        # outlives it.
        from .client import _end_all

        _end_all(keep=routings)
    if control.is_started():
        from . import pyvessaruntime as native

        native._shutdown_vessaruntime()
    def made() -> list[int]:
        # Only the test's own: log registrations made before it (a session's routing) are not
        # leaks.
        return [handle for handle in control.live_handle_values() if handle not in before]

    left = made()
    if left:
        # Some may be held only by garbage cycles. A full collection is what costs an
        # application's suite the most per test, so it is paid only then.
        gc.collect()
        left = made()
    leaked = dict(Counter(kind for kind in map(control.handle_kind, left) if kind is not None))
    violations = control.take_contract_violations()
    unused = ([] if request.node.get_closest_marker(UNUSED_OUTCOMES_MARKER)
              else control.pending_outcomes())
    expired = control.expired_holds()
    unmatched = control.unmatched_requests()
    control.reset(keep_log_registrations=True)
    problems: list[str] = []
    if leaked:
        problems.append(f"runtime handles left live: {leaked}")
    if violations:
        problems.append("contract violations:\n  " + "\n  ".join(violations))
    if unused:
        problems.append("scripted outcomes never used (optional=True or the marker "
                        f"{UNUSED_OUTCOMES_MARKER} allows it):\n  " + "\n  ".join(unused))
    if expired:
        problems.append("held operations never released, completed with an error when their "
                        "hold timed out (release_held() or leaving the held() block releases "
                        "them):\n  " + "\n  ".join(expired))
    if unmatched:
        problems.append("requests no scripted outcome matched (strict mode):\n  "
                        + "\n  ".join(unmatched))
    if not problems:
        return
    call = call_report()
    if call is not None and call.failed:
        # Its failure is the news; what it left (the traceback holds its objects) goes with it.
        call.sections.append(("emulator: left by the failed test", "\n".join(problems)))
        return
    pytest.fail("\n".join(problems), pytrace=False)
