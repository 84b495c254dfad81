"""Smoke test of an installed pyvessaruntime, as a user meets it; run by `make dist-check` with the
interpreter the package is installed for (under Wine for the Windows wheel).

    smoke.py missing            no runtime anywhere: the import fails and says what to do
    smoke.py emulator           PYVESSARUNTIME_RUNTIME=emulator: a whole sign-in cycle, and the
                                warning that the runtime is the emulator
    smoke.py stand-in PATH      the runtime at PATH is bound and the extension's calls reach it
                                (the minimal runtime of benchmarks/native)

The caller sets PYVESSARUNTIME_RUNTIME as each case needs. Exits non-zero on any fault.
"""

import ctypes
import os
import sys
import warnings

NAME = "vessaruntime.dll" if sys.platform == "win32" else "libvessaruntime.so"


def missing() -> str:
    try:
        import pyvessaruntime  # noqa: F401
    except ImportError as error:
        text = str(error)
        assert NAME in text and "PYVESSARUNTIME_RUNTIME=emulator" in text, text
        return text.split(". ")[0]
    raise AssertionError("the import succeeded without a runtime")


def emulator() -> str:
    import pyvessaruntime as vrt

    path = vrt.runtime_path()
    assert os.path.basename(os.path.dirname(path)) == "_emulator", path
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with vrt.running():
            client = vrt.Client("smoke-test", "https://login.example.test/common", timeout=30)
            token = client.sign_in_interactively(["user.read"])
            assert token.authorization_header.startswith("Bearer ") and token.account
            assert [a.account_id for a in client.discover_accounts()] == [
                token.account.account_id]
            client.sign_out(token.account)
    assert [w.category for w in caught] == [vrt.EmulatorWarning], caught
    return path


def stand_in(expected: str) -> str:
    import pyvessaruntime as vrt

    path = vrt.runtime_path()
    assert os.path.normcase(os.path.realpath(path)) == os.path.normcase(
        os.path.realpath(expected)), (path, expected)
    # The minimal runtime answers every string getter with the text set through its own
    # control; reading it back through the extension proves the calls reach that library.
    units = "reached".encode("utf-16-le")
    ctypes.CDLL(path).VESSABENCH_SetText((ctypes.c_uint16 * 7).from_buffer_copy(units), 7)
    with vrt.running():
        account = vrt.VESSARuntimeAccount(0x1000)
        assert account.get_user_name() == "reached"
        del account
    return path


if __name__ == "__main__":
    case = sys.argv[1]
    if case == "stand-in":
        detail = stand_in(sys.argv[2])
    else:
        detail = {"missing": missing, "emulator": emulator}[case]()
    print(f"smoke {case}: ok ({detail})")
