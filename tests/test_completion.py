"""The completion bridge: results reach the right callback once, on any thread, or are reported."""

import os
import subprocess
import sys
import sys
import textwrap
import threading

import pytest

import pyvessaruntime.pyvessaruntime as m

CLIENT = "client-id"

KINDS = {
    # operation -> (result class, message for a null result, routine named in reports)
    "SignInSilentlyAsync": (m.VESSARuntimeAuthResult, "Auth callback result handle is NULL",
                            "_VESSARUNTIMEAuthCompletionCallback"),
    "SignOutSilentlyAsync": (m.VESSARuntimeSignOutResult, "SignOut callback result handle is NULL",
                             "_VESSARUNTIMESignOutCompletionCallback"),
    "ReadAccountByIdAsync": (m.VESSARuntimeReadAccountResult,
                             "ReadAccount callback result handle is NULL",
                             "_VESSARUNTIMEReadAccountCompletionCallback"),
    "DiscoverAccountsAsync": (m.VESSARuntimeDiscoverAccountsResult, "Callback result handle is NULL",
                              "_VESSARUNTIMEDiscoverAccountsCompletionCallback"),
}


@pytest.fixture
def account_id(started):
    return started.add_account(user_name="someone@example.test")


def start(operation, account_id, callback):
    """Starts one operation of the given kind and returns its async handle."""
    if operation == "SignInSilentlyAsync":
        return m.signin_silently(m.VESSARuntimeAuthParameters(CLIENT, "authority"), "corr", callback)
    if operation == "SignOutSilentlyAsync":
        account = m.VESSARuntimeAccount(m_account_handle(account_id))
        return m.signout_silently(CLIENT, "corr", account, callback)
    if operation == "ReadAccountByIdAsync":
        return m.read_account_by_id(account_id, "corr", callback)
    return m.discover_accounts(CLIENT, "corr", callback)


def m_account_handle(account_id):
    from pyvessaruntime import emulator_internals as emulator
    return emulator.new_account_handle(account_id)


class Recorder:
    """A callback that records what it receives, on which thread, and what it saw."""

    def __init__(self):
        self.results, self.threads, self.storage_sizes = [], [], []
        self.done = threading.Event()

    def __call__(self, result):
        self.results.append(result)
        self.threads.append(threading.get_ident())
        self.storage_sizes.append(len(m._callbackStorage))
        self.done.set()

    def wait(self):
        assert self.done.wait(10), "no completion arrived"


@pytest.mark.parametrize("mode", ["worker", "inline"])
@pytest.mark.parametrize("operation", KINDS)
def test_result_reaches_the_callback_once(started, account_id, operation, mode):
    started.set_completion_mode(mode)
    recorder = Recorder()
    handle = start(operation, account_id, recorder)
    assert type(handle) is m.VESSARuntimeAsyncHandle
    recorder.wait()
    assert started.wait_idle()
    assert len(recorder.results) == 1 and type(recorder.results[0]) is KINDS[operation][0]
    assert recorder.storage_sizes == [0] and m._callbackStorage == {}
    on_caller = recorder.threads[0] == threading.get_ident()
    assert on_caller == (mode == "inline")
    recorder.results.clear()
    del handle


def test_record_waits_in_storage_until_completion(started, account_id):
    started.set_completion_mode("held")
    recorder = Recorder()
    start("ReadAccountByIdAsync", account_id, recorder)  # the async handle is dropped at once
    (record,) = m._callbackStorage.values()
    assert record.callback is recorder and not recorder.done.is_set()
    assert started.live_handles()["async_operation"] == 0
    started.release_held()
    recorder.wait()
    assert m._callbackStorage == {}
    assert recorder.results.pop().get_account().get_account_id() == account_id


@pytest.mark.parametrize("operation", KINDS)
def test_a_completion_drops_exactly_the_references_to_the_key_it_took(started, account_id,
                                                                       operation):
    started.set_completion_mode("held")
    start(operation, account_id, lambda result: None)
    [(key, record)] = m._callbackStorage.items()  # the record keeps the key as its `id`
    references = sys.getrefcount(key)
    started.release_held()
    assert started.wait_idle() and m._callbackStorage == {}
    # The storage's and the one handed to the runtime with the context value.
    assert sys.getrefcount(key) == references - 2


@pytest.mark.parametrize("operation", KINDS)
def test_null_result_is_reported(started, account_id, unraisable, operation):
    result_class, message, routine = KINDS[operation]
    started.null_completion(operation)
    started.set_completion_mode("inline")
    recorder = Recorder()
    start(operation, account_id, recorder)
    assert recorder.results == [] and m._callbackStorage == {}
    assert unraisable == [(RuntimeError, message, None, "pyvessaruntime.pyvessaruntime." + routine)]


def test_raising_callback_is_reported_not_propagated(started, account_id, unraisable, capfd):
    def callback(result):
        raise ValueError("from the callback")
    m.discover_accounts(CLIENT, "corr", callback)
    assert started.wait_idle()
    assert unraisable == [(ValueError, "from the callback", None,
                           "pyvessaruntime.pyvessaruntime._VESSARUNTIMEDiscoverAccountsCompletionCallback")]
    assert "ValueError: from the callback" in capfd.readouterr().err
    assert m._callbackStorage == {}


