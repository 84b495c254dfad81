"""The demo runs the whole cycle against the emulator, which it asks for itself, and shows the
runtime's log lines, the emulator's start-up warning first."""

import os
import subprocess
import sys


def test_demo_runs_the_whole_cycle():
    env = {k: v for k, v in os.environ.items() if k != "PYVESSARUNTIME_RUNTIME"}
    done = subprocess.run([sys.executable, "-P", "-m", "pyvessaruntime"], capture_output=True,
                          text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    steps = ["runtime: ", "_emulator", "[runtime WARNING] this is the vessaruntime emulator",
             "SSO policy: SsoPolicyType.", "1. silent sign-in", "Status_InteractionRequired",
             "2. interactive sign-in", "authorization header: Bearer ", "3. silent token",
             "4. read the account", "5. discover accounts", "6. sign out", "signed out",
             "runtime shut down"]
    positions = [out.find(step) for step in steps]
    assert -1 not in positions and positions == sorted(positions), out
    assert "[runtime INFO]" in out and done.stderr == ""


def test_the_demo_answers_help_and_refuses_arguments():
    for argument, code in [("--help", 0), ("--bogus", 2)]:
        done = subprocess.run([sys.executable, "-P", "-m", "pyvessaruntime", argument],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == code and "usage: python -m" in done.stdout + done.stderr
