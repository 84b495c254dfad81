"""The emulated runtime itself, driven directly through its C operations (ctypes) and the control
interface: handle checking, the two-call string protocol, scripted failures, accounts, auth
parameters and results."""

import ctypes
import pathlib
import re
import shutil
import subprocess
import sys
import threading

import pytest

import pyvessaruntime.pyvessaruntime as native
from pyvessaruntime import Status
from pyvessaruntime import emulator_internals as emulator
from runtime_abi import lib as runtime

HEADER = pathlib.Path(__file__).resolve().parent.parent / "runtime" / "vessaruntime.h"

STATUS_UNEXPECTED = 0
STATUS_CONTRACT_VIOLATION = 6
STATUS_INSUFFICIENT_BUFFER = 10


# -- helpers --------------------------------------------------------------------------------


def release_error(lib, error):
    assert lib.VESSARUNTIME_ReleaseError(error) is None


def error_values(lib, error):
    """(status, code, tag, context) of an error handle, which is released."""
    assert error, "expected an error handle"
    status, code, tag = ctypes.c_int32(), ctypes.c_int64(), ctypes.c_int32()
    assert lib.VESSARUNTIME_GetStatus(error, ctypes.byref(status)) is None
    assert lib.VESSARUNTIME_GetErrorCode(error, ctypes.byref(code)) is None
    assert lib.VESSARUNTIME_GetTag(error, ctypes.byref(tag)) is None
    context = read_string(lib, lib.VESSARUNTIME_GetContext, error)
    release_error(lib, error)
    return status.value, code.value, tag.value, context


def status_of(lib, error):
    return error_values(lib, error)[0]


def units_to_str(units):
    return b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le", "surrogatepass")


def read_units(lib, getter, handle):
    """The two-call protocol; returns (size of the first call, units without terminator or None)."""
    size = ctypes.c_int32(-99)
    first = getter(handle, None, ctypes.byref(size))
    if first is not None:
        # Only the status: reading this error's context would answer with another such error.
        status = ctypes.c_int32()
        assert lib.VESSARUNTIME_GetStatus(first, ctypes.byref(status)) is None
        assert status.value == STATUS_INSUFFICIENT_BUFFER
        release_error(lib, first)
    needed = size.value
    if needed == 0:
        return needed, None
    buffer = (ctypes.c_uint16 * needed)()
    assert getter(handle, buffer, ctypes.byref(size)) is None
    assert size.value == needed and buffer[needed - 1] == 0
    return needed, list(buffer[: needed - 1])


def read_string(lib, getter, handle):
    units = read_units(lib, getter, handle)[1]
    return None if units is None else units_to_str(units)


def wide(text):
    """A zero-terminated UTF-16 buffer (lone surrogates kept) for text arguments."""
    data = text.encode("utf-16-le", "surrogatepass") + b"\0\0"
    return ctypes.create_string_buffer(data, len(data))


def out_handle():
    return ctypes.c_void_p()


LOG_ROUTINE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p)(
    lambda message, level, context: None)
NO_COMPLETION = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)(
    lambda result, context: None)


# -- the export table -----------------------------------------------------------------------


def header_operations():
    text = HEADER.read_text()
    names = set(re.findall(r"\b(VESSARUNTIME_\w+)\s*\(", text))
    names |= {m for m in re.findall(r"ACCOUNT_STRING_GETTER\((VESSARUNTIME_\w+)\)", text)}
    return sorted(n for n in names if n not in {"VESSARUNTIME_FN", "VESSARUNTIME_ACCOUNT_STRING_GETTER"})


def library_path():
    emulator.library()
    for line in pathlib.Path("/proc/self/maps").read_text().splitlines():
        if line.endswith("/libvessaruntime.so"):
            return line.split(None, 5)[5]
    pytest.skip("library path not found in /proc/self/maps")


