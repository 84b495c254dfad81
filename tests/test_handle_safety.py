"""Handles stay safe at the edges: no runtime call with the interpreter lock held, no handle lost
or released twice when an allocation fails, and an exception propagating through a destructor
whose release fails survives."""

import gc
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import types

import pytest

import pyvessaruntime
import pyvessaruntime.pyvessaruntime as m
from runtime_abi import lib as runtime

HEADER = pathlib.Path(__file__).resolve().parent.parent / "runtime" / "vessaruntime.h"
LIBRARY = pathlib.Path(pyvessaruntime.runtime_path())


# ---- no runtime call with the interpreter lock held ----------------------------------------

# An LD_PRELOAD shim in front of every VESSARUNTIME_ operation: it reports a call made while the
# calling thread holds the interpreter lock. There is no exception, not even for releasing the
# error that a release operation returned.
SHIM_HEAD = r"""
#define _GNU_SOURCE
#include <Python.h>
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
typedef uintptr_t U;
typedef U (*F)(U, U, U, U, U, U, U, U, U, U);
static void* look(const char* name) {
  void* p = dlsym(RTLD_NEXT, name);
  static void* lib;
  if (p) return p;
  if (!lib) lib = dlopen(LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  if (!lib) lib = dlopen(LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (!lib || !(p = dlsym(lib, name))) abort();
  return p;
}
#if PY_VERSION_HEX < 0x030D0000
#define PyThreadState_GetUnchecked _PyThreadState_UncheckedGet
#endif
static void check(const char* name, U first) {
  (void)first;
  if (!Py_IsInitialized() || PyThreadState_GetUnchecked() == NULL) return;
  fprintf(stderr, "LOCK HELD: %s\n", name);
}
"""

SHIM_FUNCTION = r"""
U {name}(U a, U b, U c, U d, U e, U f, U g, U h, U i, U j) {{
  static F real;
  if (!real) real = (F)look("{name}");
  check("{name}", a);
  return real(a, b, c, d, e, f, g, h, i, j);
}}
"""

SCENARIO = r"""
import gc, sys, threading
import pyvessaruntime
import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import emulator_internals as emu

FAIL = dict(status=3, code=-5, tag=7, context="ctx")
aid = emu.add_account(user_name="u")
ids = [emu.add_account() for _ in range(3)]

def refused(call):
    try:
        call()
    except RuntimeError:
        return
    raise AssertionError("no RuntimeError")

account = m.VESSARuntimeAccount(emu.new_account_handle(aid))
for name in dir(account):
    if name.startswith("get_"):
        getattr(account, name)()
emu.fail_next("GetUserName", **FAIL, after=1)
refused(account.get_user_name)

result = m.VESSARuntimeAuthResult(emu.new_auth_result(
    account_id=aid, id_token="i", granted_scopes="a b", telemetry="{}", error=emu.Error(3, 1, 2, "c")))
for name in dir(result):
    if name.startswith(("get_", "is_")):
        getattr(result, name)()
error = result.get_error()
error.get_status(), error.get_error_code(), error.get_tag(), error.get_context()
for operation in ("GetAccount", "GetError", "IsPopAuthorization", "GetTelemetryData"):
    emu.fail_next(operation, **FAIL)
refused(result.get_account); refused(result.get_error)
refused(result.is_pop_authorization); refused(result.get_telemetry_data)

for cls, make in ((m.VESSARuntimeSignOutResult, emu.new_signout_result),
                  (m.VESSARuntimeReadAccountResult, emu.new_read_account_result)):
    obj = cls(make(error=emu.Error(4), telemetry="[1]"))
    for name in dir(obj):
        if name.startswith("get_"):
            getattr(obj, name)()
m.VESSARuntimeReadAccountResult(emu.new_read_account_result(account_id=aid)).get_account()

discover = m.VESSARuntimeDiscoverAccountsResult(emu.new_discover_accounts_result(account_ids=ids))
emu.fail_next("DiscoverAccountsResult_GetAccount", **FAIL, after=1)
refused(discover.get_accounts)
threads = [threading.Thread(target=discover.get_accounts) for _ in range(4)]
[t.start() for t in threads]; [t.join() for t in threads]
discover.get_telemetry_data(); discover.get_error()
kept = discover.get_accounts()
del discover, kept

params = m.VESSARuntimeAuthParameters("c", "a")
params.set_requested_scopes(["a", "b"]); params.set_redirect_uri("r"); params.set_decoded_claims("{}")
params.set_access_token_to_renew("t"); params.set_pop_params("GET", "h", None, None)
params.set_additional_parameter("k", "v"); params.__init__("c2", "a2")
emu.fail_next("SetRedirectUri", **FAIL)
refused(lambda: params.set_redirect_uri("r"))
emu.fail_next("CreateAuthParameters", **FAIL)
refused(lambda: m.VESSARuntimeAuthParameters("c", "a"))

handle = m.VESSARuntimeAsyncHandle()
refused(handle.cancel_async_operation)
m._startup_vessaruntime()
emu.set_completion_mode("held")
handle = m.signin_silently(params, "corr", lambda r: None)
handle.cancel_async_operation()
emu.fail_next("CancelAsyncOperation", **FAIL)
refused(handle.cancel_async_operation)
emu.wait_idle()

for release, obj in (("ReleaseAsyncHandle", handle), ("ReleaseAuthParameters", params),
                     ("ReleaseAccount", account), ("ReleaseAuthResult", result)):
    emu.fail_next(release, **FAIL)
del handle, params, account, result, obj
m._shutdown_vessaruntime()
gc.collect()
emu.take_contract_violations()
print("done")
"""


