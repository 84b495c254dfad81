"""The hot paths take shortcuts only while the module's own objects are in place (its enumeration,
record class, encoder, a plain dict as storage). Each case here runs the same scenario with the
module as imported and with the object replaced by an equivalent one that forces the general
path, and requires the same answers, exceptions and runtime calls."""

import collections
import subprocess
import sys
import textwrap

import pytest

import pyvessaruntime.pyvessaruntime as m

READ_OPERATIONS = ("GetDisplayName", "GetStatus", "GetErrorCode", "GetTag", "GetContext",
                   "ReleaseError")


def lone_surrogate(emu, account_id):
    emu.set_account_property(account_id, "display_name", "a\ud800b")


# (name, how the emulator is set up before the read); the account starts without a display name.
READ_SCENARIOS = [
    ("absent", lambda emu, a: None),
    ("empty", lambda emu, a: emu.set_account_property(a, "display_name", "")),
    ("short", lambda emu, a: emu.set_account_property(a, "display_name", "Ada Lovelace")),
    ("short-no-first-error", lambda emu, a: (
        emu.set_string_protocol(first_call_error=False),
        emu.set_account_property(a, "display_name", "Ada"))),
    ("fills-the-stack-buffer", lambda emu, a: emu.set_account_property(a, "display_name", "x" * 511)),
    ("one-unit-more", lambda emu, a: emu.set_account_property(a, "display_name", "y" * 512)),
    ("long", lambda emu, a: emu.set_account_property(a, "display_name", "é€" * 3000)),
    ("outside-the-bmp", lambda emu, a: emu.set_account_property(a, "display_name", "a\U0001F600b")),
    ("invalid-utf16", lone_surrogate),
    ("negative-size", lambda emu, a: (
        emu.set_string_protocol(negative_size=True),
        emu.set_account_property(a, "display_name", "abc"))),
    ("announces-more-than-written", lambda emu, a: (
        emu.set_string_protocol(grow_by=3),
        emu.set_account_property(a, "display_name", "abc"))),
    ("size-call-fails", lambda emu, a: (
        emu.set_account_property(a, "display_name", "abc"),
        emu.fail_next("GetDisplayName", status=3, code=-5, tag=7, context="offline"))),
    ("size-call-fails-with-no-context", lambda emu, a: (
        emu.set_account_property(a, "display_name", "abc"),
        emu.fail_next("GetDisplayName", status=6))),
    ("filling-call-fails", lambda emu, a: (
        emu.set_account_property(a, "display_name", "abc"),
        emu.fail_next("GetDisplayName", status=10, context="still too small", after=1))),
    ("status-query-fails", lambda emu, a: (
        emu.set_account_property(a, "display_name", "abc"),
        emu.fail_next("GetStatus", status=0))),
    ("status-outside-the-enumeration", lambda emu, a: (
        emu.set_account_property(a, "display_name", "abc"),
        emu.fail_next("GetDisplayName", status=99))),
]


def observe_read(emu, scenario):
    """What one display-name read answers and which runtime calls it makes."""
    account_id = emu.add_account(display_name=None)
    account = m.VESSARuntimeAccount(emu.new_account_handle(account_id))
    scenario(emu, account_id)
    before = {op: emu.calls(op) for op in READ_OPERATIONS}
    try:
        answer = ("value", account.get_display_name())
    except Exception as error:  # noqa: BLE001 - the exception is the answer compared
        answer = (type(error), str(error))
    calls = {op: emu.calls(op) - before[op] for op in READ_OPERATIONS}
    del account
    emu.set_string_protocol()
    emu.remove_account(account_id)
    return answer, calls


@pytest.mark.parametrize("name, scenario", READ_SCENARIOS, ids=[n for n, _ in READ_SCENARIOS])
def test_string_reads_answer_alike_on_both_paths(emu, monkeypatch, name, scenario):
    native = observe_read(emu, scenario)
    real = m.Response_Status
    monkeypatch.setattr(m, "Response_Status", lambda value: real(value))
    general = observe_read(emu, scenario)
    assert native == general
    assert native[1]["GetDisplayName"] >= 1


