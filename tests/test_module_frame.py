"""What importing the module creates, in which order, and how it guards itself."""

import copy
import importlib
import pickle
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import needs_subinterpreters

import pyvessaruntime
import pyvessaruntime.pyvessaruntime as m

MODULE = "pyvessaruntime.pyvessaruntime"

CLASSES = [
    "VESSARuntimeLogCallbackHandle",
    "VESSARuntimeAsyncHandle",
    "VESSARuntimeAccount",
    "VESSARuntimeAuthParameters",
    "VESSARuntimeAuthResult",
    "VESSARuntimeSignOutResult",
    "VESSARuntimeReadAccountResult",
    "VESSARuntimeDiscoverAccountsResult",
    "VESSARuntimeError",
    "NativeString",
]

# The module namespace in binding order (names of later subsystems may be absent).
NAMESPACE_ORDER = CLASSES + [
    "IntEnum", "Enum", "json", "Event",
    "get_console_window", "get_desktop_window",
    "_get_encoded_bytes", "_get_VESSARuntime_event",
    "Response_Status", "LogLevel", "SsoPolicyType",
    "read_account_by_id",
    "signin", "signin_silently", "signin_interactively",
    "signout_silently", "discover_accounts",
    "acquire_token_silently", "acquire_token_interactively",
    "register_logging_callback", "set_is_pii_enabled",
    "get_sso_policy", "_startup_vessaruntime", "_shutdown_vessaruntime",
    "_callbackStorage", "_VESSARuntimeCallBackData", "_logCallbackStorage", "CallbackData",
    "__test__",
]

NO_DEFAULT_REDUCE = "no default __reduce__ due to non-trivial __cinit__"


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)


def test_namespace_binds_everything_in_order():
    # In a fresh interpreter: tests here rebind names, which moves them to the end of the dict.
    result = run_python("""
        import pyvessaruntime.pyvessaruntime as m
        print(" ".join(vars(m)))
    """)
    names = [n for n in result.stdout.split() if n in NAMESPACE_ORDER]
    assert names == NAMESPACE_ORDER, result.stderr
    assert m.__doc__ is None
    assert m.__builtins__ is __import__("builtins")
    assert m.__test__ == {} and m._callbackStorage is not m._logCallbackStorage
    assert issubclass(m.IntEnum, m.Enum)


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(m, name)
    assert cls.__module__ == MODULE and cls.__qualname__ == name and cls.__bases__ == (object,)
    gc_tracked = bool(cls.__flags__ & (1 << 14))
    assert gc_tracked == (name == "VESSARuntimeDiscoverAccountsResult")
    assert type("Sub", (cls,), {})  # subclassable
    assert (cls.__doc__ is not None) == (name == "VESSARuntimeAuthParameters")


def instances():
    yield m.VESSARuntimeLogCallbackHandle()
    yield m.VESSARuntimeAsyncHandle()
    for name in ["VESSARuntimeAccount", "VESSARuntimeAuthResult", "VESSARuntimeSignOutResult",
                 "VESSARuntimeReadAccountResult", "VESSARuntimeDiscoverAccountsResult"]:
        yield getattr(m, name)(0)
    yield m.VESSARuntimeAuthParameters.__new__(m.VESSARuntimeAuthParameters)
    yield m.VESSARuntimeError()
    yield m.NativeString()


@pytest.mark.parametrize("obj", list(instances()), ids=lambda o: type(o).__name__)
@pytest.mark.parametrize("attempt", [
    pickle.dumps, copy.copy, copy.deepcopy,
    lambda o: o.__reduce__(), lambda o: o.__setstate__({}),
], ids=["pickle", "copy", "deepcopy", "reduce", "setstate"])
def test_pickling_is_refused(obj, attempt):
    expected = ("self._handle cannot be converted to a Python object for pickling"
                if isinstance(obj, m.VESSARuntimeAuthParameters) else NO_DEFAULT_REDUCE)
    with pytest.raises(TypeError) as info:
        attempt(obj)
    assert str(info.value) == expected


@pytest.mark.parametrize("name", CLASSES)
def test_methods_precede_the_pickling_hooks(name):
    listed = [n for n in vars(getattr(m, name)) if not n.startswith("__") or n in
              ("__reduce__", "__setstate__")]
    assert listed[-2:] == ["__reduce__", "__setstate__"]


def test_pickling_hooks_are_methods_of_the_class():
    hook = m.VESSARuntimeAccount.__reduce__
    assert hook.__qualname__ == "VESSARuntimeAccount.__reduce__" and hook.__module__ == MODULE
    with pytest.raises(TypeError):
        m.VESSARuntimeAccount.__setstate__(m.VESSARuntimeAccount(0))  # state is required