@pytest.mark.skipif(not HEADER.exists(), reason="needs the source tree's header")
def test_operations_table_matches_header():
    expected = header_operations()
    assert len(expected) == 65
    assert sorted("VESSARUNTIME_" + n for n in emulator.names().operations) == expected


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_library_exports_only_the_contract_and_the_control_interface():
    out = subprocess.run(["nm", "-D", "--defined-only", library_path()], capture_output=True,
                         text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    runtime = [s for s in symbols if s.startswith("VESSARUNTIME_")]
    assert len(runtime) == 65
    assert [s for s in symbols if not s.startswith(("VESSARUNTIME_", "VESSAEMU_"))] == []


# -- handle checking ------------------------------------------------------------------------


def make_handle(emu, kind):
    if kind == "error":
        return emu.make_error(1)
    if kind == "account":
        return emu.new_account_handle(emu.add_account())
    if kind == "auth_parameters":
        handle = out_handle()
        assert runtime.VESSARUNTIME_CreateAuthParameters(wide("c"), wide("a"), ctypes.byref(handle)) is None
        return handle.value
    if kind == "auth_result":
        return emu.new_auth_result()
    if kind == "signout_result":
        return emu.new_signout_result()
    if kind == "read_account_result":
        return emu.new_read_account_result()
    if kind == "discover_accounts_result":
        return emu.new_discover_accounts_result()
    if kind == "async_operation":
        return emu.new_async_handle()
    if kind == "log_callback":
        return take_handle(runtime, runtime.VESSARUNTIME_RegisterLogCallback, LOG_ROUTINE, None)
    raise AssertionError(kind)


RELEASE = {
    "error": "ReleaseError",
    "account": "ReleaseAccount",
    "auth_parameters": "ReleaseAuthParameters",
    "auth_result": "ReleaseAuthResult",
    "signout_result": "ReleaseSignOutResult",
    "read_account_result": "ReleaseReadAccountResult",
    "discover_accounts_result": "ReleaseDiscoverAccountsResult",
    "async_operation": "ReleaseAsyncHandle",
    "log_callback": "ReleaseLogCallbackHandle",
}


def release(lib, kind, handle):
    assert getattr(lib, "VESSARUNTIME_" + RELEASE[kind])(handle) is None


def _i32():
    return ctypes.byref(ctypes.c_int32())


def _i64():
    return ctypes.byref(ctypes.c_int64())


def _h():
    return ctypes.byref(out_handle())


def _string():
    return (None, ctypes.byref(ctypes.c_int32()))


# Every handle argument of every operation: (operation, kind checked, call with that handle and
# otherwise valid arguments). Other handle arguments are filled with live handles by `fill`.
HANDLE_ARGUMENTS = [
    ("GetStatus", "error", lambda f, h: f(h, _i32())),
    ("GetErrorCode", "error", lambda f, h: f(h, _i64())),
    ("GetTag", "error", lambda f, h: f(h, _i32())),
    ("GetContext", "error", lambda f, h: f(h, *_string())),
    *[(name, "account", lambda f, h: f(h, *_string())) for name in (
        "GetAccountId", "GetHomeAccountId", "GetEnvironment", "GetRealm", "GetLocalAccountId",
        "GetUserName", "GetGivenName", "GetFamilyName", "GetMiddleName", "GetDisplayName",
        "GetAdditionalFieldsJson", "GetHomeEnvironment", "GetClientInfo")],
    ("SetRequestedScopes", "auth_parameters", lambda f, h: f(h, wide("s"))),
    ("SetRedirectUri", "auth_parameters", lambda f, h: f(h, wide("r"))),
    ("SetDecodedClaims", "auth_parameters", lambda f, h: f(h, wide("c"))),
    ("SetAccessTokenToRenew", "auth_parameters", lambda f, h: f(h, wide("t"))),
    ("SetPopParams", "auth_parameters", lambda f, h: f(h, wide("GET"), wide("h"), wide(""), wide(""))),
    ("SetAdditionalParameter", "auth_parameters", lambda f, h: f(h, wide("k"), wide("v"))),
    ("GetAccount", "auth_result", lambda f, h: f(h, _h())),
    *[(name, "auth_result", lambda f, h: f(h, *_string())) for name in (
        "GetIdToken", "GetRawIdToken", "GetAccessToken", "GetGrantedScopes",
        "GetAuthorizationHeader", "GetTelemetryData")],
    ("IsPopAuthorization", "auth_result", lambda f, h: f(h, _i32())),
    ("GetAccessTokenExpiryTime", "auth_result", lambda f, h: f(h, _i64())),
    ("GetError", "auth_result", lambda f, h: f(h, _h())),
    ("SignOutResult_GetError", "signout_result", lambda f, h: f(h, _h())),
    ("SignOutResult_GetTelemetryData", "signout_result", lambda f, h: f(h, *_string())),
    ("ReadAccountResult_GetAccount", "read_account_result", lambda f, h: f(h, _h())),
    ("ReadAccountResult_GetError", "read_account_result", lambda f, h: f(h, _h())),
    ("ReadAccountResult_GetTelemetryData", "read_account_result", lambda f, h: f(h, *_string())),
    ("DiscoverAccountsResult_GetAccount", "discover_accounts_result", lambda f, h: f(h, 0, _h())),
    ("DiscoverAccountsResult_GetError", "discover_accounts_result", lambda f, h: f(h, _h())),
    ("DiscoverAccountsResult_GetTelemetryData", "discover_accounts_result",
     lambda f, h: f(h, *_string())),
    ("CancelAsyncOperation", "async_operation", lambda f, h: f(h)),
    *[(op, kind, lambda f, h: f(h)) for kind, op in RELEASE.items() if kind != "error"],
]

COMPLETION = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)(lambda result, context: None)
START_OPERATIONS = [
    ("SignInAsync", "auth_parameters",
     lambda f, p, a: f(None, p, wide("c"), wide(""), COMPLETION, None, _h())),
    ("SignInSilentlyAsync", "auth_parameters", lambda f, p, a: f(p, wide("c"), COMPLETION, None, _h())),
    ("SignInInteractivelyAsync", "auth_parameters",
     lambda f, p, a: f(None, p, wide("c"), wide(""), COMPLETION, None, _h())),
    ("AcquireTokenSilentlyAsync", "auth_parameters",
     lambda f, p, a: f(p, wide("c"), a, COMPLETION, None, _h())),
    ("AcquireTokenSilentlyAsync", "account", lambda f, p, a: f(p, wide("c"), a, COMPLETION, None, _h())),
    ("AcquireTokenInteractivelyAsync", "auth_parameters",
     lambda f, p, a: f(None, p, wide("c"), a, COMPLETION, None, _h())),
    ("AcquireTokenInteractivelyAsync", "account",
     lambda f, p, a: f(None, p, wide("c"), a, COMPLETION, None, _h())),
    ("SignOutSilentlyAsync", "account", lambda f, p, a: f(wide("c"), wide("x"), a, COMPLETION, None, _h())),
]

BAD_HANDLES = ["null", "released", "wrong_kind", "unknown", "dropped_by_reset"]
REASONS = {
    "null": "(null)",
    "released": "(it was released)",
    "wrong_kind": "(it is a live ",
    "unknown": "(unknown handle)",
    "dropped_by_reset": "(it was dropped by a reset)",
}


def bad_handle(emu, lib, kind, case):
    """A handle value that must be refused where a `kind` handle is expected, and a cleanup."""
    if case == "null":
        return 0, lambda: None
    if case == "unknown":
        return 0x1234, lambda: None
    if case == "released":
        handle = make_handle(emu, kind)
        release(lib, kind, handle)
        return handle, lambda: None
    if case == "dropped_by_reset":
        make_handle(emu, kind)
        handle = make_handle(emu, kind)
        emu.reset()
        release(lib, kind, handle)  # the one quiet release a dropped handle gets
        return handle, lambda: None
    other = "auth_result" if kind == "error" else "error"
    handle = make_handle(emu, other)
    return handle, lambda: release(lib, other, handle)


def assert_single_violation(emu, lib, error, operation, kind, handle, case):
    status, code, tag, context = error_values(lib, error)
    assert (status, code, tag) == (STATUS_CONTRACT_VIOLATION, 0, 0)
    expected = f"VESSARUNTIME_{operation}: handle {handle:#x} is not a live {kind} handle {REASONS[case]}"
    assert context.startswith(expected)
    assert emu.contract_violations() == 1 and emu.last_contract_violation() == context
    assert emu.take_contract_violations() == [context]
    assert emu.contract_violations() == 0 and emu.last_contract_violation() is None


