"""Code that the interpreter life-cycle tests run inside subinterpreters and embedded interpreters:
plain source texts, since each runs in an interpreter of its own."""

# A whole sign-in through the native module, in whatever interpreter runs it: start-up, a log
# registration, an interactive sign-in, a silent token, discovery, sign-out and shut-down. It
# raises (AssertionError) on anything unexpected and prints "sign-in ok" at its end.
SIGN_IN = """
import pyvessaruntime.pyvessaruntime as m

def wait(start, *args):
    done = m.CallbackData()
    start(*args, done.complete)
    assert done.signal.wait(30), "no completion"
    assert done.result.get_error() is None, done.result.get_error().get_context()
    return done.result

levels = []
m._startup_vessaruntime()
registration = m.register_logging_callback(lambda text, level: levels.append(level))
params = m.VESSARuntimeAuthParameters("client", "https://login.example.test/common")
params.set_requested_scopes(["user.read"])
signed_in = wait(m.signin_interactively, 0, params, "corr", None)
account = signed_in.get_account()
assert signed_in.get_access_token().count(".") == 2
token = wait(m.acquire_token_silently, params, "corr", account)
assert token.get_granted_scopes() == ["user.read"]
found = wait(m.discover_accounts, "client", "corr").get_accounts()
assert isinstance(found, list)
wait(m.signout_silently, "client", "corr", account)
m._shutdown_vessaruntime()
assert levels and all(isinstance(level, m.LogLevel) for level in levels), levels
assert m._callbackStorage == {} and m._logCallbackStorage == {}
del signed_in, token, found, account, params, registration
print("sign-in ok", flush=True)
"""

# Leaves the runtime running with completions still to come (held, then released to the
# runtime's threads) and a log registration whose lines keep arriving from a native thread:
# what an interpreter ending without shut-down leaves behind.
LEAVE_BUSY = """
import pyvessaruntime.pyvessaruntime as m
m._startup_vessaruntime()
registration = m.register_logging_callback(lambda text, level: None)
late = []
for i in range({count}):
    m.discover_accounts("client", "corr", late.append)
print("left busy", flush=True)
"""

# Waits for `count` completions delivered on the runtime's threads while this interpreter runs.
COMPLETIONS = """
import threading
import pyvessaruntime.pyvessaruntime as m
m._startup_vessaruntime()
import sys
done = threading.Semaphore(0)
elsewhere = []
def callback(result):
    import sys as running  # the sys module of the interpreter that runs this callback
    if running.modules is not sys.modules:
        elsewhere.append(1)
    result.get_accounts()
    done.release()
for i in range({count}):
    m.discover_accounts("client", "corr", callback)
for i in range({count}):
    assert done.acquire(timeout=30), "completion missing"
m._shutdown_vessaruntime()
assert m._callbackStorage == {{}} and not elsewhere, len(elsewhere)
print("completions ok", flush=True)
"""