@pytest.mark.parametrize("function, qualname, doc", [
    (lambda: m.signin_silently, "signin_silently",
     "signin_silently(VESSARuntimeAuthParameters auth_params, str correlationId, py_callback)"),
    (lambda: m.NativeString.is_empty, "NativeString.is_empty", "NativeString.is_empty(self)"),
    (lambda: m.VESSARuntimeError.__reduce__, "VESSARuntimeError.__reduce__", None),
    (lambda: m.CallbackData.complete, "CallbackData.complete",
     "CallbackData.complete(self, result)"),
], ids=["function", "method", "pickling hook", "plain class method"])
@pytest.mark.parametrize("change", [lambda f: setattr(f, "__doc__", "x"),
                                    lambda f: delattr(f, "__doc__"),
                                    lambda f: setattr(f, "__qualname__", "x")],
                         ids=["set doc", "delete doc", "set qualname"])
def test_function_names_and_docstrings_are_fixed(function, qualname, doc, change):
    f = function()
    assert f.__qualname__ == qualname and f.__doc__ == doc and f.__doc__ is f.__doc__
    with pytest.raises(AttributeError, match="^readonly attribute$"):
        change(f)
    assert f.__doc__ == doc


@pytest.mark.parametrize("cls, count, first, last", [
    ("Response_Status", 22, "Status_Unexpected", "Status_FallbackToNativeVessa"),
    ("LogLevel", 6, "TRACE", "FATAL"),
    ("SsoPolicyType", 4, "Unknown", "Error"),
])
def test_enumeration_shape(cls, count, first, last):
    enum_class = getattr(m, cls)
    members = list(enum_class)
    assert len(members) == count and members[0].name == first and members[-1].name == last
    assert [x.value for x in members] == list(range(members[0].value, members[0].value + count))
    assert enum_class.__bases__ == (m.Enum,) and enum_class.__doc__ is None
    assert enum_class.__module__ == MODULE and enum_class.__qualname__ == cls


@pytest.mark.parametrize("cls, bad", [
    ("Response_Status", 22), ("Response_Status", -1), ("LogLevel", 0), ("LogLevel", 7),
    ("SsoPolicyType", 4),
])
def test_enumeration_refuses_unknown_values(cls, bad):
    with pytest.raises(ValueError):
        getattr(m, cls)(bad)


def test_enumeration_members_are_not_integers():
    assert m.Response_Status(21) is m.Response_Status.Status_FallbackToNativeVessa
    assert m.LogLevel(1) is m.LogLevel.TRACE and m.SsoPolicyType(3).value == 3
    assert m.Response_Status.Status_Unexpected != 0
    assert not isinstance(m.LogLevel.INFO, int)
    assert str(m.Response_Status.Status_NoNetwork) == "Response_Status.Status_NoNetwork"
    assert format(m.SsoPolicyType.AlwaysAllowed) == "SsoPolicyType.AlwaysAllowed"
    assert [x.name for x in m.LogLevel] == ["TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"]


@pytest.mark.keeps_callback_records
def test_reimport_yields_the_same_module_and_storages():
    m._callbackStorage["marker"] = 1
    storage = m._callbackStorage
    del sys.modules[MODULE]
    try:
        again = importlib.import_module(MODULE)
    finally:
        sys.modules[MODULE] = m
    assert again is m and again._callbackStorage is storage and storage["marker"] == 1


SUBINTERPRETER_IMPORT = """
try:
    import pyvessaruntime.pyvessaruntime
except ImportError as e:
    message = str(e)
else:
    message = "imported"
expected = ("Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.")
assert message == expected, message
"""