@pytest.mark.parametrize("case", BAD_HANDLES)
@pytest.mark.parametrize("operation,kind,call", HANDLE_ARGUMENTS,
                         ids=[f"{op}" for op, _, _ in HANDLE_ARGUMENTS])
def test_bad_handle_is_a_contract_violation(emu, lib, operation, kind, call, case):
    handle, cleanup = bad_handle(emu, lib, kind, case)
    error = call(getattr(lib, "VESSARUNTIME_" + operation), handle)
    cleanup()
    assert_single_violation(emu, lib, error, operation, kind, handle, case)


@pytest.mark.parametrize("case", BAD_HANDLES)
@pytest.mark.parametrize("operation,kind,call", START_OPERATIONS,
                         ids=[f"{op}-{kind}" for op, kind, _ in START_OPERATIONS])
def test_bad_handle_refuses_to_start(emu, lib, operation, kind, call, case):
    handle, cleanup = bad_handle(emu, lib, kind, case)
    params = make_handle(emu, "auth_parameters") if kind != "auth_parameters" else handle
    account = make_handle(emu, "account") if kind != "account" else handle
    error = call(getattr(lib, "VESSARUNTIME_" + operation), params, account)
    for k, h in (("auth_parameters", params), ("account", account)):
        if k != kind:
            release(lib, k, h)
    cleanup()
    assert_single_violation(emu, lib, error, operation, kind, handle, case)


@pytest.mark.parametrize("case", BAD_HANDLES)
def test_release_error_on_a_bad_handle_counts_but_returns_nothing(emu, lib, case):
    handle, cleanup = bad_handle(emu, lib, "error", case)
    assert lib.VESSARUNTIME_ReleaseError(handle) is None
    cleanup()
    assert emu.live_handle_count() == 0
    [text] = emu.take_contract_violations()
    assert text.startswith(f"VESSARUNTIME_ReleaseError: handle {handle:#x} is not a live error handle")


@pytest.mark.parametrize("kind", list(RELEASE))
def test_a_handle_dropped_by_a_reset_is_released_quietly_once(emu, lib, kind):
    # Its object may outlive the reset in a program that releases it when the object dies.
    handle = make_handle(emu, kind)
    emu.reset()
    release(lib, kind, handle)
    assert emu.take_contract_violations() == []
    error = getattr(lib, "VESSARUNTIME_" + RELEASE[kind])(handle)
    if error:
        lib.VESSARUNTIME_ReleaseError(error)
    assert [text.split(": ", 1)[1] for text in emu.take_contract_violations()] == [
        f"handle {handle:#x} is not a live {kind} handle (it was dropped by a reset)"]


def test_handles_are_unique_pointer_sized_and_never_reused(emu, lib):
    seen = set()
    for _ in range(50):
        handle = emu.make_error(0)
        assert handle not in seen and handle > 0xFFFFFFFF
        seen.add(handle)
        release_error(lib, handle)
    emu.reset()
    assert emu.make_error(0) not in seen
    emu.reset()


def test_live_handle_inventory(emu, lib):
    errors = [emu.make_error(0) for _ in range(3)]
    operation = emu.new_async_handle()
    assert emu.live_handle_values("error") == errors
    assert emu.live_handle_values() == errors + [operation]
    assert emu.live_handles()["error"] == 3 and emu.live_handle_count() == 4
    release_error(lib, errors[1])
    assert emu.live_handle_values("error") == [errors[0], errors[2]]
    for error in (errors[0], errors[2]):
        release_error(lib, error)
    lib.VESSARUNTIME_ReleaseAsyncHandle(operation)
    assert emu.live_handle_values() == [] and emu.live_handle_count() == 0
    with pytest.raises(ValueError):
        emu.live_handle_values("nothing")


@pytest.mark.parametrize("operation,call,argument", [
    ("GetSsoPolicy", lambda lib, h: lib.VESSARUNTIME_GetSsoPolicy(None), "policy"),
    ("GetStatus", lambda lib, h: lib.VESSARUNTIME_GetStatus(h, None), "status"),
    ("GetContext", lambda lib, h: lib.VESSARUNTIME_GetContext(h, None, None), "bufferSize"),
    ("GetError", lambda lib, h: lib.VESSARUNTIME_GetError(h, None), "error"),
    ("CreateAuthParameters", lambda lib, h: lib.VESSARUNTIME_CreateAuthParameters(wide("c"), None, _h()),
     "authority"),
    ("RegisterLogCallback", lambda lib, h: lib.VESSARUNTIME_RegisterLogCallback(None, None, _h()),
     "callback"),
])
def test_null_argument_is_a_contract_violation(emu, lib, operation, call, argument):
    error_handle = emu.make_error(3, context="x")
    result_handle = emu.new_auth_result()
    target = result_handle if operation == "GetError" else error_handle
    error = call(lib, target)
    lib.VESSARUNTIME_ReleaseAuthResult(result_handle)
    release_error(lib, error_handle)
    status, _, _, context = error_values(lib, error)
    assert status == STATUS_CONTRACT_VIOLATION
    assert context == f"VESSARUNTIME_{operation}: argument '{argument}' is null"
    assert emu.take_contract_violations() == [context]


# -- errors and the two-call protocol --------------------------------------------------------


@pytest.mark.parametrize("context", [None, "", "plain", "\U0001F511 key", "a\ud800b"],
                         ids=["absent", "empty", "ascii", "non-bmp", "lone-surrogate"])
def test_error_readers(emu, lib, context):
    error = emu.make_error(21, code=-(2**63), tag=-7, context=context)
    assert emu.handle_kind(error) == "error"
    assert error_values(lib, error) == (21, -(2**63), -7, context)