@pytest.fixture(scope="module")
def lock_shim(tmp_path_factory):
    compiler = shutil.which("gcc") or shutil.which("cc")
    if not compiler or not HEADER.exists() or not LIBRARY.exists():
        pytest.skip("needs a C compiler, the runtime header and the emulator library")
    header = HEADER.read_text()
    names = re.findall(r"VESSARUNTIME_FN\([^)]*\)\s*(VESSARUNTIME_\w+)\(", header)
    names += re.findall(r"VESSARUNTIME_ACCOUNT_STRING_GETTER\((VESSARUNTIME_\w+)\);", header)
    assert len(set(names)) == 65, "the shim must cover every runtime operation"
    parts = [SHIM_HEAD.replace("LIBRARY", '"%s"' % LIBRARY)]
    parts += [SHIM_FUNCTION.format(name=name) for name in names]
    directory = tmp_path_factory.mktemp("shim")
    source, shim = directory / "shim.c", directory / "shim.so"
    source.write_text("".join(parts))
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-I", sysconfig.get_paths()["include"],
                    str(source), "-o", str(shim), "-ldl"], check=True)
    return shim


def run_with_shim(shim, script):
    # A sanitizer runtime preloaded for the suite has to stay first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    env = {**os.environ, "LD_PRELOAD": preload}
    return subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True,
                          timeout=120, env=env)


def test_shim_sees_a_call_made_with_the_lock_held(lock_shim):
    # ctypes.PyDLL keeps the interpreter lock during the call: the shim must report it.
    done = run_with_shim(lock_shim, "import ctypes, pyvessaruntime.pyvessaruntime\n"
                                    "ctypes.PyDLL(None).VESSARUNTIME_ReleaseError(12345)")
    assert "LOCK HELD: VESSARUNTIME_ReleaseError" in done.stderr


def test_no_runtime_call_with_the_lock_held(lock_shim):
    done = run_with_shim(lock_shim, SCENARIO)
    assert done.returncode == 0 and done.stdout.strip() == "done", done.stderr
    assert "LOCK HELD" not in done.stderr, done.stderr


# ---- a failed allocation never loses a handle -------------------------------------------------

OWNING_GETTERS = [
    ("auth get_account", lambda e: m.VESSARuntimeAuthResult(
        e.new_auth_result(account_id=e.add_account())), lambda o: o.get_account()),
    ("auth get_error", lambda e: m.VESSARuntimeAuthResult(
        e.new_auth_result(error=e.Error(3, 1, 2, "c"))), lambda o: o.get_error()),
    ("read get_account", lambda e: m.VESSARuntimeReadAccountResult(
        e.new_read_account_result(account_id=e.add_account())), lambda o: o.get_account()),
    ("signout get_error", lambda e: m.VESSARuntimeSignOutResult(
        e.new_signout_result(error=e.Error(3))), lambda o: o.get_error()),
    ("discover get_accounts", lambda e: m.VESSARuntimeDiscoverAccountsResult(
        e.new_discover_accounts_result(account_ids=[e.add_account() for _ in range(3)])),
     lambda o: o.get_accounts()),
    ("auth parameters", lambda e: m.VESSARuntimeAuthParameters.__new__(
        m.VESSARuntimeAuthParameters), lambda o: o.__init__("c", "a")),
    ("failed query", lambda e: m.VESSARuntimeAuthResult(0), lambda o: o.get_id_token()),
]


@pytest.mark.parametrize("make, call", [case[1:] for case in OWNING_GETTERS],
                         ids=[case[0] for case in OWNING_GETTERS])
def test_allocation_failure_loses_no_handle(emu, unraisable, make, call):
    _testcapi = pytest.importorskip("_testcapi")
    for nth in range(30):
        emu.reset()
        obj = make(emu)
        failure = None
        _testcapi.set_nomemory(nth, nth + 1)
        try:
            got = call(obj)
        except BaseException as exc:  # MemoryError, or the runtime's refusal of handle 0
            failure, got = exc, None
        finally:
            _testcapi.remove_mem_hooks()
        assert failure is None or isinstance(failure, (MemoryError, RuntimeError)), failure
        failure = got = obj = None
        gc.collect()
        emu.take_contract_violations()  # handle 0 is refused by design in the last case
        assert emu.live_handle_count() == 0, (nth, emu.live_handles())


