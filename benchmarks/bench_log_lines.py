"""Log lines delivered from a runtime thread to a Python callable, against their floor and a
ctypes binding.

One native thread that Python has never seen (it keeps its thread state) emits the lines back
to back; each is decoded, its record found by the context value, its level made a `LogLevel`
member and the callable called with both. Run by `make bench`, or alone:
`.venv-bench/bin/python -P benchmarks/bench_log_lines.py [lines] [rounds]`
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))  # -P leaves the script's folder off the path
import harness  # noqa: E402

harness.run_in_minimal_runtime()

import _vessafloor  # noqa: E402  (built and put on the path by the harness)
import ctypes_binding  # noqa: E402

import pyvessaruntime.pyvessaruntime as m  # noqa: E402


def main(lines: int, rounds: int) -> None:
    lib = harness.runtime()
    binding = ctypes_binding.Binding(lib, m.LogLevel)
    _vessafloor.set_levels(m.LogLevel)
    received = []

    def on_line(message, level):
        received.append(level)

    registrations = {
        "extension": (lambda: m.register_logging_callback(on_line),
                      lambda handle: handle.release_logging_callback()),
        "floor": (lambda: _vessafloor.register_logging_callback(on_line),
                  _vessafloor.release_logging_callback),
        "ctypes": (lambda: binding.register_logging_callback(on_line),
                   binding.release_logging_callback),
    }

    def emitting(register, release):
        def run():
            handle = register()
            received.clear()
            elapsed = harness.timed(lambda: lib.VESSABENCH_EmitLogs(lines))
            release(handle)
            assert len(received) == lines and received[0] is m.LogLevel.INFO
            return elapsed / lines
        return run

    variants = {name: emitting(*calls) for name, calls in registrations.items()}
    times = harness.compare(variants, rounds)
    harness.record("log line from a native thread", times, 1.0, unit="line")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000,
         int(sys.argv[2]) if len(sys.argv) > 2 else 9)
