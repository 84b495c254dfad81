"""Asynchronous operations end to end, against their floor and a ctypes binding.

- Inline round trip: the start (argument checks, callback record, texts, start call without the
  interpreter lock, async handle) with the runtime completing inside the start call (the result
  object made, the callback called, the result released).
  `signin_silently` is also set beside a leaner floor that takes its parameters object as
  given (no argument checks or parsing, nothing looked up by name) and keeps only the contract's
  bookkeeping.
- Native-thread completions: operations started first and held by the runtime, then completed
  back to back by one runtime thread that Python has never seen (it keeps its thread state);
  only the completions are timed.

Run by `make bench`, or alone:
`.venv-bench/bin/python -P benchmarks/bench_completion.py [operations] [rounds]`
"""

import gc
import sys
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))  # -P leaves the script's folder off the path
import harness  # noqa: E402

harness.run_in_minimal_runtime()

import _vessafloor  # noqa: E402  (built and put on the path by the harness)
import ctypes_binding  # noqa: E402

import pyvessaruntime.pyvessaruntime as m  # noqa: E402

SOME_PARAMETERS = 0x1000  # what the minimal runtime's CreateAuthParameters answers


def callback(result):
    pass


def inline_round_trips(start, count):
    def run():
        start(callback)  # warm
        elapsed = harness.timed(lambda: [start(callback) for _ in repeat(None, count)])
        return elapsed / count
    return run


def native_thread_completions(lib, start, count):
    def run():
        lib.VESSABENCH_SetHoldCompletions(1)
        handles = [start(callback) for _ in repeat(None, count)]
        lib.VESSABENCH_SetHoldCompletions(0)
        assert lib.VESSABENCH_HeldCount() == count
        elapsed = harness.timed(lib.VESSABENCH_DeliverHeld)
        del handles
        return elapsed / count
    return run


def check_balanced(lib, storages):
    gc.collect()
    live = lib.VESSABENCH_LiveHandles()
    if live or any(storages):
        raise RuntimeError(f"{live} handles live, storages {[len(s) for s in storages]}")


def main(count: int, rounds: int) -> None:
    lib = harness.runtime()
    binding = ctypes_binding.Binding(lib, m.LogLevel)
    params = m.VESSARuntimeAuthParameters("client-id", "https://authority.example.test/common")
    operations = {
        "read_account_by_id": {
            "extension": lambda cb: m.read_account_by_id("account-id", "correlation-id", cb),
            "floor": lambda cb: _vessafloor.read_account_by_id("account-id", "correlation-id", cb),
            "ctypes": lambda cb: binding.read_account_by_id("account-id", "correlation-id", cb),
        },
        "signin_silently": {
            "extension": lambda cb: m.signin_silently(params, "correlation-id", cb),
            "floor": lambda cb: _vessafloor.signin_silently(SOME_PARAMETERS, "correlation-id", cb),
            "given": lambda cb: _vessafloor.signin_silently_given(params, "correlation-id", cb),
        },
    }
    storages = (m._callbackStorage, vars(_vessafloor)["_callbackStorage"], binding.storage)
    for name, starts in operations.items():
        variants = {v: inline_round_trips(start, count) for v, start in starts.items()}
        times = harness.compare(variants, rounds)
        harness.record(f"round trip completed inline ({name})", times, 1.5, unit="operation")
        if "given" in times:
            harness.record(f"round trip completed inline ({name}), parameters taken as given",
                           times, 1.5, floor="given", unit="operation")
        check_balanced(lib, storages)
    starts = operations["read_account_by_id"]
    variants = {v: native_thread_completions(lib, start, count) for v, start in starts.items()}
    times = harness.compare(variants, rounds)
    harness.record("completion on a native thread (read_account_by_id)", times, 1.5,
                   unit="completion")
    check_balanced(lib, storages)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 50_000,
         int(sys.argv[2]) if len(sys.argv) > 2 else 7)
