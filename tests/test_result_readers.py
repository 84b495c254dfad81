"""The native readers of a token's and an account's values (`pyvessaruntime._results`): the same
answers, exceptions and runtime queries as the getters the layer calls otherwise."""

import dataclasses
import datetime
import json
import subprocess
import sys
import textwrap

import pytest

from conftest import needs_subinterpreters

import pyvessaruntime as vrt
import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import _results, models

STRING_GETTERS = ["GetTelemetryData", "GetRawIdToken", "GetAccessToken", "GetAuthorizationHeader",
                  "GetGrantedScopes", "GetIdToken", "GetAccountId", "GetHomeAccountId",
                  "GetEnvironment", "GetRealm", "GetLocalAccountId", "GetUserName",
                  "GetGivenName", "GetFamilyName", "GetMiddleName", "GetDisplayName",
                  "GetAdditionalFieldsJson", "GetHomeEnvironment", "GetClientInfo"]
VALUE_GETTERS = ["GetError", "GetAccount", "GetAccessTokenExpiryTime", "IsPopAuthorization"]
# Every runtime operation a reading may call, the error conversion's and the releases included.
OPERATIONS = [*STRING_GETTERS, *VALUE_GETTERS, "GetStatus", "GetErrorCode", "GetTag",
              "GetContext", "ReleaseError", "ReleaseAccount"]
FULL = dict(id_token='{"sub": "s"}', raw_id_token="raw", access_token="t" * 3000,
            granted_scopes=" a b ", authorization_header="Bearer t", is_pop=1, expiry=-5,
            telemetry='{"k": [1, {"n": null}]}')


def described(value):
    if isinstance(value, m.VESSARuntimeError):
        return "error", value.get_status(), value.get_error_code(), value.get_context()
    if isinstance(value, m.VESSARuntimeAccount):
        return "account", value.get_account_id()
    return value


def read_each_way(emu, read_natively, read_by_getters, make, prepare=lambda: None):
    """What each way of reading answers (the values, or the exception) and which runtime
    queries it made."""
    outcomes = []
    for read in (read_natively, read_by_getters):
        subject = make()
        prepare()
        before = {op: emu.calls(op) for op in OPERATIONS}
        try:
            values = read(subject)
        except Exception as exc:  # noqa: BLE001 - what is compared
            values = exc.with_traceback(None)  # whose frames would keep the account alive
        calls = {op: emu.calls(op) - before[op] for op in OPERATIONS}
        answer = (type(values), str(values)) if isinstance(values, Exception) else \
            [described(v) for v in values]
        del values, subject
        outcomes.append((answer, calls))
    assert outcomes[0] == outcomes[1]
    return outcomes[0][0]


def token_each_way(emu, prepare=lambda: None, **contents):
    return read_each_way(emu, _results.read_token, models._token_reads,
                         lambda: m.VESSARuntimeAuthResult(emu.new_auth_result(**contents)),
                         prepare)


@pytest.mark.parametrize("props", [
    {}, {"display_name": "Zoë 😀", "middle_name": "", "additional_fields_json": '{"a": 1}'},
    {"user_name": "u" * 700, "client_info": "c" * 900, "given_name": "g" * 600},
], ids=["plain", "unicode-and-empty", "past-the-stack"])
@pytest.mark.parametrize("contents", [FULL, {}], ids=["full", "empty"])
def test_a_token_reads_as_through_the_getters(emu, props, contents):
    account_id = emu.add_account(**props)
    values = token_each_way(emu, account_id=account_id, **contents)
    assert len(values) == 23 and values[9] == account_id


@pytest.mark.parametrize("contents, length", [
    (dict(error=("carried", 5)), 1), (dict(), 2), (dict(account="no id"), 10),
    (dict(account="empty id"), 10)])
def test_a_reading_ends_where_the_layer_reads_no_more(emu, contents, length):
    kind = contents.pop("account", None)
    account_id = emu.add_account()
    if kind:
        emu.set_account_property(account_id, "account_id", None if kind == "no id" else "")
    error = contents.pop("error", None)
    values = token_each_way(emu, account_id=None if error is None and not kind else account_id,
                            error=error and emu.Error(error[1], 7, 8, error[0]))
    assert len(values) == length