def test_context_size_query_and_fill(emu, lib):
    error = emu.make_error(3, context="abc")
    size = ctypes.c_int32(0)
    first = lib.VESSARUNTIME_GetContext(error, None, ctypes.byref(size))
    assert size.value == 4 and status_of(lib, first) == STATUS_INSUFFICIENT_BUFFER
    buffer = (ctypes.c_uint16 * 6)(*[0xEEEE] * 6)
    size.value = 6  # a larger buffer than needed is fine; the size then says what was written
    assert lib.VESSARUNTIME_GetContext(error, buffer, ctypes.byref(size)) is None
    assert size.value == 4 and list(buffer) == [ord("a"), ord("b"), ord("c"), 0, 0xEEEE, 0xEEEE]
    release_error(lib, error)


@pytest.mark.parametrize("capacity", [0, 3, -5])
def test_too_small_buffer_is_refused_without_writing(emu, lib, capacity):
    error = emu.make_error(3, context="abc")
    buffer = (ctypes.c_uint16 * 4)(*[0xEEEE] * 4)
    size = ctypes.c_int32(capacity)
    refused = lib.VESSARUNTIME_GetContext(error, buffer, ctypes.byref(size))
    assert status_of(lib, refused) == STATUS_INSUFFICIENT_BUFFER
    assert size.value == 4 and list(buffer) == [0xEEEE] * 4
    release_error(lib, error)


@pytest.mark.parametrize("value,size,first_error", [(None, 0, False), ("", 1, True), ("ab", 3, True)])
@pytest.mark.parametrize("first_call_error", [True, False])
def test_size_query_answer(emu, lib, value, size, first_error, first_call_error):
    emu.set_string_protocol(first_call_error=first_call_error)
    error = emu.make_error(3, context=value)
    out = ctypes.c_int32(-1)
    first = lib.VESSARUNTIME_GetContext(error, None, ctypes.byref(out))
    assert out.value == size
    if first_error and first_call_error:
        assert status_of(lib, first) == STATUS_INSUFFICIENT_BUFFER
    else:
        assert first is None
    release_error(lib, error)


def test_negative_size_misbehaviour(emu, lib):
    emu.set_string_protocol(negative_size=True)
    error = emu.make_error(3, context="abc")
    size = ctypes.c_int32(0)
    release_error(lib, lib.VESSARUNTIME_GetContext(error, None, ctypes.byref(size)))
    assert size.value == -4
    release_error(lib, error)


def test_growing_size_misbehaviour_never_writes_past_the_buffer(emu, lib):
    emu.set_string_protocol(grow_by=5)
    error = emu.make_error(3, context="abc")
    buffer = (ctypes.c_uint16 * 8)(*[0xEEEE] * 8)
    size = ctypes.c_int32(4)  # the caller says its buffer holds 4 units
    assert lib.VESSARUNTIME_GetContext(error, buffer, ctypes.byref(size)) is None
    assert size.value == 9
    assert list(buffer) == [ord("a"), ord("b"), ord("c"), 0] + [0xEEEE] * 4
    release_error(lib, error)


# -- lifecycle and settings ------------------------------------------------------------------


def test_startup_twice_is_refused_but_no_violation(emu, lib):
    assert not emu.is_started()
    assert lib.VESSARUNTIME_Startup() is None and emu.is_started()
    status, _, _, context = error_values(lib, lib.VESSARUNTIME_Startup())
    assert status == STATUS_UNEXPECTED and "already started" in context
    assert emu.contract_violations() == 0
    lib.VESSARUNTIME_Shutdown()
    assert not emu.is_started()
    assert lib.VESSARUNTIME_Startup() is None
    lib.VESSARUNTIME_Shutdown()
    assert emu.calls("Startup") == 3 and emu.calls("VESSARUNTIME_Shutdown") == 2


@pytest.mark.parametrize("policy", [None, 0, 3, -1, 2**31 - 1])
def test_sso_policy(emu, lib, policy):
    if policy is not None:
        emu.configure(sso_policy=policy)
    value = ctypes.c_int32(-99)
    assert lib.VESSARUNTIME_GetSsoPolicy(ctypes.byref(value)) is None
    assert value.value == (1 if policy is None else policy)


def test_pii_switch_and_reset(emu, lib):
    lib.VESSARUNTIME_SetIsPiiEnabled(5)
    assert emu.pii_enabled() == 5 and emu.calls("SetIsPiiEnabled") == 1
    emu.add_account()
    emu.configure(sso_policy=2)
    emu.fail_next("GetSsoPolicy", 3)
    emu.reset()
    value = ctypes.c_int32()
    assert lib.VESSARUNTIME_GetSsoPolicy(ctypes.byref(value)) is None and value.value == 1
    assert emu.pii_enabled() == 0 and emu.accounts() == [] and emu.calls("SetIsPiiEnabled") == 0


def test_unknown_operation_names(emu):
    with pytest.raises(ValueError):
        emu.calls("GetNothing")
    with pytest.raises(ValueError):
        emu.fail_next("GetNothing", 1)
    for no_error in ("Shutdown", "SetIsPiiEnabled"):
        with pytest.raises(ValueError):
            emu.fail_next(no_error, 1)


# -- scripted failures -----------------------------------------------------------------------


def test_fail_next_fails_at_once_and_then_recovers(emu, lib):
    emu.fail_next("GetSsoPolicy", 5, code=-12, tag=99, context="scripted", count=2)
    emu.fail_next("GetSsoPolicy", 3)
    value = ctypes.c_int32(-99)
    for expected in [(5, -12, 99, "scripted")] * 2 + [(3, 0, 0, None)]:
        assert error_values(lib, lib.VESSARUNTIME_GetSsoPolicy(ctypes.byref(value))) == expected
        assert value.value == -99  # nothing written
    assert lib.VESSARUNTIME_GetSsoPolicy(ctypes.byref(value)) is None and value.value == 1
    assert emu.calls("GetSsoPolicy") == 4 and emu.contract_violations() == 0


@pytest.mark.parametrize("operation,kind,call", HANDLE_ARGUMENTS,
                         ids=[op for op, _, _ in HANDLE_ARGUMENTS])
