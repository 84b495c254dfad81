"""Text going to the runtime and coming back through the two-call protocol."""

import pytest

import pyvessaruntime.pyvessaruntime as m


@pytest.mark.parametrize("text, expected", [
    ("", b""),
    ("A", b"A\x00"),
    ("a\x00b", b"a\x00\x00\x00b\x00"),
    ("\u00e9\u20ac", b"\xe9\x00\xac\x20"),
    ("\U0001F600", b"\x3d\xd8\x00\xde"),
    ("\ufeffx", b"\xff\xfex\x00"),
])
def test_encoded_bytes(text, expected):
    assert m._get_encoded_bytes(text) == expected
    assert m._get_encoded_bytes(input_str=text) == expected


@pytest.mark.parametrize("value, error, message", [
    (None, AttributeError, "'NoneType' object has no attribute 'encode'"),
    (b"x", TypeError, "Argument 'input_str' has incorrect type (expected str, got bytes)"),
    (type("Text", (str,), {})("x"), TypeError,
     "Argument 'input_str' has incorrect type (expected str, got Text)"),
])
def test_encoded_bytes_refuses(value, error, message):
    with pytest.raises(error) as info:
        m._get_encoded_bytes(value)
    assert str(info.value) == message


@pytest.mark.parametrize("text", ["\ud800", "ok\udfff", "\udc00\ud800"])
def test_lone_surrogate_is_the_codecs_error(text):
    with pytest.raises(UnicodeEncodeError) as ours:
        m._get_encoded_bytes(text)
    with pytest.raises(UnicodeEncodeError) as codec:
        text.encode("utf-16-le")
    assert str(ours.value) == str(codec.value)


def test_native_string_starts_empty():
    text = m.NativeString("ignored", key="ignored")
    assert text.is_empty() is True
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        text.get_string()
    assert m.NativeString.get_string.__doc__ == "NativeString.get_string(self)"
    assert m.NativeString.is_empty.__doc__ == "NativeString.is_empty(self)"


@pytest.fixture
def account(emu):
    """An account object over a stored account, and a setter for its display name."""
    account_id = emu.add_account()

    def set_name(value):
        emu.set_account_property(account_id, "display_name", value)
    # pytest keeps fixture values until after the leak check: hand out a holder and empty it.
    holder = [m.VESSARuntimeAccount(emu.new_account_handle(account_id)), set_name]
    yield holder
    holder.clear()


@pytest.mark.parametrize("first_call_error", [True, False])
@pytest.mark.parametrize("value, expected", [
    (None, None),
    ("", ""),
    ("x", "x"),
    ("caf\u00e9 \U0001F600 \u4e2d", "caf\u00e9 \U0001F600 \u4e2d"),
    ("a\x00b", "a\x00b"),
    ("\ufeffbom", "\ufeffbom"),
    ("y" * 70000, "y" * 70000),
])
def test_runtime_text_comes_back(emu, account, value, expected, first_call_error):
    obj, set_name = account
    emu.set_string_protocol(first_call_error=first_call_error)
    set_name(value)
    assert obj.get_display_name() == expected
    # no value: one call only; a value: the size-finding call, then the filling call
    assert emu.calls("GetDisplayName") == (1 if value is None else 2)


def test_invalid_utf16_from_the_runtime(account):
    obj, set_name = account
    set_name([0x61, 0xD800, 0x62])
    with pytest.raises(UnicodeDecodeError):
        obj.get_display_name()


def test_negative_size_is_a_runtime_failure(emu, account):
    obj, set_name = account
    set_name("text")
    emu.set_string_protocol(negative_size=True)
    with pytest.raises(RuntimeError, match="negative string size.*Status_Unexpected"):
        obj.get_display_name()


@pytest.mark.parametrize("grow_by", [1, 5, 1000])
def test_size_growing_on_the_second_call_reads_only_the_buffer(emu, account, grow_by):
    obj, set_name = account
    set_name("abc")
    emu.set_string_protocol(grow_by=grow_by)
    assert obj.get_display_name() == "abc"


@pytest.mark.parametrize("read", ["property", "error context"])
def test_second_call_reporting_no_units_reads_as_no_value(emu, account, read):
    obj, set_name = account
    set_name("abc")
    error = m.VESSARuntimeAuthResult(emu.new_auth_result(error=emu.Error(3, 0, 0, "abc"))).get_error()
    emu.set_string_protocol(grow_by=-4)  # the filling call reports 4 - 4 = 0 units
    assert (obj.get_display_name() if read == "property" else error.get_context()) is None


def test_first_call_failure_other_than_insufficient_buffer_raises(emu, account):
    obj, set_name = account
    set_name("abc")
    emu.fail_next("GetDisplayName", status=3, code=7, tag=1, context="offline")
    with pytest.raises(RuntimeError) as info:
        obj.get_display_name()
    assert str(info.value) == ("ErrorTag: 1, ErrorCode: 7, ErrorContext: offline, "
                               "ErrorStatus: Response_Status.Status_NoNetwork")


