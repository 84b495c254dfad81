"""Starting the eight asynchronous operations: argument checks, the callback record, refusal."""

import pytest

import pyvessaruntime.pyvessaruntime as m

PARAMS = "pyvessaruntime.pyvessaruntime.VESSARuntimeAuthParameters"
ACCOUNT = "pyvessaruntime.pyvessaruntime.VESSARuntimeAccount"

# name -> (parameters, start operation)
OPERATIONS = {
    "signin": (["parentWindowHandle", "auth_params", "correlationId", "accountHint", "py_callback"],
               "SignInAsync"),
    "signin_silently": (["auth_params", "correlationId", "py_callback"], "SignInSilentlyAsync"),
    "signin_interactively": (["parentWindowHandle", "auth_params", "correlationId", "accountHint",
                              "py_callback"], "SignInInteractivelyAsync"),
    "acquire_token_silently": (["auth_params", "correlationId", "account", "py_callback"],
                               "AcquireTokenSilentlyAsync"),
    "acquire_token_interactively": (["parentWindowHandle", "auth_params", "correlationId", "account",
                                     "py_callback"], "AcquireTokenInteractivelyAsync"),
    "read_account_by_id": (["accountid", "correlationId", "py_callback"], "ReadAccountByIdAsync"),
    "signout_silently": (["clientId", "correlationId", "account", "py_callback"],
                         "SignOutSilentlyAsync"),
    "discover_accounts": (["clientId", "correlationId", "py_callback"], "DiscoverAccountsAsync"),
}

DOCSTRINGS = {
    "signin": "signin(int64_t parentWindowHandle, VESSARuntimeAuthParameters auth_params, "
              "str correlationId, str accountHint, py_callback)",
    "signin_silently": "signin_silently(VESSARuntimeAuthParameters auth_params, str correlationId, "
                       "py_callback)",
    "signin_interactively": "signin_interactively(int64_t parentWindowHandle, "
                            "VESSARuntimeAuthParameters auth_params, str correlationId, "
                            "str accountHint, py_callback)",
    "acquire_token_silently": "acquire_token_silently(VESSARuntimeAuthParameters auth_params, "
                              "str correlationId, VESSARuntimeAccount account, py_callback)",
    "acquire_token_interactively": "acquire_token_interactively(int64_t parentWindowHandle, "
                                   "VESSARuntimeAuthParameters auth_params, str correlationId, "
                                   "VESSARuntimeAccount account, py_callback)",
    "read_account_by_id": "read_account_by_id(str accountid, str correlationId, py_callback)",
    "signout_silently": "signout_silently(str clientId, str correlationId, "
                        "VESSARuntimeAccount account, py_callback)",
    "discover_accounts": "discover_accounts(str clientId, str correlationId, py_callback)",
}


@pytest.fixture
def objects(emu):
    """Valid arguments for every parameter name, no two alike, the account not the first one
    stored; emptied after the test."""
    emu.add_account()
    account_id = emu.add_account()
    params = m.VESSARuntimeAuthParameters("parameters-client", "https://login.example.test/t")
    params.set_requested_scopes(["scope.a", "scope.b"])
    params.set_decoded_claims('{"acr": "2"}')
    values = {
        "parentWindowHandle": 0x5EED,
        "auth_params": params,
        "correlationId": "corr",
        "accountHint": "hint@example.test",
        "account": m.VESSARuntimeAccount(emu.new_account_handle(account_id)),
        "py_callback": lambda result: None,
        "accountid": account_id,
        "clientId": "argument-client",
    }
    yield values
    values.clear()


def arguments(name, values, **override):
    params, _ = OPERATIONS[name]
    merged = {**values, **override}
    return [merged[p] for p in params]