def test_every_operation_can_be_scripted_to_fail(emu, lib, operation, kind, call):
    handle = make_handle(emu, kind)
    emu.fail_next(operation, 17, code=4, tag=2, context="down")
    assert error_values(lib, call(getattr(lib, "VESSARUNTIME_" + operation), handle)) == (17, 4, 2, "down")
    # A scripted release failure releases nothing: the handle is still live.
    assert emu.handle_kind(handle) == kind
    release(lib, kind, handle)


def test_fail_after_some_calls_succeed(emu, lib):
    error = emu.make_error(3, context="ctx")
    emu.fail_next("GetContext", 9, count=1, after=1)
    size = ctypes.c_int32()
    release_error(lib, lib.VESSARUNTIME_GetContext(error, None, ctypes.byref(size)))  # goes through
    assert size.value == 4
    buffer = (ctypes.c_uint16 * 4)(*[0xEEEE] * 4)
    assert status_of(lib, lib.VESSARUNTIME_GetContext(error, buffer, ctypes.byref(size))) == 9
    assert list(buffer) == [0xEEEE] * 4
    assert read_string(lib, lib.VESSARUNTIME_GetContext, error) == "ctx"
    release_error(lib, error)


def test_scripted_failure_precedes_argument_checks(emu, lib):
    emu.fail_next("GetAccountId", 2)
    assert status_of(lib, lib.VESSARUNTIME_GetAccountId(None, None, None)) == 2
    assert emu.contract_violations() == 0


def test_scripted_failure_of_release_error_answers_an_error_nobody_must_release(emu, lib):
    error = emu.make_error(3)
    emu.fail_next("ReleaseError", 4, context="refused")
    answer = lib.VESSARUNTIME_ReleaseError(error)
    # The error whose release failed is still live; the answer is not counted: callers ignore
    # what ReleaseError answers.
    assert emu.live_handle_values() == [error]
    assert error_values(lib, answer) == (4, 0, 0, "refused")  # released without a violation
    release_error(lib, error)


# -- failures inside the emulator ------------------------------------------------------------


def default_argument(argtype):
    if argtype is emulator._Text:
        return emulator._Text(None, -1)
    if argtype is ctypes.c_char_p:
        return b"GetStatus"
    if argtype in (ctypes.c_int32, ctypes.c_int64, ctypes.c_uint64):
        return 0
    return None  # pointers and handles


def call_with_defaults(function):
    return function(*[default_argument(argtype) for argtype in function.argtypes])


@pytest.mark.parametrize("kind, context", [("exception", "injected failure"),
                                           ("foreign", "internal failure")])
def test_every_runtime_operation_turns_a_failure_into_an_error(emu, lib, kind, context):
    for operation in emu.names().operations:
        emu.fail_inside(operation, kind)
        answer = call_with_defaults(getattr(lib, "VESSARUNTIME_" + operation))
        if operation in ("Shutdown", "SetIsPiiEnabled"):
            assert answer is None  # nothing to answer with; the call did nothing
            continue
        assert error_values(lib, answer) == (0, 0, 0, f"VESSARUNTIME_{operation}: {context}")
    assert emu.pii_enabled() == 0 and emu.contract_violations() == 0


def make_out_of_memory(emu, lib, operation):
    """Calls `operation` while every handle it makes fails; returns its answer and out value."""
    out = ctypes.c_void_p(0x5EED)
    emu.fail_inside(operation, "no_memory")
    if operation == "CreateAuthParameters":
        return lib.VESSARUNTIME_CreateAuthParameters(wide("c"), wide("a"), ctypes.byref(out)), out
    if operation == "RegisterLogCallback":
        return lib.VESSARUNTIME_RegisterLogCallback(LOG_ROUTINE, None, ctypes.byref(out)), out
    if operation == "DiscoverAccountsAsync":
        if not emu.is_started():
            assert lib.VESSARUNTIME_Startup() is None
        return lib.VESSARUNTIME_DiscoverAccountsAsync(wide("c"), wide("c"), NO_COMPLETION, None,
                                                      ctypes.byref(out)), out
    result = emu.new_auth_result(error=emu.Error(3))
    answer = lib.VESSARUNTIME_GetError(result, ctypes.byref(out))
    assert lib.VESSARUNTIME_ReleaseAuthResult(result) is None
    return answer, out


@pytest.mark.parametrize("operation", ["CreateAuthParameters", "GetError", "RegisterLogCallback",
                                       "DiscoverAccountsAsync"])
def test_out_of_memory_answers_an_error_made_in_advance(emu, lib, operation):
    answer, out = make_out_of_memory(emu, lib, operation)
    assert answer is not None  # never read as success
    assert out.value == 0x5EED and emu.live_handle_count() == 0
    assert emu.log_registrations() == 0 and emu.pending_operations() == 0
    # Made when the library loaded: always the same, never counted, and releasing it (any number
    # of times) does nothing.
    again, _ = make_out_of_memory(emu, lib, operation)
    assert again == answer and emu.handle_kind(answer) == "error"
    assert error_values(lib, answer) == (0, 0, 0, f"VESSARUNTIME_{operation}: out of memory")
    assert error_values(lib, answer)[0] == 0 and emu.contract_violations() == 0
    lib.VESSARUNTIME_Shutdown()


CONTROL_FAILURES = """
import ctypes
from pyvessaruntime import emulator_internals as emu
import test_emulator as t
from runtime_abi import lib as runtime

lib = emu.library()
for kind in emu.names().failure_kinds:
    for name in emu._SIGNATURES:
        function = getattr(lib, "VESSAEMU_" + name)
        emu.fail_inside("VESSAEMU_" + name, kind)
        try:
            answer = t.call_with_defaults(function)
        except emu.EmulatorFailure:
            answer = "failed"
        if name == "FailInside" or (kind == "no_memory" and answer != "failed"):
            emu.reset()  # a call that made no handle was not affected: the injection is left
            continue
        if name == "MakeError":
            assert t.error_values(runtime, answer) == (0, 0, 0, "VESSAEMU: out of memory"), answer
        elif function.restype in (ctypes.c_int32, ctypes.c_int64, ctypes.c_uint64):
            assert answer == "failed", (name, kind, answer)
        else:
            assert answer is None, (name, kind, answer)  # names, and Free
print("contained")
"""


