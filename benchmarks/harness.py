"""What every benchmark shares: the minimal runtime and the C floor, side-by-side timing, results.

A benchmark process runs the extension against the minimal runtime (`native/minimal_runtime.c`):
`run_in_minimal_runtime()` builds it and the floor extension (`native/floor.c`) with the C
compiler into `build/bench-native/`, then runs the benchmark again in a child process whose
`PYVESSARUNTIME_RUNTIME` names that library, which the package then loads in place of any other
runtime. The child checks which library it really loaded. The extension, the floor and the
ctypes binding then call the very same runtime, so the ratios show the extension's own overhead.

Timing: every variant runs the same loop, one after the other inside each round, in several
rounds; the best round of each counts. Results go to `build/bench-results.json`, from which
`report.py` prints the table and draws the plot.
"""

from __future__ import annotations

import ctypes
import json
import os
import subprocess
import sys
import sysconfig
import time
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NATIVE = Path(__file__).resolve().parent / "native"
OUT = ROOT / "build" / "bench-native"
RESULTS = ROOT / "build" / "bench-results.json"
RUNTIME = OUT / "libvessaruntime.so"
_CHILD = "PYVESSA_BENCH_CHILD"


def _compile(target: Path, sources: list[Path], flags: list[str]) -> None:
    # This file holds the flags: a change to it rebuilds too.
    if target.exists() and all(target.stat().st_mtime > s.stat().st_mtime
                               for s in [*sources, Path(__file__)]):
        return
    OUT.mkdir(parents=True, exist_ok=True)
    cc = os.environ.get("CC", "cc")
    command = [cc, "-O2", "-Wall", "-Wextra", "-shared", "-fPIC", "-std=gnu11",
               f"-I{ROOT / 'runtime'}", *map(str, sources), "-o", str(target), *flags]
    subprocess.run(command, check=True)


def build() -> None:
    """The minimal runtime and the floor extension, rebuilt when their sources changed."""
    # The runtime's SONAME: the extension's need for libvessaruntime.so is met by the library
    # loaded under that name.
    _compile(RUNTIME, [NATIVE / "minimal_runtime.c"],
             ["-lpthread", "-Wl,-soname,libvessaruntime.so"])
    include = sysconfig.get_paths()["include"]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    _compile(OUT / f"_vessafloor{suffix}", [NATIVE / "floor.c", RUNTIME],
             [f"-I{include}", f"-L{OUT}", "-lvessaruntime", "-Wl,-rpath,$ORIGIN"])


def run_in_minimal_runtime() -> None:
    """Re-runs the calling benchmark against the minimal runtime, unless this is that run."""
    if os.environ.get(_CHILD):
        sys.path.insert(0, str(OUT))
        return
    build()
    env = dict(os.environ, PYVESSARUNTIME_RUNTIME=str(RUNTIME))
    env[_CHILD] = "1"
    sys.exit(subprocess.call([sys.executable, "-P", *sys.argv], env=env))


def in_minimal_runtime() -> bool:
    """Whether this is the run that `run_in_minimal_runtime` started."""
    return bool(os.environ.get(_CHILD))


def loaded_runtime() -> Path:
    """The libvessaruntime.so this process has mapped (there must be exactly one)."""
    maps = Path("/proc/self/maps").read_text().splitlines()
    paths = {Path(line.split()[-1]) for line in maps if line.endswith("libvessaruntime.so")}
    if len(paths) != 1:
        raise RuntimeError(f"expected one runtime library, found {sorted(paths)}")
    return paths.pop()


def runtime() -> ctypes.CDLL:
    """The minimal runtime the extension loaded, with its control interface declared."""
    import pyvessaruntime.pyvessaruntime  # noqa: F401  (the extension loads the library first)

    if loaded_runtime().resolve() != RUNTIME.resolve():
        raise RuntimeError(f"the extension loaded {loaded_runtime()}, not {RUNTIME}")
    lib = ctypes.CDLL(str(RUNTIME))
    lib.VESSABENCH_SetText.argtypes = [ctypes.POINTER(ctypes.c_uint16), ctypes.c_int32]
    lib.VESSABENCH_SetSizeCallError.argtypes = [ctypes.c_int32]
    lib.VESSABENCH_SetHoldCompletions.argtypes = [ctypes.c_int32]
    lib.VESSABENCH_HeldCount.restype = ctypes.c_int64
    lib.VESSABENCH_EmitLogs.argtypes = [ctypes.c_int32]
    lib.VESSABENCH_LiveHandles.restype = ctypes.c_int64
    return lib


def compare(variants: dict[str, Callable[[], float]], rounds: int) -> dict[str, float]:
    """Best time of each variant over `rounds` rounds; each call returns the time of one unit.

    The variants take turns inside every round (in a rotating order), so a slow stretch of the
    machine hits them alike rather than one of them."""
    best = {name: float("inf") for name in variants}
    names = list(variants)
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            best[name] = min(best[name], variants[name]())
    return best


def timed(body: Callable[[], None]) -> float:
    start = time.perf_counter()
    body()
    return time.perf_counter() - start


def record(measurement: str, times: dict[str, float], target: float | None,
           floor: str = "floor", subject: str = "extension", unit: str = "call",
           margin: float | None = None) -> None:
    """Prints one line per variant and the subject's ratio to its floor, and stores them.

    The target is a ratio, or with `margin` a difference: the subject within `margin` seconds
    of its floor."""
    ratio = times[subject] / times[floor]
    verdict = "" if target is None else ("  (target <= %.2f: %s)"
                                         % (target, "met" if ratio <= target else "NOT met"))
    if margin is not None:
        extra = times[subject] - times[floor]
        verdict = "  (+%.2f ms, target within %.1f ms: %s)" % (
            extra * 1e3, margin * 1e3, "met" if extra <= margin else "NOT met")
    print(f"{measurement}")
    for name, seconds in times.items():
        shown = f"{seconds * 1e9:9.0f} ns" if seconds < 1e-4 else f"{seconds * 1e6:9.0f} us"
        print(f"    {name:12} {shown}/{unit}")
    print(f"    ratio {subject}/{floor}: {ratio:.2f}{verdict}")
    results = json.loads(RESULTS.read_text()) if RESULTS.exists() else {}
    results[measurement] = {"ns": {k: v * 1e9 for k, v in times.items()}, "ratio": ratio,
                            "target": target, "unit": unit, "floor": floor, "subject": subject,
                            "margin": margin}
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text(json.dumps(results, indent=2) + "\n")
