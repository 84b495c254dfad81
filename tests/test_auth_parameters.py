"""VESSARuntimeAuthParameters: argument checks and the exact texts that reach the runtime."""

import ctypes
import sys
import threading

import pytest

import pyvessaruntime.pyvessaruntime as m

NO_NETWORK_MESSAGE = ("ErrorTag: 7, ErrorCode: -3, ErrorContext: refused, "
                      "ErrorStatus: Response_Status.Status_NoNetwork")


def handle_of(obj):
    """The runtime handle the object owns: its first field, right after the object header."""
    return ctypes.c_int64.from_address(id(obj) + object.__basicsize__).value


def units(text):
    data = text.encode("utf-16-le")
    return [int.from_bytes(data[i:i + 2], "little") for i in range(0, len(data), 2)]


class Str(str):
    pass


class Scopes(list):
    pass


def new_params():
    # Made inside each test, not by a fixture: pytest keeps fixture values until after the
    # emulator's leak check.
    return m.VESSARuntimeAuthParameters("client", "https://authority/tenant")


def test_setters_in_class_order_with_their_signatures():
    cls = m.VESSARuntimeAuthParameters
    setters = [n for n in vars(cls) if n.startswith("set_")]
    assert setters == list(OPERATION)
    assert cls.set_pop_params.__doc__ == (
        "VESSARuntimeAuthParameters.set_pop_params(self, str http_method, str uri_host, "
        "str uri_path, str nonce)")


@pytest.mark.parametrize("clientid, authority", [
    ("", ""),
    ("id-\U0001F511", "https://a\u00e9/t"),  # a surrogate pair: two units
])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_constructor_sends_both_texts(emu, clientid, authority, by_keyword):
    params = (m.VESSARuntimeAuthParameters(clientid=clientid, authority=authority) if by_keyword
              else m.VESSARuntimeAuthParameters(clientid, authority))
    recorded = emu.auth_parameters(handle_of(params))
    assert recorded["raw"]["client_id"] == units(clientid)
    assert recorded["raw"]["authority"] == units(authority)
    assert recorded["scopes"] is None


@pytest.mark.parametrize("args, error, message", [
    ((None, "a"), TypeError, "Argument 'clientid' has incorrect type (expected str, got NoneType)"),
    (("c", None), TypeError, "Argument 'authority' has incorrect type (expected str, got NoneType)"),
    ((Str("c"), "a"), TypeError, "Argument 'clientid' has incorrect type (expected str, got Str)"),
    ((1, b"a"), TypeError, "Argument 'clientid' has incorrect type (expected str, got int)"),
    (("c", b"a"), TypeError, "Argument 'authority' has incorrect type (expected str, got bytes)"),
    (("c", "bad \ud800"), UnicodeEncodeError, None),
    (("c",), TypeError, None),
])
def test_constructor_checks_arguments_before_any_runtime_call(emu, args, error, message):
    with pytest.raises(error) as info:
        m.VESSARuntimeAuthParameters(*args)
    if message:
        assert str(info.value) == message
    assert emu.calls("CreateAuthParameters") == 0


def test_constructor_refused_by_the_runtime(emu):
    emu.fail_next("CreateAuthParameters", status=3, code=-3, tag=7, context="refused")
    with pytest.raises(RuntimeError) as info:
        m.VESSARuntimeAuthParameters("client", "authority")
    assert info.value.args == (NO_NETWORK_MESSAGE,)


def test_init_again_releases_the_earlier_handle(emu):
    params = new_params()
    first = handle_of(params)
    params.__init__("other", "elsewhere")
    second = handle_of(params)
    assert second != first and emu.handle_kind(first) is None
    assert emu.auth_parameters(second)["client_id"] == "other"
    assert emu.live_handles()["auth_parameters"] == 1
    with pytest.raises(UnicodeEncodeError):
        params.__init__("\udfff", "x")  # the handle is gone before the texts are converted
    assert emu.handle_kind(second) is None and handle_of(params) == 0


