"""What the installed package holds, and how the extension finds its runtime library: by its
plain name, so that the system's runtime is bound unless the package loads another first."""

import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import pyvessaruntime
import pyvessaruntime.pyvessaruntime as m

PACKAGE = Path(pyvessaruntime.__file__).parent
WINDOWS = sys.platform == "win32"
NAME = "vessaruntime.dll" if WINDOWS else "libvessaruntime.so"
EMULATOR = PACKAGE / "_emulator" / NAME
EXTENSION = "pyvessaruntime" + re.escape(sysconfig.get_config_var("EXT_SUFFIX"))


def tool_output(*command):
    if WINDOWS:
        pytest.skip("ELF tools check the Linux build; `make windows` checks the DLL imports")
    if not shutil.which(command[0]):
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def test_installed_files():
    assert Path(m.__file__).parent == PACKAGE and EMULATOR.is_file()
    from pyvessaruntime.emulator import GUIDE
    assert "# The emulator library" in Path(GUIDE).read_text(encoding="utf-8")
    assert re.fullmatch(EXTENSION, Path(m.__file__).name)
    # Beside the extension, the emulator would be found by every search for the runtime.
    assert not (PACKAGE / NAME).exists()
    sources = [p.name for p in PACKAGE.rglob("*") if p.suffix in {".cpp", ".hpp", ".h", ".c"}]
    assert sources == []


def test_extension_needs_the_runtime_by_its_name_alone():
    dynamic = tool_output("readelf", "-d", m.__file__)
    assert re.search(r"\(NEEDED\)\s+Shared library: \[libvessaruntime\.so\]", dynamic)
    assert "RUNPATH" not in dynamic and "RPATH" not in dynamic


def test_emulator_answers_to_the_runtime_name():
    assert re.search(r"\(SONAME\)\s+Library soname: \[libvessaruntime\.so\]",
                     tool_output("readelf", "-d", str(EMULATOR)))


def test_runtime_exports_the_65_operations():
    symbols = tool_output("nm", "-D", "--defined-only", str(EMULATOR)).split()
    operations = sorted(s for s in symbols if s.startswith("VESSARUNTIME_"))
    assert len(operations) == 65
    from pyvessaruntime import emulator
    assert operations == sorted("VESSARUNTIME_" + op for op in emulator.names().operations)


def test_importing_from_the_source_folder_says_what_to_do():
    root = Path(__file__).resolve().parent.parent
    if any((root / "pyvessaruntime").glob("pyvessaruntime*.so")):
        pytest.skip("the extension is built in the source folder")
    # The folder goes first on the path explicitly: an embedded interpreter would not add it.
    done = subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {str(root)!r}); "
                           "import pyvessaruntime"], cwd=root, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 1
    assert "native extension is not built" in done.stderr and "pip install ." in done.stderr
    assert "partially initialized" not in done.stderr


def test_extension_carries_the_cpp_runtime_and_exports_its_entry_point_only():
    if "__asan_init" in tool_output("nm", "-D", "--undefined-only", m.__file__):
        pytest.skip("the sanitizer build keeps the shared C++ runtime library")
    # Loading libstdc++.so would cost every import; and no C++ symbol of the extension's may bind
    # to, or be bound by, a runtime that brings a C++ library of its own.
    assert "libstdc++" not in tool_output("readelf", "-d", m.__file__)
    exported = [line.split()[-1]
                for line in tool_output("nm", "-D", "--defined-only", m.__file__).splitlines()]
    assert exported == ["PyInit_pyvessaruntime"]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="a free-threaded CPython turns the GIL on for a module that needs it")
def test_a_free_threaded_interpreter_keeps_the_gil_off():
    code = ("import sys, pyvessaruntime, pyvessaruntime.client, pyvessaruntime._results\n"
            "assert not sys._is_gil_enabled()")
    done = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("variable, platform", [
    ("WHEEL_PYTHONS", "manylinux2014_x86_64.manylinux_2_17_x86_64"),
    ("WINDOWS_PYTHONS", "win_amd64"),
])
def test_contributing_guide_lists_each_wheel_the_release_builds(variable, platform):
    root = Path(__file__).resolve().parent.parent
    versions = re.search(rf"^{variable} \?= (.+)$", (root / "Makefile").read_text(), re.M)[1].split()
    # A free-threaded build keeps the version's interpreter tag and marks its ABI tag: cp313-cp313t.
    expected = {f"cp{v.replace('.', '').removesuffix('t')}-cp{v.replace('.', '')}" for v in versions}
    listed = re.findall(rf"`pyvessaruntime-[0-9.]+-(cp\d+-cp\d+t?)-{re.escape(platform)}\.whl`",
                        (root / "CONTRIBUTING.md").read_text())
    assert sorted(listed) == sorted(expected)
