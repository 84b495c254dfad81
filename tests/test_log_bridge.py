"""log_to: the runtime's lines as records of a logging logger."""

import logging
import subprocess
import sys

import pytest

import pyvessaruntime as vrt


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
def test_an_unknown_level_is_still_delivered_at_warning(emu, records, level, unraisable):
    with vrt.log_to(logging.getLogger("test.runtime")):
        emu.emit_log("odd", level)
    assert records == [(logging.WARNING, f"[runtime log level {level}] odd", level)]
    assert unraisable == []


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
    assert records == [] and emu.log_registrations() == 0 and routing.closed


def test_shutdown_ends_open_routings(emu):
    vrt.start()
    routing = vrt.log_to()
    vrt.shutdown()
    assert routing.closed and emu.log_registrations() == 0


def test_a_refused_registration_raises(emu):
    emu.fail_next("RegisterLogCallback", 9, code=4, tag=5)
    with pytest.raises(vrt.ConfigurationError) as caught:
        vrt.log_to()
    assert (caught.value.error_code, caught.value.tag) == (4, 5)
    with pytest.raises(TypeError):
        vrt.log_to(3)


def test_exit_with_an_open_routing_while_native_threads_log():
    script = """
import logging, threading, time
import pyvessaruntime as vrt
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
