"""Memory kept per owner's life: legacy subinterpreters created and destroyed in a loop, each
importing the native module, starting the runtime, completing one operation and shutting down,
against the same loop whose subinterpreters import only the standard modules the native module
imports. A legacy subinterpreter allocates from the main interpreter's heap, so whatever the
module kept of an ended owner would stay there and grow the resident set with every life.

The growth is read from the resident set between the 20th and the last cycle (the first ones
fill the allocators' caches). The goal: the loop with the module grows within 10% of the loop
without it (a few KiB per life at most).
Run by `make bench`, or alone: `.venv-bench/bin/python -P benchmarks/bench_owner_lives.py [cycles]`
"""

import os
import subprocess
import sys
import textwrap

CYCLES = int(sys.argv[1]) if len(sys.argv) > 1 else 200
WARM_UP = 20

LIFE = """
import pyvessaruntime.pyvessaruntime as m
m._startup_vessaruntime()
done = m.CallbackData()
m.discover_accounts("client", "corr", done.complete)
assert done.signal.wait(30)
del done
m._shutdown_vessaruntime()
"""
WITHOUT = "import enum, json, threading\n"

LOOP = """
import _interpreters, os
def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
for cycle in range({cycles}):
    if cycle == {warm_up}:
        start = resident()
    interp = _interpreters.create("legacy")
    failure = _interpreters.run_string(interp, {code!r})
    assert failure is None, failure
    _interpreters.destroy(interp)
print((resident() - start) / ({cycles} - {warm_up}))
"""


def growth_per_cycle(code: str) -> float:
    env = dict(os.environ, PYVESSARUNTIME_RUNTIME="emulator")
    source = textwrap.dedent(LOOP).format(cycles=CYCLES, warm_up=WARM_UP, code=code)
    done = subprocess.run([sys.executable, "-P", "-c", source], capture_output=True, text=True,
                          env=env, check=True)
    return float(done.stdout)


def main() -> None:
    if not sys.platform.startswith("linux"):
        print("owner lives: skipped (reads /proc/self/statm)")
        return
    with_module = growth_per_cycle(LIFE)
    without = growth_per_cycle(WITHOUT)
    extra = with_module - without
    met = with_module <= without * 1.10 or extra <= 4096
    print(f"owner lives: {CYCLES} legacy subinterpreter cycles, resident set growth per cycle "
          f"{with_module / 1024:.1f} KiB with the module, {without / 1024:.1f} KiB without "
          f"({extra / 1024:+.1f} KiB): goal {'met' if met else 'not met'}")


if __name__ == "__main__":
    main()