def test_own_enumeration_with_a_comparison_of_its_own_is_compared_by_python(emu, monkeypatch):
    compared = []

    def eq(a, b):
        compared.append((a, b))
        return a is b
    monkeypatch.setattr(m.Response_Status, "__eq__", eq, raising=False)
    assert observe_read(emu, READ_SCENARIOS[2][1])[0] == ("value", "Ada Lovelace")
    member = m.Response_Status.Status_InsufficientBuffer
    assert (member, member) in compared


# -- texts sent to the runtime ---------------------------------------------------------------

TEXTS = ["", "a", "é" * 127, "é" * 128, "€" * 129, "a\U0001F600b", "x" * 5000,
         "\U0010FFFF" * 70]


@pytest.mark.parametrize("text", TEXTS, ids=lambda t: f"{len(t)}-{max(map(ord, t), default=0)}")
def test_texts_reach_the_runtime_alike_through_any_encoder(emu, monkeypatch, text):
    def sent():
        params = m.VESSARuntimeAuthParameters("client", "authority")
        params.set_redirect_uri(text)
        (handle,) = emu.live_handle_values("auth_parameters")
        return emu.auth_parameters(handle)["raw"]["redirect_uri"]
    native = sent()
    real = m._get_encoded_bytes
    monkeypatch.setattr(m, "_get_encoded_bytes", lambda value: real(value))
    assert sent() == native == list(memoryview(text.encode("utf-16-le")).cast("H"))


@pytest.mark.keeps_callback_records  # the start refuses the text after registering its callback
@pytest.mark.parametrize("text, error", [("a\ud800", UnicodeEncodeError),
                                         ("a\0b", ValueError)])
@pytest.mark.parametrize("replaced", [False, True])
def test_unusable_texts_fail_alike_through_any_encoder(started, monkeypatch, text, error,
                                                       replaced):
    if replaced:
        real = m._get_encoded_bytes
        monkeypatch.setattr(m, "_get_encoded_bytes", lambda value: real(value))
    with pytest.raises(error) as info:
        m.discover_accounts("client", text, print)
    assert (info.value.args if error is ValueError else info.value.reason) == (
        ("embedded null character",) if error is ValueError else "surrogates not allowed")
    assert started.calls("DiscoverAccountsAsync") == 0 and len(m._callbackStorage) == 1


# -- records and storages ---------------------------------------------------------------------