@needs_subinterpreters
def test_import_in_a_subinterpreter_fails():
    result = run_python(f"""
        import _interpreters
        import pyvessaruntime.pyvessaruntime as m
        interp = _interpreters.create('legacy')
        failure = _interpreters.run_string(interp, {SUBINTERPRETER_IMPORT!r})
        assert failure is None, failure
        _interpreters.destroy(interp)
        assert m._callbackStorage == {{}} and m.CallbackData
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize("breakage, message", [
    ("sys.modules['json'] = None", "import of json halted"),
    ("import builtins; del builtins.id", "the builtin 'id' is missing"),
])
def test_a_failed_step_of_module_execution_fails_the_import(breakage, message):
    result = run_python(f"""
        import sys
        {breakage}
        try:
            import pyvessaruntime.pyvessaruntime
        except ImportError as e:
            print("ImportError", e)
    """)
    assert result.stdout.startswith("ImportError") and message in result.stdout, result.stderr


def test_sources_use_no_private_python_api():
    # Only the shims for older CPythons may use what those versions had instead of a public name.
    sources = Path(__file__).resolve().parent.parent / "pyvessaruntime"
    private = {(path.name, match) for path in sources.rglob("*.[ch]pp")
               for match in re.findall(r"\b_Py[A-Za-z0-9_]*", path.read_text())}
    assert private <= {("python.hpp", "_PyThreadState_UncheckedGet"),
                       ("python.hpp", "_Py_IsFinalizing"), ("python.hpp", "_Py_AtExit")}


def test_import_makes_no_runtime_call():
    result = run_python("""
        import pyvessaruntime
        from pyvessaruntime import emulator_internals as emulator
        calls = {op: emulator.calls(op) for op in emulator.names().operations}
        assert len(calls) == 65 and not any(calls.values()), calls
        assert not emulator.is_started()
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_package_reexports_public_names():
    imported = {"IntEnum", "Enum", "Event", "json"}
    native_public = {name for name in vars(m) if not name.startswith("_")} - imported
    assert native_public <= set(pyvessaruntime.__all__)
    for name in native_public:
        assert getattr(pyvessaruntime, name) is getattr(m, name)
    assert not any(name.startswith("_") for name in pyvessaruntime.__all__ if name != "__version__")


@pytest.mark.keeps_callback_records
class TestCallbackRecord:
    def test_registers_itself_under_its_id(self):
        def f(result):
            pass
        record = m._VESSARuntimeCallBackData(f)
        assert record.callback is f and record.id == id(record)
        assert m._callbackStorage[record.id] is record
        assert type(record).__module__ == MODULE and type(record).__bases__ == (object,)
        assert vars(record) == {"callback": f, "id": id(record)}

    def test_init_signature(self):
        init = m._VESSARuntimeCallBackData.__init__
        assert init.__qualname__ == "_VESSARuntimeCallBackData.__init__"
        assert init.__doc__ == "_VESSARuntimeCallBackData.__init__(self, callback)"
        record = m._VESSARuntimeCallBackData(callback=None)
        assert record.callback is None
        with pytest.raises(TypeError):
            m._VESSARuntimeCallBackData()

    def test_storage_is_looked_up_at_call_time(self, monkeypatch):
        replacement = {}
        monkeypatch.setattr(m, "_callbackStorage", replacement)
        record = m._VESSARuntimeCallBackData(len)
        assert replacement == {record.id: record}

    def test_missing_storage_raises_name_error_after_setting_attributes(self, monkeypatch):
        monkeypatch.delattr(m, "_callbackStorage")
        record = m._VESSARuntimeCallBackData.__new__(m._VESSARuntimeCallBackData)
        with pytest.raises(NameError, match="name '_callbackStorage' is not defined"):
            record.__init__(len)
        assert record.callback is len and record.id == id(record)


class TestCallbackData:
    def test_defaults(self):
        data = m.CallbackData()
        assert data.result is None and not data.signal.is_set()
        assert isinstance(data.signal, m.Event)
        assert m.CallbackData.__init__.__doc__ == "CallbackData.__init__(self, is_interactive=False)"
        assert m.CallbackData.complete.__doc__ == "CallbackData.complete(self, result)"
        assert m.CallbackData.complete.__module__ == MODULE

    def test_complete_stores_then_signals(self):
        data = m.CallbackData()
        marker = object()
        assert data.complete(result=marker) is None
        assert data.result is marker and data.signal.is_set()
        data.complete(None)
        assert data.result is None and data.signal.is_set()

    @pytest.mark.parametrize("interactive, uses_factory", [
        (True, True), (1, True), ("x", True), (False, False), (0, False), ("", False)])
    def test_signal_source_follows_truth_of_is_interactive(self, monkeypatch, interactive,
                                                           uses_factory):
        from_factory, from_event = object(), object()
        monkeypatch.setattr(m, "_get_VESSARuntime_event", lambda: from_factory)
        monkeypatch.setattr(m, "Event", lambda: from_event)
        data = m.CallbackData(is_interactive=interactive)
        assert data.signal is (from_factory if uses_factory else from_event)

    def test_event_factory_makes_new_unset_events(self):
        first, second = m._get_VESSARuntime_event(), m._get_VESSARuntime_event()
        assert first is not second and not first.is_set() and not second.is_set()
        assert m._get_VESSARuntime_event.__doc__ == "_get_VESSARuntime_event()"

    def test_methods_take_any_instance_like_ordinary_methods(self):
        class Other:
            signal = m.Event()
        other = Other()
        assert m.CallbackData.complete(other, 7) is None
        assert other.result == 7 and Other.signal.is_set()

    def test_truth_test_failure_propagates(self):
        class Undecided:
            def __bool__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            m.CallbackData(Undecided())

    def test_missing_event_raises_name_error(self, monkeypatch):
        monkeypatch.delattr(m, "Event")
        with pytest.raises(NameError, match="name 'Event' is not defined"):
            m.CallbackData()