def test_uncallable_callback_fails_at_completion(started, account_id, unraisable):
    m.read_account_by_id(account_id, "corr", 42)
    assert started.wait_idle()
    assert len(unraisable) == 1 and unraisable[0][0] is TypeError


def test_record_removed_by_other_code_is_not_called(started, account_id):
    started.set_completion_mode("held")
    recorder = Recorder()
    start("DiscoverAccountsAsync", account_id, recorder)
    record = m._callbackStorage.popitem()[1]
    started.release_held()
    assert started.wait_idle()
    assert recorder.results == [] and record.callback is recorder  # the result was released


def test_callback_may_keep_the_result(started, account_id):
    data = m.CallbackData()
    m.read_account_by_id(account_id, "corr", data.complete)
    assert data.signal.wait(10)
    assert started.wait_idle()
    assert data.result.get_account().get_user_name() == "someone@example.test"
    assert started.live_handles()["read_account_result"] == 1
    data.result = None
    assert started.live_handles()["read_account_result"] == 0


def test_cancel_completes_with_an_error_result(started, account_id):
    started.set_completion_mode("held")
    recorder = Recorder()
    handle = start("SignInSilentlyAsync", account_id, recorder)
    assert handle.cancel_async_operation() is None
    recorder.wait()
    error = recorder.results.pop().get_error()
    assert error.get_status() is m.Response_Status.Status_ApplicationCanceled
    handle.cancel_async_operation()  # after completion: the runtime decides, here no error
    assert started.release_held() == 0


def test_shutdown_delivers_every_pending_callback(emu):
    m._startup_vessaruntime()
    emu.add_account(user_name="someone@example.test")
    emu.set_completion_mode("held")
    recorders = [Recorder() for _ in range(5)]
    for recorder in recorders:
        m.discover_accounts(CLIENT, "corr", recorder)
    m._shutdown_vessaruntime()
    assert all(len(r.results) == 1 for r in recorders)
    assert all(r.results[0].get_error() is not None for r in recorders)
    assert m._callbackStorage == {}
    for recorder in recorders:
        recorder.results.clear()


def test_completions_from_many_threads_stress(started, account_id):
    """Several Python threads start operations completed on the workers, with cancels.

    STRESS_SCALE (an environment variable, default 1) multiplies the work: `make stress`."""
    per_thread, nthreads = 400 * int(os.environ.get("STRESS_SCALE", "1")), 4
    counts = {}
    lock = threading.Lock()

    def callback_for(key):
        def callback(result):
            with lock:
                counts[key] = counts.get(key, 0) + 1
        return callback

    def worker(n):
        params = m.VESSARuntimeAuthParameters(CLIENT, "authority")
        for i in range(per_thread):
            callback = callback_for((n, i))
            if i % 3 == 0:
                handle = m.signin_silently(params, f"corr-{n}-{i}", callback)
            elif i % 3 == 1:
                handle = m.discover_accounts(CLIENT, "corr", callback)
            else:
                handle = m.read_account_by_id(account_id, "corr", callback)
            if i % 5 == 0:
                handle.cancel_async_operation()

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert started.wait_idle(timeout=30)
    assert len(counts) == per_thread * nthreads and set(counts.values()) == {1}
    assert m._callbackStorage == {}


def run_script(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)


def test_system_exit_in_a_callback_does_not_end_the_process():
    result = run_script("""
        import sys, threading
        import pyvessaruntime.pyvessaruntime as m
        from pyvessaruntime import emulator_internals as emulator
        reports = []
        sys.unraisablehook = lambda r: reports.append(r.exc_type)
        m._startup_vessaruntime()
        done = threading.Event()
        def callback(result):
            done.set()
            raise SystemExit(3)
        m.discover_accounts("client", "corr", callback)
        assert done.wait(10)
        assert emulator.wait_idle()
        m._shutdown_vessaruntime()
        print("still running", reports == [SystemExit])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "still running True"
    assert "SystemExit: 3" in result.stderr


@pytest.mark.parametrize("mode, delay_ms", [("worker", 0), ("delay", 1), ("delay", 5)])
@pytest.mark.parametrize("attempt", range(8))
def test_exit_with_operations_pending(mode, delay_ms, attempt):
    # Completions and log lines keep arriving while the interpreter finalizes and after: they are
    # dropped, and the process neither crashes nor hangs. Callbacks call back into the runtime,
    # so some threads are ended by the interpreter in the middle of a call; each try hits
    # another moment of the exit.
    result = run_script(f"""
        import threading
        import pyvessaruntime.pyvessaruntime as m
        from pyvessaruntime import emulator_internals as emulator
        m._startup_vessaruntime()
        m.register_logging_callback(lambda message, level: None)
        emulator.set_completion_mode({mode!r}, delay_ms={delay_ms})
        for i in range(300):
            m.discover_accounts("client", "corr", lambda result: result.get_accounts())
        def chatter():
            while True:
                emulator.emit_log("late line", 3, thread="native")
        threading.Thread(target=chatter, daemon=True).start()
        print("exiting")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "exiting" and "Fatal" not in result.stderr