def incorrect(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("name", OPERATIONS)
def test_signature(name):
    fn = getattr(m, name)
    assert fn.__doc__ == DOCSTRINGS[name] and fn.__qualname__ == name
    assert fn.__module__ == "pyvessaruntime.pyvessaruntime"


@pytest.mark.parametrize("name", OPERATIONS)
def test_every_argument_reaches_the_runtime_in_its_place(started, objects, name):
    started.set_completion_mode("inline")
    getattr(m, name)(*arguments(name, objects))
    given = OPERATIONS[name][0]
    authenticates = "auth_params" in given
    account = objects["accountid"]
    expected = {
        "correlation_id": "corr",
        "client_id": "parameters-client" if authenticates else
                     "argument-client" if "clientId" in given else None,
        "scopes": ("scope.a", "scope.b") if authenticates else (),
        "claims": '{"acr": "2"}' if authenticates else None,
        "account": account if "account" in given else None,
        "account_id": account if "accountid" in given else None,
        "account_hint": "hint@example.test" if "accountHint" in given else None,
        "window": 0x5EED if "parentWindowHandle" in given else None,
    }
    (request,) = started.requests()  # what the runtime received
    assert {field: getattr(request, field) for field in expected} == expected


def bad_values(name):
    """(parameter, bad value, exception, message) for each parameter of the operation."""
    cases = []
    for param in OPERATIONS[name][0]:
        if param == "parentWindowHandle":
            cases += [(param, "abc", TypeError, "an integer is required"),
                      (param, 2**63, OverflowError, None)]
        elif param == "auth_params":
            cases += [(param, None, TypeError, incorrect(param, PARAMS, "NoneType"))]
        elif param == "account":
            cases += [(param, None, TypeError, incorrect(param, ACCOUNT, "NoneType"))]
        elif param == "accountHint":
            cases += [(param, 5, TypeError, incorrect(param, "str", "int"))]
        elif param == "py_callback":
            cases += [(param, None, TypeError, f"Argument '{param}' must not be None")]
        else:
            cases += [(param, None, TypeError, incorrect(param, "str", "NoneType")),
                      (param, type("Sub", (str,), {})("x"), TypeError, incorrect(param, "str", "Sub"))]
    return [(name, *case) for case in cases]


@pytest.mark.parametrize("name, param, value, error, message",
                         [case for name in OPERATIONS for case in bad_values(name)])
def test_argument_checks(emu, objects, name, param, value, error, message):
    with pytest.raises(error) as info:
        getattr(m, name)(*arguments(name, objects, **{param: value}))
    if message:
        assert str(info.value) == message
    assert m._callbackStorage == {} and emu.calls(OPERATIONS[name][1]) == 0


@pytest.mark.parametrize("name", OPERATIONS)
def test_first_failing_check_wins(objects, name):
    params, _ = OPERATIONS[name]
    values = {p: None for p in params}
    if "parentWindowHandle" in params:
        values["parentWindowHandle"] = "abc"
        expected = "an integer is required"
    elif params[0] == "auth_params":
        expected = incorrect("auth_params", PARAMS, "NoneType")
    else:
        expected = incorrect(params[0], "str", "NoneType")
    with pytest.raises(TypeError) as info:
        getattr(m, name)(**values)
    assert str(info.value) == expected


@pytest.mark.keeps_callback_records
@pytest.mark.parametrize("name", OPERATIONS)
def test_refused_start_keeps_the_record(emu, objects, name):
    _, start = OPERATIONS[name]
    emu.fail_next(start, status=9, tag=4, context="refused")
    with pytest.raises(RuntimeError) as info:
        getattr(m, name)(*arguments(name, objects))
    assert str(info.value) == ("ErrorTag: 4, ErrorCode: 0, ErrorContext: refused, "
                               "ErrorStatus: Response_Status.Status_IncorrectConfiguration")
    (record,) = m._callbackStorage.values()
    assert record.callback is objects["py_callback"]
    assert emu.calls(start) == 1


@pytest.mark.keeps_callback_records
@pytest.mark.parametrize("name", OPERATIONS)
def test_text_that_cannot_be_converted_stops_before_the_runtime(emu, objects, name):
    _, start = OPERATIONS[name]
    with pytest.raises(UnicodeEncodeError):
        getattr(m, name)(*arguments(name, objects, correlationId="bad\ud800"))
    assert len(m._callbackStorage) == 1 and emu.calls(start) == 0


@pytest.mark.keeps_callback_records
@pytest.mark.parametrize("name", ["signout_silently", "discover_accounts"])
def test_correlation_id_is_converted_before_client_id(emu, objects, name, monkeypatch):
    emu.fail_next(OPERATIONS[name][1], status=0)
    seen = []
    monkeypatch.setattr(m, "_get_encoded_bytes", lambda text: seen.append(text) or b"")
    with pytest.raises(RuntimeError):
        getattr(m, name)(*arguments(name, objects, correlationId="c", clientId="k"))
    assert seen == ["c", "k"]


@pytest.mark.keeps_callback_records
@pytest.mark.parametrize("name", ["signin", "signin_interactively"])
@pytest.mark.parametrize("hint", [None, ""])
def test_missing_account_hint_is_the_empty_text(emu, objects, name, hint, monkeypatch):
    emu.fail_next(OPERATIONS[name][1], status=0)
    seen = []
    monkeypatch.setattr(m, "_get_encoded_bytes", lambda text: seen.append(text) or b"")
    with pytest.raises(RuntimeError):
        getattr(m, name)(*arguments(name, objects, accountHint=hint, correlationId="c"))
    assert seen == ["c", ""]


def test_window_handle_coercion(objects):
    class Window:
        def __int__(self):
            return "not an int"
    with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type str\)$"):
        m.signin(Window(), *arguments("signin", objects)[1:])
