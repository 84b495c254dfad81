"""The work of the ``emulator`` fixture of pyvessaruntime's pytest plugin (the top-level module
``_pyvessaruntime_pytest``, which imports this one only for a test that asks for the fixture),
and `Emulator`, the type of what the fixture hands a test.

The fixture resets the emulator before the test and hands it an `Emulator`, a typed view of the
`pyvessaruntime.emulator` control module (annotate the parameter, ``emulator: Emulator``, and
``mypy --strict`` checks every call). After the test it closes the log routings the test opened
and left open, ends the starts of the typed layer the test made and left, shuts the runtime down
(completing what is still pending), collects garbage if a handle it made is still live, and fails
the test if

- a runtime handle the test made is still live (an object of the runtime kept past the test, a
  leak),
- the runtime was called against its contract,
- an outcome the test aimed (`fail_completion`, `null_completion`, `grant_scopes`,
  `cancel_next_interactive`, a latency, a scenario's ``"outcomes"``) never happened: a typo in
  its target would otherwise pass silently. Opt out per outcome (``optional=True``) or per test
  (``@pytest.mark.emulator_unused_outcomes``),
- an operation held (``held()``) was never released and completed with an error when its hold
  timed out (`expired_holds`; the ini option ``vessaruntime_held_timeout`` sets the seconds,
  30 by default), or
- strict mode (`strict`; for a test ``@pytest.mark.emulator_strict``, for every test the ini
  option ``vessaruntime_strict = true``) refused a request that no scripted outcome matched
  (`unmatched_requests`), also while the test replays a recording
  (``@pytest.mark.emulator_replay("recordings/sign-in.json")``, relative to the test's file).

A test that failed already is not failed again: what it left is added to its report, once. Then
the emulator is reset again, so no test inherits another's state, nor is blamed for its handles.

What survives the fixture's resets: log registrations (``log_to``, ``log_to_logging``, a routine
of ``register_log_callback``) made before the test, in a session's fixture say; they keep
receiving lines. So do starts of the typed layer made before it (a session-scoped
``with vrt.running(): yield`` fixture): each reset shuts the runtime down, and it is started
again after it, so ``is_running()`` stays true and the fixture's own ``shutdown`` ends it. A start
a client's first call made in the test is ended with the test, like the test's own starts.
Everything else is the test's own: accounts, scripted outcomes, settings, the clock, the request
history, the PII switch, and every runtime object (an `Account`, a `Token`'s account, parameters) made
before the reset. Such an object made outside the test (in a module- or session-scoped fixture)
fails with a contract violation that says its handle "was dropped by a reset" when it is used;
releasing it, as its finalizer does, is quiet. Make runtime objects in the test, or in a fixture
that uses ``emulator``.

The checks are `_emulator_checks.Watch`'s, which `pyvessaruntime.emulator.session` runs too.
Only the plugin imports this module; importing `pyvessaruntime` does not.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

import pytest

if TYPE_CHECKING:
    from .emulator import Emulator as Emulator

__all__ = ["Emulator", "emulator"]

#: The marker that lets a test leave scripted outcomes unused.
UNUSED_OUTCOMES_MARKER = "emulator_unused_outcomes"
#: The marker that runs a test in strict mode (`emulator.strict`), as the ini option
#: `STRICT_INI` does for every test.
STRICT_MARKER = "emulator_strict"
STRICT_INI = "vessaruntime_strict"
#: The marker that replays a recording (`emulator.replay`) for the test.
REPLAY_MARKER = "emulator_replay"
#: The ini option that changes how long an operation stays held (`emulator.held`).
HELD_TIMEOUT_INI = "vessaruntime_held_timeout"


def __getattr__(name: str) -> Any:
    # Emulator is imported on first use: importing the emulator loads the extension.
    if name == "Emulator":
        from .emulator import Emulator

        return Emulator
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _apply_options(request: pytest.FixtureRequest, control: Any) -> None:
    """What the session's configuration and the test's markers ask of the emulator."""
    held_timeout = request.config.getini(HELD_TIMEOUT_INI)
    if held_timeout:
        try:
            control.configure(held_timeout=float(held_timeout))
        except ValueError as error:
            raise pytest.UsageError(f"{HELD_TIMEOUT_INI} = {held_timeout}: {error}") from None
    if request.config.getini(STRICT_INI) or request.node.get_closest_marker(STRICT_MARKER):
        control.strict()
    replay = request.node.get_closest_marker(REPLAY_MARKER)
    if replay is not None:
        if len(replay.args) != 1 or replay.kwargs:
            raise pytest.UsageError(f"@pytest.mark.{REPLAY_MARKER} takes the path of one "
                                    "recording")
        control.replay(request.path.parent / replay.args[0])


def emulator(request: pytest.FixtureRequest,
             call_report: Callable[[], pytest.TestReport | None]) -> Iterator[Emulator]:
    """The emulator, reset, as an `Emulator`; the test fails if it leaves a runtime handle it made
    live, violates the runtime's contract, leaves an outcome it aimed unused, never released
    an operation it held or made a request strict mode refused."""
    from . import emulator as control
    from ._emulator_checks import Watch

    watch = Watch()
    _apply_options(request, control)
    yield control.Emulator()
    problems = watch.finish(
        unused_outcomes=request.node.get_closest_marker(UNUSED_OUTCOMES_MARKER) is not None,
        opt_out=f"the marker {UNUSED_OUTCOMES_MARKER}")
    if not problems:
        return
    call = call_report()
    if call is not None and call.failed:
        # Its failure is the news; what it left (the traceback holds its objects) goes with it.
        call.sections.append(("emulator: left by the failed test", "\n".join(problems)))
        return
    pytest.fail("\n".join(problems), pytrace=False)