def test_every_control_function_contains_a_failure():
    # In a child process: a failure escaping the library ends the process. It runs in this
    # folder, which holds no package to shadow the installed one, to import this module.
    here = str(pathlib.Path(__file__).parent)
    done = subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {here!r})\n"
                           + CONTROL_FAILURES], capture_output=True, text=True, timeout=120,
                          cwd=here)
    assert done.returncode == 0 and done.stdout.strip() == "contained", done.stderr[-3000:]


# -- accounts --------------------------------------------------------------------------------


ACCOUNT_GETTERS = {
    "account_id": "GetAccountId", "home_account_id": "GetHomeAccountId",
    "environment": "GetEnvironment", "realm": "GetRealm", "local_account_id": "GetLocalAccountId",
    "user_name": "GetUserName", "given_name": "GetGivenName", "family_name": "GetFamilyName",
    "middle_name": "GetMiddleName", "display_name": "GetDisplayName",
    "additional_fields_json": "GetAdditionalFieldsJson", "home_environment": "GetHomeEnvironment",
    "client_info": "GetClientInfo",
}


def test_default_accounts_are_complete_and_distinct(emu):
    first, second = emu.add_account(), emu.add_account()
    assert first != second
    listed = emu.accounts()
    assert [a["account_id"] for a in listed] == [first, second]
    for account in listed:
        assert set(account) == set(emulator.names().account_fields)
        assert [name for name, value in account.items() if value is None] == ["middle_name"]
    assert listed[0]["user_name"] != listed[1]["user_name"]
    with pytest.raises(ValueError):
        emu.add_account(account_id=first)


@pytest.mark.parametrize("field", emulator.names().account_fields)
@pytest.mark.parametrize("value,size,units", [
    (None, 0, None),
    ("", 1, []),
    ("z\U0001F600", 4, [0x7A, 0xD83D, 0xDE00]),
    ([0xDC00, 0x41], 3, [0xDC00, 0x41]),
], ids=["absent", "empty", "non-bmp", "raw-units"])
def test_account_getters(emu, lib, field, value, size, units):
    key = emu.add_account(account_id="key-1")
    emu.set_account_property(key, field, value)
    handle = emu.new_account_handle(key)
    getter = getattr(lib, "VESSARUNTIME_" + ACCOUNT_GETTERS[field])
    assert read_units(lib, getter, handle) == (size, units)
    lib.VESSARUNTIME_ReleaseAccount(handle)


def test_account_handles_follow_the_store(emu, lib):
    key = emu.add_account(user_name="before")
    first, second = emu.new_account_handle(key), emu.new_account_handle(key)
    assert first != second
    emu.set_account_property(key, "user_name", "after")
    assert read_string(lib, lib.VESSARUNTIME_GetUserName, first) == "after"
    emu.remove_account(key)
    assert emu.accounts() == []
    assert read_string(lib, lib.VESSARUNTIME_GetUserName, second) == "after"
    with pytest.raises(KeyError):
        emu.new_account_handle(key)
    for handle in (first, second):
        lib.VESSARUNTIME_ReleaseAccount(handle)


def test_account_key_survives_changing_the_account_id(emu, lib):
    key = emu.add_account(account_id="acc", home_account_id=None)
    emu.set_account_property(key, "account_id", None)
    [listed] = emu.accounts()
    assert listed["account_id"] is None and listed["home_account_id"] is None
    handle = emu.new_account_handle(key)
    assert read_units(lib, lib.VESSARUNTIME_GetAccountId, handle) == (0, None)
    lib.VESSARUNTIME_ReleaseAccount(handle)


# -- auth parameters -------------------------------------------------------------------------


def test_auth_parameters_record_exactly_what_arrived(emu, lib):
    handle = out_handle()
    assert lib.VESSARUNTIME_CreateAuthParameters(wide("client\U0001F511"), wide("https://a/t"),
                                                 ctypes.byref(handle)) is None
    h = handle.value
    assert emu.handle_kind(h) == "auth_parameters"
    assert lib.VESSARUNTIME_SetRequestedScopes(h, wide("a b")) is None
    assert lib.VESSARUNTIME_SetRequestedScopes(h, wide("x\ud800")) is None  # last one wins
    assert lib.VESSARUNTIME_SetPopParams(h, wide("GET"), wide("host"), wide(""), wide("n")) is None
    assert lib.VESSARUNTIME_SetAdditionalParameter(h, wide("k"), wide("1")) is None
    assert lib.VESSARUNTIME_SetAdditionalParameter(h, wide("k"), wide("")) is None
    recorded = emu.auth_parameters(h)
    assert recorded["client_id"] == "client\U0001F511" and recorded["authority"] == "https://a/t"
    assert recorded["scopes"] == "x\ud800" and recorded["raw"]["scopes"] == [0x78, 0xD800]
    assert recorded["raw"]["client_id"][-2:] == [0xD83D, 0xDD11]
    assert (recorded["pop_http_method"], recorded["pop_uri_host"], recorded["pop_uri_path"],
            recorded["pop_nonce"]) == ("GET", "host", "", "n")
    assert recorded["redirect_uri"] is None and recorded["claims"] is None
    assert recorded["additional_parameters"] == [("k", "1"), ("k", "")]
    lib.VESSARUNTIME_ReleaseAuthParameters(h)
    with pytest.raises(KeyError):
        emu.auth_parameters(h)


# -- results ---------------------------------------------------------------------------------


def take_handle(lib, getter, handle, *extra):
    out = out_handle()
    assert getter(handle, *extra, ctypes.byref(out)) is None
    return out.value


