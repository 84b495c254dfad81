"""Throughput of the blocking client on two threads at once, on a free-threaded CPython with the
GIL disabled: `Client.acquire_token_silently(account, scopes)` completed inline (on the calling
thread, inside the start call), by two application threads sharing one client and one account,
against one thread making the same total number of calls. The figure is the throughput ratio,
two threads over one (the goal: at least 1.6 on two cores).

Three rows:

- against the emulator, an account added through its controls: the runtime the tests use, with
  the locks of its own bookkeeping (handles, accounts, the request history);
- a plain Python loop that shares nothing between its threads: what the machine gives two
  threads at that moment. Other work on the cores lowers every row alike;
- against the minimal runtime of the other benchmarks (`native/minimal_runtime.c`), which takes
  no lock on this path: what the layer and the extension allow by themselves.

Runs on a free-threaded CPython only (3.13t, from scripts/provide-free-threaded), and only while
importing the package leaves the GIL disabled; on a CPython with the GIL it says so and does
nothing, so that `make bench` passes it by. `make bench-free-threaded` builds the package into a
venv of that CPython (`.venv-bench-3.13t`) and runs it; alone:
`.venv-bench-3.13t/bin/python -P benchmarks/bench_free_threaded.py [count] [rounds]`
"""

import ctypes
import os
import sys
import sysconfig
import threading
import time
import warnings
from collections.abc import Callable
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))  # -P leaves the script's folder off the path
import harness  # noqa: E402

CLIENT_ID = "client-id"
AUTHORITY = "https://login.example.test/common"
SCOPES = ["user.read", "mail.read"]
TEXT = '{"name": "Benchmark User", "tid": "0123"}'
THREADS = 2
GOAL = 1.6
ROW = f"Client.acquire_token_silently, {THREADS} threads against 1, free-threaded"


def plain_loop() -> None:
    """About as long as a client call, on objects of its own thread only."""
    kept = {}
    for i in range(400):
        kept[i] = i * 2
    sum(kept.values())


def on_threads(call: Callable[[], object], threads: int, count: int) -> float:
    """Seconds for `threads` threads to make `count` calls between them, each its share, from
    the moment all are ready to the last call's end."""
    share = count // threads
    ready = threading.Barrier(threads)
    starts: list[float] = []
    ends: list[float] = []
    failures: list[BaseException] = []

    def calls() -> None:
        ready.wait()
        # Each thread reads the clock itself: a thread that only waited for the others could be
        # descheduled past their start, or even past their end, on a busy machine.
        starts.append(time.perf_counter())
        try:
            for _ in repeat(None, share):
                call()
        except BaseException as exc:  # noqa: BLE001 - reported by the measuring thread
            failures.append(exc)
        ends.append(time.perf_counter())

    workers = [threading.Thread(target=calls) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    if failures:
        raise failures[0]
    return max(ends) - min(starts)


def measure(call: Callable[[], object], count: int, rounds: int) -> dict[str, float]:
    """Time per call of one thread and of `THREADS` threads, best of `rounds` alternating."""
    return harness.compare({
        "one thread": lambda: on_threads(call, 1, count) / count,
        f"{THREADS} threads": lambda: on_threads(call, THREADS, count) / count,
    }, rounds)


def report(measurement: str, times: dict[str, float], goal: float | None) -> None:
    # Stored as the time per call against one thread's, as every row of the results is: a
    # ratio at most 1 / goal meets the goal.
    harness.record(measurement, times, None if goal is None else round(1 / goal, 4),
                   floor="one thread", subject=f"{THREADS} threads")
    ratio = times["one thread"] / times[f"{THREADS} threads"]
    verdict = "" if goal is None else f" (goal >= {goal}: {'met' if ratio >= goal else 'NOT met'})"
    print(f"    throughput {THREADS} threads / one thread: {ratio:.2f}{verdict}")


def client_calls(vrt, account_id: str, count: int, rounds: int) -> dict[str, float]:
    vrt.start()
    try:
        # A completion that never comes fails the run within seconds, not a minute.
        client = vrt.Client(CLIENT_ID, AUTHORITY, timeout=10)
        account = client.read_account(account_id)
        client.acquire_token_silently(account, SCOPES)  # warm
        return measure(lambda: client.acquire_token_silently(account, SCOPES), count, rounds)
    finally:
        vrt.shutdown()


def main(count: int, rounds: int) -> int:
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        print(f"bench_free_threaded: skipped: this CPython ({sys.version.split()[0]}) has the GIL; "
              "the measurement needs a free-threaded one (`make bench-free-threaded`)")
        return 0
    minimal = harness.in_minimal_runtime()
    if not minimal:
        # The emulator is the runtime of the first rows, whatever the environment chose.
        os.environ["PYVESSARUNTIME_RUNTIME"] = "emulator"
    import pyvessaruntime as vrt

    if sys._is_gil_enabled():
        print("bench_free_threaded: refused: the GIL is enabled after importing pyvessaruntime "
              "(PYTHON_GIL=1, -X gil=1, or a module of the package not declared free of it); "
              "the measurement needs it disabled", file=sys.stderr)
        return 1
    warnings.simplefilter("ignore", vrt.EmulatorWarning)  # the emulator is chosen on purpose

    if minimal:
        lib = harness.runtime()
        units = TEXT.encode("utf-16-le")
        lib.VESSABENCH_SetText((ctypes.c_uint16 * len(TEXT)).from_buffer_copy(units), len(TEXT))
        report(f"{ROW}, minimal runtime", client_calls(vrt, "account-id", count, rounds), GOAL)
        return 0

    from pyvessaruntime import emulator_internals as emulator

    print(f"CPython {sys.version.split()[0]}, free-threaded, GIL disabled; "
          f"{os.cpu_count()} cores; {count} calls a round, best of {rounds}")
    emulator.reset()
    emulator.set_completion_mode("inline")
    try:
        times = client_calls(vrt, emulator.add_account(), count, rounds)
    finally:
        emulator.reset()
    report(f"{ROW}, emulator", times, GOAL)
    report(f"a plain Python loop sharing nothing, {THREADS} threads against 1, free-threaded",
           measure(plain_loop, count, rounds), None)
    sys.stdout.flush()
    harness.run_in_minimal_runtime()  # the last row, in a process of its own; exits
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 2_000,
                      int(sys.argv[2]) if len(sys.argv) > 2 else 15))
    except TimeoutError as lost:
        # OperationTimedOut: with completions inline, only a completion lost on its way from the
        # runtime to the waiting call ends that way.
        sys.exit(f"bench_free_threaded: failed: an operation completed inline never reached its "
                 f"call, which gave up waiting ({lost}); no figure of this run stands")