@pytest.mark.parametrize("use", [
    lambda p: p.set_redirect_uri("r"),
    lambda p: m.signin_silently(p, "corr", lambda result: None),
    lambda p: p.__init__("c", "a"),
], ids=["setter", "operation start", "another rebuild"])
@pytest.mark.keeps_callback_records  # starts refused while the object was being rebuilt
def test_rebuilding_while_other_threads_use_the_parameters(emu, use):
    """A rebuild never releases a handle that a call on another thread is using, and two
    rebuilds at once lose no handle."""
    emu.set_completion_mode("held")
    m._startup_vessaruntime()
    params = new_params()
    stop = threading.Event()

    def keep_using():
        while not stop.is_set():
            try:
                use(params)
            except RuntimeError as refused:  # caught mid-rebuild: the object holds no handle
                assert "Status_ApiContractViolation" in str(refused)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    users = [threading.Thread(target=keep_using) for _ in range(2)]
    try:
        for thread in users:
            thread.start()
        for _ in range(2000):
            params.__init__("c", "a")
    finally:
        stop.set()
        for thread in users:
            thread.join()
        sys.setswitchinterval(interval)
        m._shutdown_vessaruntime()
    faults = {v.rsplit("(", 1)[-1] for v in emu.take_contract_violations()}
    assert faults <= {"null)"}, faults
    del params
    assert emu.live_handles()["auth_parameters"] == 0


def test_object_made_without_init_passes_the_null_handle_on(emu):
    params = m.VESSARuntimeAuthParameters.__new__(m.VESSARuntimeAuthParameters)
    with pytest.raises(RuntimeError, match="Status_ApiContractViolation"):
        params.set_redirect_uri("https://r")
    assert emu.take_contract_violations() == [
        "VESSARUNTIME_SetRedirectUri: handle 0x0 is not a live auth_parameters handle (null)"]
    del params
    assert emu.calls("ReleaseAuthParameters") == 0


# (method, arguments, recorded field, exact text the runtime must receive)
SENT = [
    ("set_requested_scopes", {"scopes": []}, "scopes", ""),
    ("set_requested_scopes", {"scopes": ["a", "b c"]}, "scopes", "a b c"),
    ("set_requested_scopes", {"scopes": [" x", "", "y\t"]}, "scopes", " x  y\t"),
    ("set_requested_scopes", {"scopes": Scopes(["s1", Str("s2")])}, "scopes", "s1 s2"),
    ("set_redirect_uri", {"redirect_uri": "https://r/\u00e9"}, "redirect_uri", "https://r/\u00e9"),
    ("set_decoded_claims", {"claims": '{"a": "\U0001F600"}'}, "claims", '{"a": "\U0001F600"}'),
    ("set_access_token_to_renew", {"access_token_to_renew": "tok"}, "access_token_to_renew",
     "tok"),
]

POP = {"http_method": "GET", "uri_host": "host.example", "uri_path": None, "nonce": None}
POP_SENT = [
    (POP, ["GET", "host.example", "", ""]),
    ({**POP, "uri_path": "", "nonce": ""}, ["GET", "host.example", "", ""]),
    ({**POP, "uri_path": "/p\u00e9", "nonce": "n\U0001F511"}, ["GET", "host.example", "/p\u00e9",
                                                              "n\U0001F511"]),
]
POP_FIELDS = ["pop_http_method", "pop_uri_host", "pop_uri_path", "pop_nonce"]


def call(obj, method, arguments, by_keyword):
    if by_keyword:
        return getattr(obj, method)(**arguments)
    return getattr(obj, method)(*arguments.values())


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("method, arguments, field, text", SENT)
def test_setter_sends_exact_text(emu, method, arguments, field, text, by_keyword):
    params = new_params()
    assert call(params, method, arguments, by_keyword) is None
    recorded = emu.auth_parameters(handle_of(params))
    assert recorded[field] == text and recorded["raw"][field] == units(text)


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("arguments, texts", POP_SENT)
def test_pop_params_send_four_texts_never_null(emu, arguments, texts, by_keyword):
    params = new_params()
    assert call(params, "set_pop_params", arguments, by_keyword) is None
    recorded = emu.auth_parameters(handle_of(params))
    assert [recorded["raw"][f] for f in POP_FIELDS] == [units(t) for t in texts]


