"""The checks around one test of an application against the emulator, in one place for both
ways of asking for them: the pytest plugin's ``emulator`` fixture and `emulator.session`.

`Watch` resets the emulator and notes what was there before the test (live handles, the typed
layer's open log routings); `Watch.finish` ends what the test left, lists what it did wrong and
resets the emulator again. What a test is blamed for is added here, once, for both.
"""

from __future__ import annotations

import gc
import sys
from collections import Counter
from typing import Any

from . import emulator as control


def _open_routings() -> list[Any]:
    """The typed layer's open log routings, if it is imported."""
    bridge = sys.modules.get("pyvessaruntime.log_bridge")
    return list(getattr(bridge, "_open_routings", ()))


class Watch:
    """One test watched: the emulator reset as it begins, what was there noted."""

    def __init__(self) -> None:
        control.reset(keep_log_registrations=True)
        self._before = set(control.live_handle_values())
        self._routings = _open_routings()
        layer = sys.modules.get("pyvessaruntime.client")
        # A start a client's first call makes in the test is ended with the test's own.
        self._lifetimes: tuple[int, bool, str | None] = (
            layer._lifetimes() if layer else (0, False, None))

    def _made(self) -> list[int]:
        # Only the test's own: log registrations made before it (a session's routing) are not
        # leaks.
        return [handle for handle in control.live_handle_values() if handle not in self._before]

    def finish(self, *, unused_outcomes: bool, opt_out: str) -> list[str]:
        """End what the test left started and open, reset the emulator, and return what the test
        is to be failed for (empty when nothing): runtime handles it left live, contract
        violations, scripted outcomes never used unless `unused_outcomes` allows them (`opt_out`
        says how a test allows them), holds never released and requests strict mode refused."""
        if "pyvessaruntime.client" in sys.modules:
            # Starts and log routings of the typed layer outlive one another; none the test made
            # outlives it, and those made before it stay.
            from .client import _end_starts_since

            _end_starts_since(self._lifetimes, keep=self._routings)
        if control.is_started():
            from . import pyvessaruntime as native

            # Completes what is still pending, so that its handles are not taken for leaks; a
            # start made before the test is started again by the reset below.
            native._shutdown_vessaruntime()
        left = self._made()
        if left:
            # Some may be held only by garbage cycles. A full collection is what costs an
            # application's suite the most per test, so it is paid only then.
            gc.collect()
            left = self._made()
        leaked = dict(Counter(kind for kind in map(control.handle_kind, left) if kind is not None))
        violations = control.take_contract_violations()
        unused = [] if unused_outcomes else control.pending_outcomes()
        expired = control.expired_holds()
        unmatched = control.unmatched_requests()
        control.reset(keep_log_registrations=True)
        problems: list[str] = []
        if leaked:
            problems.append(f"runtime handles left live: {leaked}")
        if violations:
            problems.append("contract violations:\n  " + "\n  ".join(violations))
        if unused:
            problems.append(f"scripted outcomes never used (optional=True or {opt_out} allows "
                            "it):\n  " + "\n  ".join(unused))
        if expired:
            problems.append("held operations never released, completed with an error when their "
                            "hold timed out (release_held() or leaving the held() block releases "
                            "them):\n  " + "\n  ".join(expired))
        if unmatched:
            problems.append("requests no scripted outcome matched (strict mode):\n  "
                            + "\n  ".join(unmatched))
        return problems