RAW_HANDLE_CLASSES = {
    "auth_result": (m.VESSARuntimeAuthResult, lambda e: e.new_auth_result(), "ReleaseAuthResult"),
    "signout_result": (m.VESSARuntimeSignOutResult, lambda e: e.new_signout_result(),
                       "ReleaseSignOutResult"),
    "discover_accounts_result": (m.VESSARuntimeDiscoverAccountsResult,
                                 lambda e: e.new_discover_accounts_result(),
                                 "ReleaseDiscoverAccountsResult"),
    "account": (m.VESSARuntimeAccount, lambda e: e.new_account_handle(e.add_account()),
                "ReleaseAccount"),
}


@pytest.mark.parametrize("cls, make, release", RAW_HANDLE_CLASSES.values(),
                         ids=RAW_HANDLE_CLASSES.keys())
def test_a_failed_construction_leaves_the_handle_to_its_caller(emu, cls, make, release):
    _testcapi = pytest.importorskip("_testcapi")
    for nth in range(10):
        handle = make(emu)
        lists = [[] for _ in range(100)]  # a new list is then a real allocation
        _testcapi.set_nomemory(nth, nth + 1)
        try:
            obj = cls(handle)
        except MemoryError:
            obj = None
        finally:
            _testcapi.remove_mem_hooks()
            lists = None
        if obj is None:
            assert handle in emu.live_handle_values(), nth
            assert getattr(runtime, "VESSARUNTIME_" + release)(handle) is None
        obj = None
        assert emu.contract_violations() == 0 and emu.live_handle_count() == 0, nth


COMPLETIONS = {
    "auth": lambda e, cb: m.signin_silently(e.params, "corr", cb),
    "signout": lambda e, cb: m.signout_silently("c", "corr", e.account, cb),
    "read": lambda e, cb: m.read_account_by_id(e.account_id, "corr", cb),
    "discover": lambda e, cb: m.discover_accounts("c", "corr", cb),
}


@pytest.mark.keeps_callback_records  # starts that ran out of memory after registering
@pytest.mark.parametrize("start", COMPLETIONS.values(), ids=COMPLETIONS.keys())
def test_allocation_failure_in_a_completion_releases_the_result_once(started, unraisable, start):
    _testcapi = pytest.importorskip("_testcapi")
    started.set_completion_mode("inline")
    objects = types.SimpleNamespace(params=m.VESSARuntimeAuthParameters("c", "a"))
    for nth in range(80):
        objects.account_id = started.add_account()  # a sign-out removes it
        objects.account = m.VESSARuntimeAccount(started.new_account_handle(objects.account_id))
        received = []
        # Empties the interpreter's free list of lists, so a new list is a real allocation.
        lists = [[] for _ in range(100)]
        _testcapi.set_nomemory(nth, nth + 1)
        try:
            handle = start(objects, received.append)
        except MemoryError:
            handle = None
        finally:
            _testcapi.remove_mem_hooks()
            lists = None
        handle = objects.account = None
        received.clear()
        gc.collect()
        assert started.contract_violations() == 0, (nth, started.take_contract_violations())
        live = {k: n for k, n in started.live_handles().items() if n and k != "auth_parameters"}
        assert live == {}, (nth, live)


# ---- an exception propagating through a destructor whose release fails --------------------

def make_owner(emu, kind):
    if kind == "account":
        return m.VESSARuntimeAccount(emu.new_account_handle(emu.add_account())), "ReleaseAccount"
    if kind == "auth_parameters":
        return m.VESSARuntimeAuthParameters("c", "a"), "ReleaseAuthParameters"
    made = {
        "auth_result": (m.VESSARuntimeAuthResult, emu.new_auth_result, "ReleaseAuthResult"),
        "signout": (m.VESSARuntimeSignOutResult, emu.new_signout_result, "ReleaseSignOutResult"),
        "read": (m.VESSARuntimeReadAccountResult, emu.new_read_account_result,
                 "ReleaseReadAccountResult"),
        "discover": (m.VESSARuntimeDiscoverAccountsResult, emu.new_discover_accounts_result,
                     "ReleaseDiscoverAccountsResult"),
    }[kind]
    return made[0](made[1]()), made[2]


@pytest.mark.parametrize("kind", ["account", "auth_parameters", "auth_result", "signout", "read",
                                  "discover"])
def test_propagating_exception_survives_a_failed_release(emu, unraisable, kind):
    owner, release = make_owner(emu, kind)
    emu.fail_next(release, status=3, code=1, tag=2, context="release refused")

    def drop_while_raising():
        nonlocal owner
        try:
            raise KeyError("propagating")
        finally:
            owner = None

    with pytest.raises(KeyError) as info:
        drop_while_raising()
    assert info.value.args == ("propagating",) and info.value.__context__ is None
    assert unraisable == [] and emu.live_handles()["error"] == 0
    # The scripted failure released nothing: hand the handle back so the fixture sees none live.
    live = [h for kind_ in emu.names().kinds if kind_ != "error" for h in emu.live_handle_values(kind_)]
    assert len(live) == 1
    assert getattr(runtime, "VESSARUNTIME_" + release)(live[0]) is None
