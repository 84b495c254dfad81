"""Reads one account property a million times and prints the time per call.

A quick check, not a test: run it before and after a change to the marshalling path
(`make bench`, or `.venv/bin/python -P benchmarks/bench_account_property.py [count]`).
"""

import sys
import time

import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import emulator


def main(count: int) -> None:
    emulator.reset()
    account_id = emulator.add_account(display_name="Benchmark User")
    account = m.VESSARuntimeAccount(emulator.new_account_handle(account_id))
    read = account.get_display_name
    for first_call_error in (True, False):
        emulator.set_string_protocol(first_call_error=first_call_error)
        for _ in range(1000):
            read()
        start = time.perf_counter()
        for _ in range(count):
            read()
        elapsed = time.perf_counter() - start
        label = "size call answers InsufficientBuffer" if first_call_error else "size call answers no error"
        print(f"account property read ({label}): {elapsed / count * 1e9:8.0f} ns/call "
              f"over {count} calls")
    del account, read
    emulator.reset()


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