@pytest.mark.parametrize("operation, after", [
    *((op, after) for op in STRING_GETTERS for after in (0, 1)),  # the size call, the filling call
    *((op, 0) for op in VALUE_GETTERS)])
def test_a_query_failing_part_way_raises_as_its_getter_and_asks_no_more(emu, operation, after):
    account_id = emu.add_account(additional_fields_json="{}", middle_name="M")  # every text
    failure = token_each_way(
        emu, lambda: emu.fail_next(operation, 3, code=-3, tag=7, context="refused", after=after),
        account_id=account_id, **FULL)
    assert failure == (RuntimeError, "ErrorTag: 7, ErrorCode: -3, ErrorContext: refused, "
                                     "ErrorStatus: Response_Status.Status_NoNetwork")


@pytest.mark.parametrize("prepare", [
    lambda emu: emu.fail_next("GetRealm", 10, after=1),  # InsufficientBuffer, yet filling
    lambda emu: (emu.fail_next("GetUserName", 3), emu.fail_next("GetStatus", 0)),
    lambda emu: emu.set_string_protocol(negative_size=True),
    lambda emu: emu.set_string_protocol(first_call_error=False, grow_by=3),
], ids=["tolerated-status-when-filling", "failing-status", "negative-size", "grown"])
def test_a_misbehaving_runtime_reads_as_through_the_getters(emu, prepare):
    account_id = emu.add_account()
    token_each_way(emu, lambda: prepare(emu), account_id=account_id, **FULL)


@pytest.mark.parametrize("contents", [dict(telemetry="{not json"),
                                      dict(access_token=[0x61, 0xD800, 0x62])],
                         ids=["telemetry", "lone-surrogate"])
def test_a_text_python_cannot_read_raises_as_through_the_getters(emu, contents):
    # Judged with the lock, after the stretch without it: the reader has then asked for the
    # texts after it too, which the getters never ask for. The exception is the same.
    account_id = emu.add_account()
    results = [m.VESSARuntimeAuthResult(emu.new_auth_result(account_id=account_id, **contents))
               for _ in range(2)]
    raised = []
    for read, result in zip((_results.read_token, models._token_reads), results):
        with pytest.raises(ValueError) as caught:
            read(result)
        raised.append((type(caught.value), str(caught.value)))
    assert raised[0] == raised[1]


def test_a_stale_handle_reads_as_through_the_getters(emu):
    handle = emu.new_auth_result()
    m.VESSARuntimeAuthResult(handle)  # released as the object goes
    failure = read_each_way(emu, _results.read_token, models._token_reads,
                            lambda: m.VESSARuntimeAuthResult(handle))
    assert failure[0] is RuntimeError
    assert emu.take_contract_violations()


def test_an_account_reads_as_through_the_getters(emu):
    account_id = emu.add_account(display_name="D", middle_name=None)
    read_each_way(emu, _results.read_account, models._account_reads,
                  lambda: m.VESSARuntimeAccount(emu.new_account_handle(account_id)),
                  lambda: emu.fail_next("GetFamilyName", 3, after=1))


class Result(m.VESSARuntimeAuthResult):
    def get_access_token(self):
        return "overridden"


@pytest.mark.parametrize("read, make", [
    (_results.read_token, lambda emu: 42),
    (_results.read_token, lambda emu: Result(emu.new_auth_result())),
    (_results.read_token, lambda emu: m.VESSARuntimeAccount(emu.new_account_handle(
        emu.add_account()))),
    (_results.read_account, lambda emu: m.VESSARuntimeAuthResult(emu.new_auth_result())),
    (_results.read_account, lambda emu: None),
])
def test_anything_but_the_module_s_own_classes_is_left_to_the_getters(emu, read, make):
    subject = make(emu)
    assert read(subject) is NotImplemented
    assert emu.calls("GetAccessToken") + emu.calls("GetAccountId") == 0