def test_auth_result_contents(emu, lib):
    key = emu.add_account(user_name="u@example.com")
    result = emu.new_auth_result(
        account_id=key, id_token="id", raw_id_token="raw", access_token="at",
        granted_scopes="a b", authorization_header="Bearer at", is_pop=-3, expiry=2**40 + 7,
        error=emu.Error(13, -2, 5, "why"), telemetry='{"t": 1}')
    for getter, expected in [("GetIdToken", "id"), ("GetRawIdToken", "raw"), ("GetAccessToken", "at"),
                             ("GetGrantedScopes", "a b"), ("GetAuthorizationHeader", "Bearer at"),
                             ("GetTelemetryData", '{"t": 1}')]:
        assert read_string(lib, getattr(lib, "VESSARUNTIME_" + getter), result) == expected
    pop, expiry = ctypes.c_int32(), ctypes.c_int64()
    assert lib.VESSARUNTIME_IsPopAuthorization(result, ctypes.byref(pop)) is None and pop.value == -3
    assert lib.VESSARUNTIME_GetAccessTokenExpiryTime(result, ctypes.byref(expiry)) is None
    assert expiry.value == 2**40 + 7
    # Each call hands out a new handle that the caller owns.
    accounts = [take_handle(lib, lib.VESSARUNTIME_GetAccount, result) for _ in range(2)]
    errors = [take_handle(lib, lib.VESSARUNTIME_GetError, result) for _ in range(2)]
    assert len(set(accounts)) == 2 and len(set(errors)) == 2
    lib.VESSARUNTIME_ReleaseAuthResult(result)
    assert read_string(lib, lib.VESSARUNTIME_GetUserName, accounts[0]) == "u@example.com"
    assert [error_values(lib, e) for e in errors] == [(13, -2, 5, "why")] * 2
    for account in accounts:
        lib.VESSARUNTIME_ReleaseAccount(account)


def test_empty_results_answer_none(emu, lib):
    auth, signout, read = emu.new_auth_result(), emu.new_signout_result(), emu.new_read_account_result()
    assert take_handle(lib, lib.VESSARUNTIME_GetAccount, auth) is None
    assert take_handle(lib, lib.VESSARUNTIME_GetError, auth) is None
    assert take_handle(lib, lib.VESSARUNTIME_SignOutResult_GetError, signout) is None
    assert take_handle(lib, lib.VESSARUNTIME_ReadAccountResult_GetAccount, read) is None
    assert read_units(lib, lib.VESSARUNTIME_GetTelemetryData, auth) == (0, None)
    assert read_units(lib, lib.VESSARUNTIME_ReadAccountResult_GetTelemetryData, read) == (0, None)
    lib.VESSARUNTIME_ReleaseAuthResult(auth)
    lib.VESSARUNTIME_ReleaseSignOutResult(signout)
    lib.VESSARUNTIME_ReleaseReadAccountResult(read)


def test_result_with_unknown_account_is_refused(emu):
    with pytest.raises(KeyError):
        emu.new_auth_result(account_id="nobody")
    with pytest.raises(KeyError):
        emu.new_discover_accounts_result(account_ids=["nobody"])


def test_discover_result_enumeration(emu, lib):
    keys = [emu.add_account(user_name=f"user{i}") for i in range(3)]
    result = emu.new_discover_accounts_result(account_ids=keys[::-1], telemetry="[1]",
                                              error=emu.Error(16, context="gone"))
    names = []
    for index in range(3):
        account = take_handle(lib, lib.VESSARUNTIME_DiscoverAccountsResult_GetAccount, result, index)
        names.append(read_string(lib, lib.VESSARUNTIME_GetUserName, account))
        lib.VESSARUNTIME_ReleaseAccount(account)
    assert names == ["user2", "user1", "user0"]
    # Past the last account the slot is overwritten with null.
    slot = ctypes.c_void_p(0xDEAD)
    assert lib.VESSARUNTIME_DiscoverAccountsResult_GetAccount(result, 3, ctypes.byref(slot)) is None
    assert slot.value is None
    error = take_handle(lib, lib.VESSARUNTIME_DiscoverAccountsResult_GetError, result)
    assert error_values(lib, error) == (16, 0, 0, "gone")
    refused = lib.VESSARUNTIME_DiscoverAccountsResult_GetAccount(result, -1, ctypes.byref(slot))
    assert status_of(lib, refused) == STATUS_CONTRACT_VIOLATION
    assert emu.take_contract_violations() == [
        "VESSARUNTIME_DiscoverAccountsResult_GetAccount: index -1 is negative"]
    lib.VESSARUNTIME_ReleaseDiscoverAccountsResult(result)


# -- async-operation handles and log registrations -------------------------------------------


def test_cancel_async_operation(emu, lib):
    handle = emu.new_async_handle()
    assert emu.async_state(handle) == "pending"
    assert lib.VESSARUNTIME_CancelAsyncOperation(handle) is None
    assert emu.async_state(handle) == "cancelled"
    assert lib.VESSARUNTIME_CancelAsyncOperation(handle) is None  # cancelling again is fine
    assert lib.VESSARUNTIME_ReleaseAsyncHandle(handle) is None
    assert emu.async_state(handle) is None




def test_log_registration_handle(emu, lib):
    handle = take_handle(lib, lib.VESSARUNTIME_RegisterLogCallback, LOG_ROUTINE, None)
    assert emu.handle_kind(handle) == "log_callback"
    assert lib.VESSARUNTIME_ReleaseLogCallbackHandle(handle) is None
    error = lib.VESSARUNTIME_ReleaseLogCallbackHandle(handle)
    assert status_of(lib, error) == STATUS_CONTRACT_VIOLATION
    assert len(emu.take_contract_violations()) == 1


# -- concurrency -----------------------------------------------------------------------------


def test_concurrent_use_from_many_threads(emu, lib):
    # ctypes releases the interpreter lock around each call, so these really run in parallel.
    key = emu.add_account(user_name="shared")
    account = emu.new_account_handle(key)
    failures = []

    def work():
        try:
            for _ in range(100):
                error = lib.VESSARUNTIME_GetError(None, None)  # a violation: counted, not crashed
                release_error(lib, error)
                assert read_string(lib, lib.VESSARUNTIME_GetUserName, account) == "shared"
                mine = emu.new_account_handle(key)
                assert lib.VESSARUNTIME_ReleaseAccount(mine) is None
        except BaseException as exc:  # reported below, in the test's own thread
            failures.append(exc)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    lib.VESSARUNTIME_ReleaseAccount(account)
    assert failures == []
    assert emu.contract_violations() == 8 * 100
    assert len(emu.take_contract_violations()) == 8 * 100
    assert emu.calls("GetUserName") == 2 * 8 * 100


