"""The suite's time limit (time_limit.py), tried on a hanging test in a pytest run of its own."""

import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

HANGS = textwrap.dedent("""
    import ctypes

    def test_passes():
        pass

    def test_keeps_the_interpreter_lock():
        ctypes.PyDLL(None).sleep(60)  # the C library's sleep, the lock kept all along
""")


@pytest.mark.skipif(sys.platform == "win32", reason="calls the sleep of a POSIX C library")
@pytest.mark.parametrize("workers", [[], ["-n", "2", "--max-worker-restart=0"]],
                         ids=["in-process", "workers"])
def test_a_test_past_its_limit_ends_the_run_named_before_the_stacks(tmp_path, workers):
    if workers:
        pytest.importorskip("xdist")
    (tmp_path / "test_hang.py").write_text(HANGS)
    began = time.monotonic()
    done = subprocess.run([sys.executable, "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "-p", "time_limit", "-o", "test_time_limit=1", *workers,
                           "test_hang.py"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60, env={**os.environ, "PYTHONPATH": str(Path(__file__).parent)})
    assert done.returncode != 0 and time.monotonic() - began < 30, done.stdout + done.stderr
    named = done.stderr.find("*** test_hang.py::test_keeps_the_interpreter_lock ran past its time "
                             "limit of 1 s")
    assert 0 <= named < done.stderr.find("Timeout (") < done.stderr.find(
        'line 8 in test_keeps_the_interpreter_lock'), done.stderr
