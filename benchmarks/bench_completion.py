"""Round trips of asynchronous operations: start, completion on the emulator, Python callback.

Prints the time per operation with completions on the emulator's worker threads (threads
Python has never seen, so the cost of entering Python from them shows) and inline.
`.venv/bin/python -P benchmarks/bench_completion.py [count]`
"""

import sys
import threading
import time

import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import emulator


def run(count: int, mode: str) -> float:
    emulator.set_completion_mode(mode)
    done = threading.Event()
    remaining = [count]

    def callback(result):
        remaining[0] -= 1
        if remaining[0] == 0:
            done.set()

    start = time.perf_counter()
    for _ in range(count):
        m.discover_accounts("client", "corr", callback)
    done.wait(120)
    elapsed = time.perf_counter() - start
    emulator.wait_idle()
    return elapsed / count


def main(count: int) -> None:
    emulator.reset()
    m._startup_vessaruntime()
    try:
        for mode in ("worker", "inline"):
            run(1000, mode)
            print(f"operation round trip ({mode:6}): {run(count, mode) * 1e6:7.2f} us/operation "
                  f"over {count} operations")
    finally:
        m._shutdown_vessaruntime()
        emulator.reset()


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