class PoppingStorage(dict):
    """A storage whose own pop and get are used, and seen."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def pop(self, key, *default):
        self.seen.append(("pop", default))
        return super().pop(key, *default)

    def get(self, key, *default):
        self.seen.append(("get", default))
        return super().get(key, *default)


class MappingStorage(collections.UserDict):
    pass


@pytest.mark.parametrize("storage", [dict, PoppingStorage, MappingStorage])
@pytest.mark.parametrize("mode", ["inline", "worker"])
def test_completion_pops_the_record_from_whatever_storage_is_bound(started, monkeypatch,
                                                                   storage, mode):
    replacement = storage()
    monkeypatch.setattr(m, "_callbackStorage", replacement)
    started.set_completion_mode(mode)
    results = []
    m.discover_accounts("client", "corr", results.append)
    assert started.wait_idle()
    assert [type(r) for r in results] == [m.VESSARuntimeDiscoverAccountsResult]
    assert len(replacement) == 0
    if storage is PoppingStorage:
        assert replacement.seen == [("pop", (None,))]
    results.clear()


@pytest.mark.parametrize("storage", [dict, PoppingStorage, MappingStorage])
def test_log_lines_find_the_record_in_whatever_storage_is_bound(emu, monkeypatch, storage):
    replacement = storage()
    monkeypatch.setattr(m, "_callbackStorage", replacement)
    lines = []
    handle = m.register_logging_callback(lambda text, level: lines.append((text, level)))
    emu.emit_log("hello", 2)
    emu.emit_log("from a thread", 5, thread="native")
    assert lines == [("hello", m.LogLevel.DEBUG), ("from a thread", m.LogLevel.ERROR)]
    if storage is PoppingStorage:
        assert replacement.seen == [("get", (None,))] * 2
    handle.release_logging_callback()


def test_records_made_by_operations_are_those_the_class_makes(started, monkeypatch):
    started.set_completion_mode("held")
    own = m._VESSARuntimeCallBackData

    def ignore(result):
        pass
    m.read_account_by_id("someone", "corr", ignore)
    (record,) = m._callbackStorage.values()
    assert type(record) is own and vars(record) == {"callback": ignore, "id": id(record)}
    made = []

    class Record(own):
        def __init__(self, callback):
            made.append(callback)
            super().__init__(callback)
    monkeypatch.setattr(m, "_VESSARuntimeCallBackData", Record)
    m.read_account_by_id("someone", "corr", ignore)
    assert made == [ignore] and {type(r) for r in m._callbackStorage.values()} == {own, Record}
    started.release_held()
    assert started.wait_idle() and m._callbackStorage == {}


# -- results released after the callback -------------------------------------------------------

@pytest.mark.parametrize("keep", [False, True])
def test_result_lives_exactly_as_long_as_its_object(started, keep):
    started.set_completion_mode("inline")
    kept = []
    m.discover_accounts("client", "corr", kept.append if keep else lambda result: None)
    assert started.live_handles()["discover_accounts_result"] == int(keep)
    kept.clear()
    assert started.live_handles()["discover_accounts_result"] == 0


def test_result_of_a_failed_call_is_released_before_the_report(started, monkeypatch):
    live_at_report = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: live_at_report.append(
        (report.exc_type, started.live_handles()["discover_accounts_result"])))
    started.set_completion_mode("inline")
    m.discover_accounts("client", "corr", 42)  # not callable: nothing but the bridge holds it
    assert live_at_report == [(TypeError, 0)]


# -- lookups of globals -----------------------------------------------------------------------

REBINDINGS = """
import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import emulator_internals as emu
first = {}
m._callbackStorage = first                                   # setattr
m._VESSARuntimeCallBackData(len); assert len(first) == 1
second = {}
vars(m)["_callbackStorage"] = second                         # the dict itself
m._VESSARuntimeCallBackData(len); assert len(first) == 1 and len(second) == 1
vars(m).update(_callbackStorage=first)                       # update
m._VESSARuntimeCallBackData(len); assert len(first) == 2
del m._callbackStorage                                       # deletion
try:
    m._VESSARuntimeCallBackData(len)
except NameError as e:
    assert str(e) == "name '_callbackStorage' is not defined"
else:
    raise AssertionError("no NameError")
import builtins
builtins._callbackStorage = second                           # the builtins answer
m._VESSARuntimeCallBackData(len); assert len(second) == 2
m._callbackStorage = first
vars(m)[7] = "a key that is no str"                          # lookups read the dict again
m._VESSARuntimeCallBackData(len); assert len(first) == 3
real = m.Response_Status
m.Response_Status = lambda value: real(value)
emu.set_account_property(emu.add_account(account_id="a", display_name="Ada"), "realm", "r")
account = m.VESSARuntimeAccount(emu.new_account_handle("a"))
assert account.get_display_name() == "Ada"
del m.Response_Status
try:
    account.get_display_name()
except NameError:
    print("ok")
"""


def test_rebinding_a_global_takes_effect_at_the_next_use_however_it_is_done():
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(REBINDINGS)],
                            capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "ok", result.stderr


CHANGED_RECORD_CLASS = """
import pyvessaruntime.pyvessaruntime as m
cls = m._VESSARuntimeCallBackData
original = cls.__init__
seen = []
def init(self, callback):
    seen.append(callback)
    original(self, callback)
cls.__init__ = init
m._startup_vessaruntime()
from pyvessaruntime import emulator_internals as emulator
emulator.set_completion_mode("held")
m.discover_accounts("client", "corr", len)
assert seen == [len] and len(m._callbackStorage) == 1
del cls.__init__
try:
    m.discover_accounts("client", "corr", len)
except TypeError as e:
    print("ok", e)
m._shutdown_vessaruntime()
"""


def test_a_changed_record_class_is_called_as_it_now_is():
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(CHANGED_RECORD_CLASS)],
                            capture_output=True, text=True, timeout=60)
    assert result.stdout.startswith("ok _VESSARuntimeCallBackData() takes no arguments"), \
        result.stderr