def test_a_rebound_status_enumeration_is_left_to_the_getters(emu, monkeypatch):
    result = m.VESSARuntimeAuthResult(emu.new_auth_result())
    monkeypatch.setattr(m, "Response_Status", type("Status", (), {}))
    assert _results.read_token(result) is NotImplemented and emu.calls("GetError") == 0


def test_without_the_readers_the_layer_calls_the_getters(emu, monkeypatch):
    account_id = emu.add_account()
    client = vrt.Client("client", "https://login.example.test/common")
    with vrt.running():
        natively = client.acquire_token_silently(client.read_account(account_id), ["a"])
        monkeypatch.setattr(models, "_read_token", None)
        monkeypatch.setattr(models, "_read_account", None)
        by_getters = client.acquire_token_silently(client.read_account(account_id), ["a"])
    assert natively == by_getters and natively.account == by_getters.account


# A token read through the layer, where the readers are found.
READ_TOKEN = """
import pyvessaruntime as vrt
from pyvessaruntime import _results, emulator, models
assert models._read_token is _results.read_token
with vrt.running():
    client = vrt.Client("client", "https://login.example.test/common")
    token = client.acquire_token_silently(client.read_account(emulator.add_account()), ["a"])
assert token.granted_scopes == ("a",)
"""


@needs_subinterpreters
def test_the_readers_are_found_only_in_the_interpreter_that_owns_the_native_module():
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", textwrap.dedent("""
        import _interpreters
        owner = _interpreters.create("legacy")
        failure = _interpreters.run_string(owner, READ_TOKEN)
        assert failure is None, failure
        try:
            from pyvessaruntime import _results
        except ImportError as e:
            print("refused:", e)
        _interpreters.destroy(owner)
        exec(READ_TOKEN)
        print("read after the owner ended")
    """).replace("READ_TOKEN", repr(READ_TOKEN))], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "refused: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.", "read after the owner ended"]


def plain(value):
    """`value` with its read-only mappings and tuples as the dicts and lists they came from."""
    return json.loads(json.dumps(value))


# The values made natively from the answers follow the layer's rules for each field.
@pytest.mark.parametrize("contents", [
    FULL, {}, dict(telemetry='[1, {"a": []}]', expiry=2**31 + 5), dict(telemetry="7", is_pop=0),
], ids=["full", "empty", "array-telemetry", "number-telemetry"])
def test_a_token_is_made_of_its_answers_by_the_layers_rules(emu, contents):
    account_id = emu.add_account(additional_fields_json='{"a": {"b": [1]}}', display_name="D")
    result = m.VESSARuntimeAuthResult(emu.new_auth_result(account_id=account_id, **contents))
    token = models.to_token(result)
    reads = models._token_reads(result)
    telemetry = reads[2] if isinstance(reads[2], dict) else {"value": reads[2]}
    assert list(vars(token)) == [f.name for f in dataclasses.fields(models.Token)]
    assert (token.access_token, token.authorization_header, token.expires_at,
            token.granted_scopes, token.id_token, token.raw_id_token, token.is_pop) == (
        reads[4] or "", reads[5] or "",
        datetime.datetime.fromtimestamp(reads[6] % 2**32, datetime.UTC),
        tuple(reads[7] or ()), models._claims(reads[8] or reads[3]), reads[3], reads[22] != 0)
    assert plain(token.telemetry) == plain(telemetry)
    account = token.account
    assert list(vars(account)) == [f.name for f in dataclasses.fields(models.Account)] + ["_native"]
    assert [getattr(account, f.name) for f in dataclasses.fields(models.Account)] == [
        *reads[9:19], {"a": {"b": (1,)}}, *reads[20:22]]
    assert models.native_of(account).get_account_id() == reads[1].get_account_id() == account_id
    for mapping in (token.telemetry, account.additional_fields, account.additional_fields["a"]):
        with pytest.raises(TypeError):
            mapping["x"] = 1  # type: ignore[index]
    assert not any(isinstance(v, list) for v in (*token.telemetry.values(),
                                                 *account.additional_fields["a"].values()))
    del token, account, reads, result
