"""Window-handle helpers: real handles from the Windows API there, none elsewhere."""

import sys

import pytest

from pyvessaruntime import pyvessaruntime as native

NAMES = ["get_console_window", "get_desktop_window"]


def test_no_console_window_is_none():
    assert native.get_console_window() is None


def test_desktop_window_is_an_int_even_when_null():
    # Callers pass it on as parentWindowHandle without a None check. Windows has a real desktop
    # window; elsewhere the handle is null.
    window = native.get_desktop_window()
    assert type(window) is int
    assert (window != 0) if sys.platform == "win32" else (window == 0)


@pytest.mark.parametrize("name", NAMES)
def test_function_identity(name):
    function = getattr(native, name)
    assert function.__doc__ == f"{name}()"
    assert function.__qualname__ == name
    assert function.__module__ == "pyvessaruntime.pyvessaruntime"


@pytest.mark.parametrize("name", NAMES)
def test_positional_argument_is_refused(name):
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no arguments \(1 given\)$"):
        getattr(native, name)(0)


@pytest.mark.parametrize("name", NAMES)
def test_keyword_argument_is_refused(name):
    with pytest.raises(TypeError, match=rf"^{name}\(\)"):
        getattr(native, name)(window=0)