def test_insufficient_buffer_on_the_first_call_leaves_the_size_unread(emu, account):
    # A scripted first-call failure writes no size: tolerated, and then there is no value.
    obj, set_name = account
    set_name("abc")
    emu.fail_next("GetDisplayName", status=10)
    assert obj.get_display_name() is None


def test_insufficient_buffer_on_the_second_call_raises(emu, account):
    obj, set_name = account
    set_name("abc")
    emu.fail_next("GetDisplayName", status=10, context="still too small", after=1)
    with pytest.raises(RuntimeError, match="ErrorContext: still too small, "
                                           "ErrorStatus: Response_Status.Status_InsufficientBuffer"):
        obj.get_display_name()


def test_sent_text_ends_in_a_whole_terminator_whatever_the_encoder_returns(emu, monkeypatch):
    # An odd byte count keeps its last byte in a unit of its own before the terminator.
    monkeypatch.setattr(m, "_get_encoded_bytes", lambda text: b"A\x00B")
    params = m.VESSARuntimeAuthParameters("client", "authority")
    (handle,) = emu.live_handle_values("auth_parameters")
    assert emu.auth_parameters(handle)["raw"]["client_id"] == [0x41, 0x42]
    del params


def test_encoder_is_looked_up_at_each_call(emu, monkeypatch):
    seen = []

    def encoder(text):
        seen.append(text)
        return text.encode("utf-16-le")
    monkeypatch.setattr(m, "_get_encoded_bytes", encoder)
    m.VESSARuntimeAuthParameters("client", "authority")
    assert seen == ["client", "authority"]


def test_lone_surrogate_stops_before_the_runtime(emu):
    with pytest.raises(UnicodeEncodeError):
        m.VESSARuntimeAuthParameters("client\ud800", "authority")
    assert emu.calls("CreateAuthParameters") == 0


def test_response_status_is_looked_up_at_each_read(emu, account, monkeypatch):
    obj, set_name = account
    set_name("abc")
    seen = []
    real = m.Response_Status

    def status(value):
        seen.append(value)
        return real(value)
    monkeypatch.setattr(m, "Response_Status", status)
    assert obj.get_display_name() == "abc"
    assert 10 in seen
    monkeypatch.delattr(m, "Response_Status")
    with pytest.raises(NameError, match="name 'Response_Status' is not defined"):
        obj.get_display_name()


def nul_cases():
    """(runtime operation, call) for every text argument that reaches the runtime."""
    params = lambda: m.VESSARuntimeAuthParameters("c", "a")  # noqa: E731
    account = lambda e: m.VESSARuntimeAccount(e.new_account_handle(e.add_account()))  # noqa: E731
    done = lambda result: None  # noqa: E731
    yield "CreateAuthParameters", lambda e: m.VESSARuntimeAuthParameters("c\0evil", "a")
    yield "CreateAuthParameters", lambda e: m.VESSARuntimeAuthParameters("c", "https://a\0b")
    yield "SetRequestedScopes", lambda e: params().set_requested_scopes(["a\0b", "c"])
    yield "SetRedirectUri", lambda e: params().set_redirect_uri("r\0")
    yield "SetDecodedClaims", lambda e: params().set_decoded_claims("{}\0")
    yield "SetAccessTokenToRenew", lambda e: params().set_access_token_to_renew("\0t")
    yield "SetPopParams", lambda e: params().set_pop_params("GET", "h", None, "n\0")
    yield "SetAdditionalParameter", lambda e: params().set_additional_parameter("k\0", "v")
    yield "SignInSilentlyAsync", lambda e: m.signin_silently(params(), "c\0", done)
    yield "SignInAsync", lambda e: m.signin(0, params(), "c", "hint\0", done)
    yield "SignInInteractivelyAsync", lambda e: m.signin_interactively(0, params(), "\0", None,
                                                                        done)
    yield "AcquireTokenSilentlyAsync", lambda e: m.acquire_token_silently(params(), "c\0",
                                                                          account(e), done)
    yield "ReadAccountByIdAsync", lambda e: m.read_account_by_id("id\0", "c", done)
    yield "SignOutSilentlyAsync", lambda e: m.signout_silently("client\0", "c", account(e), done)
    yield "DiscoverAccountsAsync", lambda e: m.discover_accounts("client\0", "c", done)


@pytest.mark.keeps_callback_records  # a start refuses the text after registering its callback
@pytest.mark.parametrize("operation, call", list(nul_cases()),
                         ids=[f"{op}-{i}" for i, (op, _) in enumerate(nul_cases())])
def test_embedded_null_never_reaches_the_runtime(started, operation, call):
    with pytest.raises(ValueError, match="^embedded null character$"):
        call(started)
    assert started.calls(operation) == 0
