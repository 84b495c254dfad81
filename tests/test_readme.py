"""The README's Python examples run as written, against the emulator: its programs as one module
that pytest imports, its tests as that module's tests."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
# A block that cannot run here (one that needs a server of its own) is preceded by this comment.
NOT_RUN = "<!-- not run:"


def runnable_blocks():
    blocks = re.findall(r"(<!--[^\n]*-->\s*)?```python\n(.*?)```", README.read_text(), re.DOTALL)
    return [code for comment, code in blocks if not comment.startswith(NOT_RUN)]


def test_the_readme_examples_run_against_the_emulator(tmp_path):
    for module in ("anyio", "httpx", "requests"):
        pytest.importorskip(module, reason=f"the README's examples import {module}")
    blocks = runnable_blocks()
    (tmp_path / "test_readme_examples.py").write_text("\n".join(blocks))
    done = subprocess.run(
        [sys.executable, "-P", "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider",
         "-W", "ignore:pyvessaruntime runs against the emulator:RuntimeWarning",
         "test_readme_examples.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYVESSARUNTIME_RUNTIME": "emulator"})
    tests = sum(len(re.findall(r"^(?:async )?def test_", code, re.M)) for code in blocks)
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"{tests} passed" in done.stdout and tests >= 2, done.stdout
    # The programs at the module's top print a token's header: they ran, not just the tests.
    assert done.stdout.count("Bearer ") >= 2, done.stdout