def test_additional_parameters_reach_the_runtime_each_time(emu):
    params = new_params()
    params.set_additional_parameter("k", "v\U0001F511")
    params.set_additional_parameter(key="k", value="")
    recorded = emu.auth_parameters(handle_of(params))
    assert recorded["additional_parameters"] == [("k", "v\U0001F511"), ("k", "")]


def incorrect(name, got):
    return f"Argument '{name}' has incorrect type (expected str, got {got})"


# (method, positional arguments, runtime operation, exception, exact message or None)
REFUSED = [
    ("set_requested_scopes", (None,), TypeError, "Argument 'scopes' must not be None"),
    ("set_requested_scopes", (("a", "b"),), TypeError, "scopes must be an list type"),
    ("set_requested_scopes", (["a", 1],), TypeError,
     "sequence item 1: expected str instance, int found"),
    ("set_requested_scopes", (["\ud800"],), UnicodeEncodeError, None),
    ("set_redirect_uri", (None,), TypeError, incorrect("redirect_uri", "NoneType")),
    ("set_decoded_claims", (Str("c"),), TypeError, incorrect("claims", "Str")),
    ("set_access_token_to_renew", (b"t",), TypeError, incorrect("access_token_to_renew", "bytes")),
    ("set_access_token_to_renew", ("\udc00",), UnicodeEncodeError, None),
    ("set_pop_params", (None, "h", None, None), TypeError, incorrect("http_method", "NoneType")),
    ("set_pop_params", ("GET", None, None, None), TypeError, incorrect("uri_host", "NoneType")),
    ("set_pop_params", ("GET", "h", 1, None), TypeError, incorrect("uri_path", "int")),
    ("set_pop_params", ("GET", "h", None, Str("n")), TypeError, incorrect("nonce", "Str")),
    ("set_pop_params", (1, None, 1, 1), TypeError, incorrect("http_method", "int")),
    ("set_pop_params", ("GET", "h", "p", "\ud800"), UnicodeEncodeError, None),
    ("set_additional_parameter", (1, None), TypeError, incorrect("key", "int")),
    ("set_additional_parameter", ("k", None), TypeError, incorrect("value", "NoneType")),
]

OPERATION = {
    "set_requested_scopes": "SetRequestedScopes",
    "set_redirect_uri": "SetRedirectUri",
    "set_decoded_claims": "SetDecodedClaims",
    "set_access_token_to_renew": "SetAccessTokenToRenew",
    "set_pop_params": "SetPopParams",
    "set_additional_parameter": "SetAdditionalParameter",
}


@pytest.mark.parametrize("method, args, error, message", REFUSED)
def test_refused_arguments_never_reach_the_runtime(emu, method, args, error, message):
    params = new_params()
    with pytest.raises(error) as info:
        getattr(params, method)(*args)
    if message:
        assert str(info.value) == message
    assert emu.calls(OPERATION[method]) == 0
    recorded = emu.auth_parameters(handle_of(params))
    assert all(recorded[f] is None for f in ["scopes", "redirect_uri", "claims"] + POP_FIELDS)


ONE_CALL = {
    "set_requested_scopes": (["s"],),
    "set_redirect_uri": ("r",),
    "set_decoded_claims": ("c",),
    "set_access_token_to_renew": ("t",),
    "set_pop_params": ("GET", "h", None, None),
    "set_additional_parameter": ("k", "v"),
}


@pytest.mark.parametrize("method", list(ONE_CALL))
def test_setter_refused_by_the_runtime_leaves_the_object_usable(emu, method):
    params = new_params()
    emu.fail_next(OPERATION[method], status=3, code=-3, tag=7, context="refused")
    with pytest.raises(RuntimeError) as info:
        getattr(params, method)(*ONE_CALL[method])
    assert info.value.args == (NO_NETWORK_MESSAGE,)
    assert getattr(params, method)(*ONE_CALL[method]) is None
    assert emu.calls(OPERATION[method]) == 2
