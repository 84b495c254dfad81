"""log_to: the runtime's lines as records of a logging logger."""

import logging
import os
import subprocess
import sys
from pathlib import Path

import pytest

import pyvessaruntime as vrt
import pyvessaruntime.pyvessaruntime as m


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.seen = []

    def emit(self, record):
        self.seen.append((record.levelno, record.getMessage(), record.runtime_level))


@pytest.fixture
def records():
    logger = logging.getLogger("test.runtime")
    handler = Records()
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield handler.seen
    logger.removeHandler(handler)


@pytest.mark.parametrize("level, expected", [
    (1, logging.DEBUG), (2, logging.DEBUG), (3, logging.INFO), (4, logging.WARNING),
    (5, logging.ERROR), (6, logging.CRITICAL)])
def test_levels_from_native_threads(emu, records, level, expected):
    with vrt.log_to("test.runtime"):
        emu.emit_log("hello \U0001f600", level, thread="native", threads=3)
    assert records == [(expected, "hello \U0001f600", level)] * 3


@pytest.mark.parametrize("level", [0, 7, -1])
def test_an_unknown_level_is_reported_by_the_native_module_not_routed(emu, records, level,
                                                                       unraisable):
    with vrt.log_to(logging.getLogger("test.runtime")):
        emu.emit_log("odd", level)
    assert records == []
    assert [(kind, routine) for kind, _, _, routine in unraisable] == [
        (ValueError, "pyvessaruntime.pyvessaruntime._VESSARUNTIMELogCallback")]


def test_a_routing_is_a_registration_of_the_native_module(emu, records):
    with vrt.log_to("test.runtime") as routing:
        assert len(m._logCallbackStorage) == 1 and emu.log_registrations() == 1
        emu.emit_log("through the module", 4)
    assert records == [(logging.WARNING, "through the module", 4)] and routing.closed
    assert m._logCallbackStorage == {} and m._callbackStorage == {}


def test_the_layer_imports_no_ctypes():
    # As a program bound to the system's runtime imports it: the emulator found where the platform
    # looks for the runtime (one chosen by PYVESSARUNTIME_RUNTIME is loaded through ctypes).
    folder = str(Path(vrt.runtime_path()).parent)
    env = {k: v for k, v in os.environ.items() if k != "PYVESSARUNTIME_RUNTIME"}
    env["LD_LIBRARY_PATH"] = os.pathsep.join(filter(None, [folder, env.get("LD_LIBRARY_PATH")]))
    script = f"""
import os, sys
if sys.platform == "win32":
    os.add_dll_directory({folder!r})
import pyvessaruntime as vrt
import pyvessaruntime.pyvessaruntime as m
vrt.log_to, vrt.Client, vrt.AsyncClient, vrt.Token, vrt.AuthError
from pyvessaruntime import helpers
print(sorted(name for name in sys.modules if name.split(".")[0] == "ctypes"))
"""
    done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True,
                          timeout=60, env=env)
    assert done.stdout == "[]\n", done.stderr


@pytest.mark.parametrize("units, text", [
    ([0x61, 0xD800, 0x62], "a\ufffdb"),          # a lone surrogate
    ([0x41] * 70000, "A" * 65536),               # cut where the native module cuts
    ([], ""),
])
def test_text_the_strict_decoder_refuses_is_delivered(emu, records, units, text):
    with vrt.log_to("test.runtime"):
        emu.emit_log(units, 3)
    assert records == [(logging.INFO, text, 3)]


def test_close_ends_the_routing_and_pii_is_switched(emu, records):
    routing = vrt.log_to("test.runtime", pii=True)
    assert emu.pii_enabled() == 1 and emu.log_registrations() == 1 and not routing.closed
    routing.close()
    routing.close()
    emu.emit_log("after", 3)
    assert records == [(logging.DEBUG, "PII logging on", 2)]
    assert emu.log_registrations() == 0 and routing.closed and emu.pii_enabled() == 0


def test_pii_is_restored_as_routings_close_in_any_order(emu):
    outer = vrt.log_to("test.runtime", pii=True)
    inner = vrt.log_to("test.runtime", pii=False)
    plain = vrt.log_to("test.runtime")
    seen = [emu.pii_enabled()]
    for routing in (plain, inner, outer):  # innermost first: the enclosing setting comes back
        routing.close()
        seen.append(emu.pii_enabled())
    first, second = vrt.log_to(pii=True), vrt.log_to(pii=False)
    first.close()  # out of order: the newer setting stays
    seen.append(emu.pii_enabled())
    second.close()
    assert seen + [emu.pii_enabled()] == [0, 0, 1, 0, 0, 0]


def test_a_routing_survives_shutdown_and_start(emu, records):
    with vrt.log_to("test.runtime", pii=True) as routing:
        for _ in range(2):
            with vrt.running():
                emu.emit_log("running", 3)
            assert emu.log_registrations() == 0 and not routing.closed
        emu.emit_log("stopped", 3)
    assert [text for _, text, _ in records].count("running") == 2
    assert "stopped" not in [text for _, text, _ in records]
    assert emu.log_registrations() == 0 and emu.pii_enabled() == 0


def test_a_refused_registration_raises_and_leaves_no_record(emu):
    emu.fail_next("RegisterLogCallback", 9, code=4, tag=5)
    with pytest.raises(vrt.ConfigurationError) as caught:
        vrt.log_to(pii=True)
    assert (caught.value.error_code, caught.value.tag) == (4, 5)
    assert m._callbackStorage == {} and emu.pii_enabled() == 0
    for bad in ({"logger": 3}, {"pii": 1}):
        with pytest.raises(TypeError):
            vrt.log_to(**bad)


def test_exit_with_an_open_routing_while_native_threads_log():
    script = """
import logging, threading, time
import pyvessaruntime as vrt
import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import emulator_internals as emulator
logging.basicConfig(level=logging.DEBUG)
vrt.start()
vrt.log_to()
def spam():
    while True:
        emulator.emit_log("line", 3, thread="native", threads=2)
threading.Thread(target=spam, daemon=True).start()
time.sleep(0.2)
print("exiting")
"""
    done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and done.stdout == "exiting\n", done.stderr[-2000:]
    assert "INFO:vessaruntime:line" in done.stderr


def test_a_routing_closed_by_a_later_exit_function_releases_nothing_twice():
    # Exit functions run last registered first: this one runs after the module's own end, which
    # gave the registration back already.
    script = """
import atexit
routings = []
atexit.register(lambda: routings.pop().close() or print(emulator.take_contract_violations()))
import pyvessaruntime as vrt
from pyvessaruntime import emulator_internals as emulator
vrt.start()
routings.append(vrt.log_to())
"""
    done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and done.stdout == "[]\n", done.stderr[-2000:]


@pytest.mark.parametrize("act, says", [(vrt.start, "start() was called while this thread"),
                                       (vrt.shutdown, "shutdown() was called while this thread"),
                                       (lambda: {}["x"], "KeyError: 'x'")])
def test_a_handler_failing_during_start_up_is_reported_once_at_once(emu, capsys, act, says):
    logger, handler = logging.getLogger("test.failing"), logging.Handler()
    handler.emit = lambda record: act()
    logger.addHandler(handler)
    with vrt.log_to(logger), vrt.running():
        logger.removeHandler(handler)
    failures = capsys.readouterr().err
    assert says in failures and failures.count("Traceback") == failures.count("--- Logging error")