@pytest.mark.parametrize("error, expected", [
    (emulator.Error(3), (3, 0, 0, None)),
    (emulator.Error(Status.Status_NoNetwork, 1), (3, 1, 0, None)),
    (emulator.Error(native.Response_Status.Status_NoNetwork, 1, 2, "ctx"), (3, 1, 2, "ctx")),
    (emulator.Error(5, context=[0x63, 0x78]), (5, 0, 0, "cx")),
], ids=["int", "status", "response-status", "raw-units"])
def test_errors_are_given_as_the_error_dataclass(emu, error, expected):
    result = native.VESSARuntimeSignOutResult(emu.new_signout_result(error=error))
    carried = result.get_error()
    assert (carried.get_status().value, carried.get_error_code(), carried.get_tag(),
            carried.get_context()) == expected


# -- names, scenarios and the rest of the state a reset clears --------------------------------


@pytest.mark.parametrize("spelling", ["GetSsoPolicy", "VESSARUNTIME_GetSsoPolicy",
                                      "get_sso_policy", "GET_SSO_POLICY"])
def test_operations_in_any_spelling(emu, lib, spelling):
    assert lib.VESSARUNTIME_GetSsoPolicy(ctypes.byref(ctypes.c_int32())) is None
    assert emu.calls(spelling) == 1 and emu.calls("get_status") == 0


def test_every_python_spelling_names_its_own_operation(emu, lib):
    # Operation i is called i + 1 times (ReleaseError more), each call failing inside at once so
    # that nothing happens but the count; each spelling must read its own operation's count.
    spellings = dict(zip(emu.names().python_operations, emu.names().operations))
    assert len(spellings) == 65
    for times, operation in enumerate(spellings.values(), start=1):
        emu.fail_inside(operation, "exception", count=times)
        answers = [call_with_defaults(getattr(lib, "VESSARUNTIME_" + operation))
                   for _ in range(times)]
        for answer in filter(None, answers):  # after the injections, ReleaseError's own too
            release_error(lib, answer)
    counts = [emu.calls(spelled) for spelled in spellings]
    assert counts == [emu.calls(name) for name in spellings.values()] and len(set(counts)) == 65


@pytest.mark.parametrize("call, listed", [
    (lambda e: e.calls("get_nothing"), "get_sso_policy, set_is_pii_enabled"),
    (lambda e: e.fail_completion("acquire", 3), "acquire_token_silently"),
    (lambda e: e.set_latency("get_status", 5), "sign_in, sign_in_silently"),
    (lambda e: e.set_completion_mode("later"), "worker, inline, held, delay, early"),
    (lambda e: e.add_account(state="gone"), "ready, interaction_required, unusable"),
    (lambda e: e.add_account(nick="x"), "account_id, home_account_id"),
    (lambda e: e.live_handle_values("nothing"), "auth_parameters, account"),
    (lambda e: e.fail_inside("VESSAEMU_Nothing"), "VESSAEMU_Reset"),
    (lambda e: e.held("get_status").__enter__(), "sign_in, sign_in_silently, sign_in_inter"),
])
def test_unknown_names_are_refused_with_the_valid_ones(emu, call, listed):
    with pytest.raises(ValueError, match=re.escape(listed)):
        call(emu)


@pytest.mark.parametrize("call, error", [
    (lambda e: e.wait_for_pending(-1), ValueError), (lambda e: e.wait_for_pending(1.0), TypeError),
    (lambda e: e.wait_for_pending(True), TypeError),
    (lambda e: e.wait_for_pending(1, timeout=-0.5), ValueError),
    (lambda e: e.wait_for_pending(1, timeout=float("nan")), ValueError),
    (lambda e: e.wait_for_pending(1, timeout="1"), TypeError),
    (lambda e: e.held(timeout=0).__enter__(), ValueError),
    (lambda e: e.configure(held_timeout=86401), ValueError),
    (lambda e: e.load_scenario({"settings": {"held_timeout": 0}}), ValueError),
])
def test_bad_waits_and_hold_timeouts_are_refused(emu, call, error):
    with pytest.raises(error):
        call(emu)
    assert emu.completion_mode() == ("worker", 0)  # a refused held() changed nothing


@pytest.mark.parametrize("document, message", [
    ('{"now": 1.5}', "line 1, column 10: only whole numbers are accepted"),
    ('{"now": 99999999999999999999}', "does not fit in 64 bits"),
    ('{"accounts": [', "unexpected end of the document"),
    ('{"now": 1} x', "unexpected text after the document"),
    ('{"a": "\\q"}', "unknown escape"),
    ("[" * 70 + "]" * 70, "nested too deeply"),
    ('[]', "scenario: expected an object"),
])
def test_faulty_documents_are_refused_where_they_go_wrong(emu, tmp_path, document, message):
    path = tmp_path / "scenario.json"
    path.write_text(document)
    with pytest.raises(ValueError, match=re.escape(message)):
        emu.load_scenario(path)


def test_a_scenario_sets_what_the_calls_set(emu, lib):
    emu.load_scenario({
        "settings": {"sso_policy": 3, "latency_ms": {"DiscoverAccountsAsync": 7}},
        "interactive_user": {"user_name": "\ud800x", "middle_name": None},
        "accounts": [{"account_id": "a1", "user_name": "raw\ud800", "state": "unusable"}],
        "outcomes": [{"status": "Status_NoNetwork", "every_time": True},
                     {"operation": "sign_in", "null_result": True}],
    })
    policy = ctypes.c_int32()
    assert lib.VESSARUNTIME_GetSsoPolicy(ctypes.byref(policy)) is None and policy.value == 3
    assert emu.interactive_user()["user_name"] == "\ud800x"
    assert emu.accounts()[0]["user_name"] == "raw\ud800" and emu.account_state("a1") == "unusable"
    emu.reset()
    assert emu.accounts() == [] and emu.interactive_user()["user_name"] != "\ud800x"
    with pytest.raises(KeyError):
        emu.account_state("a1")
