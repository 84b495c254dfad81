"""Faults at the edges of threads and lifetimes: racing releases of one log registration, exit
while a callback has given the interpreter lock up, a routine called on a thread that holds the
lock, and a refused start that must not keep the record's key alive.

Crash-prone cases run in subprocesses with a timeout, several times each.
"""

import subprocess
import sys
import textwrap

import pytest

import pyvessaruntime.pyvessaruntime as native

PRELUDE = """
import sys, threading, time, os, ctypes
import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import emulator_internals as emu
sys.unraisablehook = lambda report: None
emu.reset(); m._startup_vessaruntime()
ap = m.VESSARuntimeAuthParameters("client", "https://auth")
"""


def run_child(body, runs=1, timeout=30):
    """Runs PRELUDE + body in fresh interpreters; returns the (returncode, output) of each run."""
    script = PRELUDE + textwrap.dedent(body)
    results = []
    for _ in range(runs):
        proc = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True,
                              text=True, timeout=timeout)
        results.append((proc.returncode, proc.stdout + proc.stderr))
    return results


# Two threads (an application thread and shut-down, or two application threads) releasing the
# same registration: only one of them may release it, and the record's key must outlive the
# deliveries the release waits for.
DOUBLE_RELEASE = """
stop = False
def emitter():
    while not stop:
        emu.emit_log("line", 3, thread="native", threads=4)
threading.Thread(target=emitter, daemon=True).start()
errors = []
def release(handle, barrier):
    barrier.wait()
    try:
        handle.release_logging_callback()
    except KeyError as error:
        errors.append(error)
for _ in range(150):
    handle = m.register_logging_callback(lambda text, level: None)
    barrier = threading.Barrier(2)
    threads = [threading.Thread(target=release, args=(handle, barrier)) for _ in range(2)]
    for t in threads: t.start()
    for t in threads: t.join()
stop = True
print("KeyErrors", len(errors), "violations", len(emu.take_contract_violations()))
m._shutdown_vessaruntime()
"""


def test_concurrent_release_of_one_registration_is_safe():
    for returncode, output in run_child(DOUBLE_RELEASE, runs=3):
        assert returncode == 0, output[-2000:]
        assert "KeyErrors 0 violations 0" in output, output[-2000:]


# Interpreter exit while a runtime thread runs Python code that has given the lock up (sleep,
# blocking I/O, waiting on a lock): the interpreter ends that thread with a forced unwind from
# inside its own code, and the module's cleanups on the way must not touch Python. CPython 3.14
# (and 3.13 from 3.13.8) blocks the thread for good instead: then the exit must not wait for it.
EXIT_WHILE_CALLBACK_RELEASED_THE_LOCK = {
    "completion": """
        for _ in range(100):
            m.signin_silently(ap, "c", lambda result: time.sleep(0.005))
        time.sleep(0.02)
    """,
    "log": """
        handle = m.register_logging_callback(lambda text, level: time.sleep(0.002))
        def spam():
            while True:
                emu.emit_log("late", 3, thread="native", threads=3)
        threading.Thread(target=spam, daemon=True).start()
        time.sleep(0.02)
    """,
}


@pytest.mark.parametrize("kind", sorted(EXIT_WHILE_CALLBACK_RELEASED_THE_LOCK))
def test_exit_while_a_callback_has_released_the_lock(kind):
    results = run_child(EXIT_WHILE_CALLBACK_RELEASED_THE_LOCK[kind], runs=8)
    crashes = [output[-500:] for returncode, output in results if returncode != 0]
    assert not crashes, f"{len(crashes)} of {len(results)} runs failed: {crashes[0]}"


# A log line (or completion) delivered on a runtime thread that already holds the lock, e.g. by a
# runtime that writes a line inside a call made with the lock held (the module releases errors
# returned by release operations with the lock held). Entering Python then takes nothing; taking
# the thread's kept state again would abort ("non-NULL old thread state"). Simulated by calling
# the emulator's emit through ctypes.PyDLL, which keeps the lock.
REENTRANT_LOG = """
lib = emu.library()
holding = ctypes.PyDLL(lib._name, **({} if os.name == "nt" else {"mode": os.RTLD_NOLOAD}))
holding.VESSAEMU_EmitLog.restype = ctypes.c_int32
holding.VESSAEMU_EmitLog.argtypes = lib.VESSAEMU_EmitLog.argtypes
keep, lines = [], []
handle = m.register_logging_callback(lambda text, level: lines.append(text))
done = threading.Event()
def on_worker(result):
    holding.VESSAEMU_EmitLog(emu._text("nested", keep), 3, 0)
    done.set()
m.signin_silently(ap, "c", on_worker)
print("delivered", done.wait(5) and "nested" in lines)
handle.release_logging_callback()
m._shutdown_vessaruntime()
"""


def test_log_line_on_runtime_thread_that_holds_the_lock():
    [(returncode, output)] = run_child(REENTRANT_LOG)
    assert returncode == 0, output[-2000:]
    assert "delivered True" in output


# A start refused by the runtime keeps the record in _callbackStorage, but the module's own
# reference to the record's key, meant for a completion that never comes, must go: once other
# code removes the record, the key is freed.
REFUSED_STARTS = {
    "SignInAsync": lambda ap, acc, cb: native.signin(0, ap, "c", None, cb),
    "SignInSilentlyAsync": lambda ap, acc, cb: native.signin_silently(ap, "c", cb),
    "AcquireTokenSilentlyAsync": lambda ap, acc, cb: native.acquire_token_silently(ap, "c", acc, cb),
    "ReadAccountByIdAsync": lambda ap, acc, cb: native.read_account_by_id("a", "c", cb),
    "DiscoverAccountsAsync": lambda ap, acc, cb: native.discover_accounts("x", "c", cb),
}


@pytest.mark.parametrize("operation", sorted(REFUSED_STARTS))
def test_refused_start_keeps_no_hidden_reference_to_the_key(started, operation):
    params = native.VESSARuntimeAuthParameters("client", "https://auth")
    started.add_account(account_id="acc1")
    account = native.VESSARuntimeAccount(started.new_account_handle("acc1"))
    started.fail_next(operation, 3)
    with pytest.raises(RuntimeError):
        REFUSED_STARTS[operation](params, account, print)
    [(key, record)] = native._callbackStorage.items()
    native._callbackStorage.clear()
    del record, params, account
    # No more than an object held by a local name alone: the count getrefcount shows for that
    # differs between CPythons (from 3.14 its argument can be a borrowed reference).
    alone = object()
    assert sys.getrefcount(key) == sys.getrefcount(alone)
