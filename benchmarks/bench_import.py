"""Import time of the native module, against `import json`, in fresh interpreters.

`-X importtime` splits an import into a module's own time and the modules it imports. The
native module's own share is its self time: loading the extension and the runtime library it
links (the emulator here, which brings the C++ runtime library), the create and exec steps,
the three enumerations. The standard modules it must import (`enum`, `json`, `threading`) are
counted apart; so is the package's `__init__`, which runs first. Best of several runs each.
A second measurement takes ``import pyvessaruntime`` whole, with the runtime found as one
installed on the system (the minimal runtime), and what it adds to the standard modules it must
import, which is to stay within 2 ms.
Run by `make bench`, or alone: `.venv-bench/bin/python -P benchmarks/bench_import.py [runs]`
"""

import functools
import os
import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))  # -P leaves the script's folder off the path
import harness  # noqa: E402

LINE = re.compile(r"import time:\s+(\d+) \|\s+(\d+) \|(\s+)(\S+)$")


@functools.cache
def emulator_as_the_system_runtime() -> dict[str, str]:
    """An environment in which the dynamic linker finds the emulator as it would find a runtime
    installed on the system: the extension loads it itself, and its load counts in the
    extension's own share as a real runtime's would."""
    spec = "importlib.util.find_spec('pyvessaruntime').submodule_search_locations[0]"
    folder = subprocess.run([sys.executable, "-P", "-c", f"import importlib.util; print({spec})"],
                            capture_output=True, text=True, check=True).stdout.strip()
    env = {k: v for k, v in os.environ.items() if k != "PYVESSARUNTIME_RUNTIME"}
    env["LD_LIBRARY_PATH"] = os.pathsep.join(
        filter(None, [str(Path(folder) / "_emulator"), os.environ.get("LD_LIBRARY_PATH")]))
    return env


def import_times(statement: str, module: str) -> tuple[float, float]:
    """(self, cumulative) seconds of `module` when a fresh interpreter runs `statement`."""
    out = subprocess.run([sys.executable, "-X", "importtime", "-P", "-c", statement],
                         capture_output=True, text=True, check=True,
                         env=emulator_as_the_system_runtime()).stderr
    for line in out.splitlines():
        match = LINE.match(line)
        if match and match.group(4) == module:
            return int(match.group(1)) * 1e-6, int(match.group(2)) * 1e-6
    raise RuntimeError(f"{module} not in the import times of {statement!r}")


STANDARD = ("enum", "json", "threading")


# The runtime as an application finds it installed on the system (the minimal runtime, first on
# the library path), without asking for the emulator.
SYSTEM_RUNTIME = {k: v for k, v in os.environ.items() if k != "PYVESSARUNTIME_RUNTIME"}
SYSTEM_RUNTIME["LD_LIBRARY_PATH"] = f"{harness.OUT}:{os.environ.get('LD_LIBRARY_PATH', '')}"


def beyond_standard_imports() -> tuple[float, float]:
    """(whole, standard) seconds of ``import pyvessaruntime`` in a fresh interpreter: the package
    with everything it imports, and the share of the standard modules it must import, counted
    where they are imported first (a standard module inside another one counts once)."""
    out = subprocess.run([sys.executable, "-X", "importtime", "-P", "-c", "import pyvessaruntime"],
                         capture_output=True, text=True, check=True, env=SYSTEM_RUNTIME).stderr
    # -X importtime writes a module after what it imports, indented by its depth.
    rows = [(len(m.group(3)), m.group(4), int(m.group(2)) * 1e-6)
            for m in map(LINE.match, out.splitlines()) if m]
    whole = next(cumulative for _, name, cumulative in rows if name == "pyvessaruntime")
    standard = 0.0
    for i, (depth, name, cumulative) in enumerate(rows):
        if name not in STANDARD:
            continue
        inside, level = False, depth
        for later_depth, later_name, _ in rows[i + 1:]:
            if later_depth < level:
                level = later_depth
                inside = inside or later_name in STANDARD
        standard += 0.0 if inside else cumulative
    return whole, standard


def main(runs: int) -> None:
    harness.build()
    best = {"extension": float("inf"), "with enum, json, threading": float("inf"),
            "import json": float("inf")}
    for _ in range(runs):
        self_time, cumulative = import_times("import pyvessaruntime.pyvessaruntime",
                                             "pyvessaruntime.pyvessaruntime")
        best["extension"] = min(best["extension"], self_time)
        best["with enum, json, threading"] = min(best["with enum, json, threading"], cumulative)
        best["import json"] = min(best["import json"], import_times("import json", "json")[1])
    harness.record("import, the native module's own share", best, 1.0, floor="import json",
                   unit="import")
    package = {"extension": float("inf"), "enum, json, threading": 0.0}
    for _ in range(runs):
        whole, standard = beyond_standard_imports()
        if whole - standard < package["extension"] - package["enum, json, threading"]:
            package = {"extension": whole, "enum, json, threading": standard}
    harness.record("import pyvessaruntime, beyond enum, json, threading", package, None,
                   floor="enum, json, threading", unit="import", margin=2e-3)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 15)
