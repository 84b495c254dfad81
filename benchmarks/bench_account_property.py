"""One account property read (24 units), against its floor and a ctypes binding.

Two runtime calls and one decode: the size call (answering no error, or answering an error with
status InsufficientBuffer, as a real runtime may, which the caller must read and release), then
the filling call. Run by `make bench`, or alone:
`.venv-bench/bin/python -P benchmarks/bench_account_property.py [calls] [rounds]`
"""

import sys
import time
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))  # -P leaves the script's folder off the path
import harness  # noqa: E402

harness.run_in_minimal_runtime()

import _vessafloor  # noqa: E402  (built and put on the path by the harness)
import ctypes_binding  # noqa: E402

import pyvessaruntime.pyvessaruntime as m  # noqa: E402

SOME_ACCOUNT = 0x1000  # the minimal runtime answers the same text for any account


def reads(account, calls):
    """The same loop for every variant: the attribute lookup and the call, as callers write it."""
    def run():
        assert account.get_display_name() == "Benchmark Display Name24"
        start = time.perf_counter()
        for _ in repeat(None, calls):
            account.get_display_name()
        return (time.perf_counter() - start) / calls
    return run


def main(calls: int, rounds: int) -> None:
    lib = harness.runtime()
    binding = ctypes_binding.Binding(lib, m.LogLevel)
    accounts = {
        "extension": m.VESSARuntimeAccount(SOME_ACCOUNT),
        "floor": _vessafloor.Account(SOME_ACCOUNT),
        "ctypes": binding.Account(SOME_ACCOUNT),
    }
    for size_call_error, label, target in ((False, "no error", 1.3),
                                           (True, "InsufficientBuffer", 1.5)):
        lib.VESSABENCH_SetSizeCallError(int(size_call_error))
        variants = {name: reads(account, calls) for name, account in accounts.items()}
        times = harness.compare(variants, rounds)
        harness.record(f"property read, size call answers {label}", times, target)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200_000,
         int(sys.argv[2]) if len(sys.argv) > 2 else 7)
