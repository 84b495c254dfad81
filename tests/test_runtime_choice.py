"""Which runtime the package binds: the system's by default, the emulator or a library named by
its path when PYVESSARUNTIME_RUNTIME asks; clear errors when none can be had. Each case runs in a
fresh interpreter, as the choice is made once, at import."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import pyvessaruntime

ENV = "PYVESSARUNTIME_RUNTIME"
WINDOWS = sys.platform == "win32"
NAME = "vessaruntime.dll" if WINDOWS else "libvessaruntime.so"
EMULATOR = pathlib.Path(pyvessaruntime.__file__).parent / "_emulator" / NAME
ROOT = pathlib.Path(__file__).resolve().parent.parent
MINIMAL_RUNTIME = ROOT / "benchmarks" / "native" / "minimal_runtime.c"


def run(code, runtime, cwd=None, library_path=None):
    """`code` in a fresh interpreter with `ENV` set to `runtime` (None: unset), and the dynamic
    linker also searching `library_path` when given."""
    env = {k: v for k, v in os.environ.items() if k != ENV}
    if runtime is not None:
        env[ENV] = str(runtime)
    if library_path is not None:
        env["LD_LIBRARY_PATH"] = os.pathsep.join(
            filter(None, [str(library_path), os.environ.get("LD_LIBRARY_PATH")]))
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def same_file(a, b):
    return os.path.normcase(os.path.realpath(a)) == os.path.normcase(os.path.realpath(b))


@pytest.fixture(scope="module")
def system_has_no_runtime():
    probe = run(f"import ctypes; ctypes.CDLL({NAME!r})", None)
    if probe.returncode == 0:
        pytest.skip(f"a runtime is installed on this system ({NAME})")


@pytest.mark.parametrize("runtime", [None, "system"])
def test_without_a_runtime_the_import_says_what_to_do(system_has_no_runtime, runtime):
    done = run("import pyvessaruntime", runtime)
    assert done.returncode == 1
    error = done.stderr.strip().splitlines()[-1]
    assert error.startswith("ImportError: pyvessaruntime could not load the vessaruntime runtime")
    assert NAME in error and "where the system looks for it" in error
    assert f"set {ENV}=emulator to run against the emulator" in error


@pytest.mark.skipif(WINDOWS, reason="the Windows test run's embedded interpreter does not look for "
                    "modules in the working folder, so `-m` finds no module of the test's")
def test_a_program_run_as_a_module_is_not_the_demo(system_has_no_runtime, tmp_path):
    # Only `-m pyvessaruntime` runs against the emulator unasked: any other module that imports
    # the package still needs the system's runtime.
    (tmp_path / "some_app").mkdir()
    (tmp_path / "some_app" / "__init__.py").write_text("import pyvessaruntime\n")
    (tmp_path / "some_app" / "__main__.py").write_text("")
    env = {k: v for k, v in os.environ.items() if k != ENV}
    done = subprocess.run([sys.executable, "-m", "some_app"], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert "could not load the vessaruntime runtime" in done.stderr, done.stderr


@pytest.mark.parametrize("value, says", [
    ("", f"{ENV} is set but empty"),
    ("emulatr", f"{ENV}='emulatr' names no runtime"),
    (os.path.join("no-such-folder", NAME), "there is no runtime library at"),
    (os.curdir + os.sep, "is a folder; set it to the runtime library file"),
    ("~" + os.sep + NAME, "there is no runtime library at " + os.path.expanduser("~" + os.sep)),
])
def test_a_value_that_names_no_runtime_is_refused(value, says):
    done = run("import pyvessaruntime", value)
    assert done.returncode == 1
    error = done.stderr.strip().splitlines()[-1]
    assert "ImportError" in error and says in error, done.stderr
    if value in ("", "emulatr"):
        assert "'system'" in error and "'emulator'" in error
        assert "the path of a runtime library" in error


def test_the_emulator_when_asked_warns_once_at_the_first_start_up():
    done = run("""
        import pyvessaruntime as vrt
        print(vrt.runtime_path())
        with vrt.running():
            pass
        with vrt.running():
            pass
    """, "emulator")
    assert done.returncode == 0, done.stderr
    assert same_file(done.stdout.strip(), EMULATOR)
    # It points at the application's line, not at the package or contextlib.
    assert done.stderr.count("EmulatorWarning") == 1
    assert "<string>:4: EmulatorWarning" in done.stderr
    assert "tokens are unsigned" in done.stderr


def test_a_library_named_by_its_path_is_the_one_bound(tmp_path):
    # A copy of the emulator under another file name (the base name Windows matches kept): the
    # extension binds it, and the emulator's controls reach that copy.
    copy = tmp_path / ("vessaruntime.dll" if WINDOWS else "copy-of-the-runtime.so")
    shutil.copyfile(EMULATOR, copy)
    done = run(f"""
        import pathlib, sys
        import pyvessaruntime as vrt
        from pyvessaruntime import emulator
        emulator.add_account()
        print(vrt.runtime_path())
        if sys.platform != "win32":
            maps = pathlib.Path("/proc/self/maps").read_text()
            print("shipped emulator mapped:", {str(EMULATOR.resolve())!r} in maps)
        with vrt.running():
            print(len(vrt.Client("app", "https://login.example.test/t").discover_accounts()))
    """, os.path.join(".", copy.name), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split()
    assert same_file(lines[0], copy) and lines[-1] == "1"
    if not WINDOWS:
        assert "shipped emulator mapped: False" in done.stdout


def compile_stand_in(directory, soname, source=MINIMAL_RUNTIME):
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if WINDOWS or compiler is None or not MINIMAL_RUNTIME.exists():
        pytest.skip("needs a C compiler and the source tree")
    target = directory / "stand-in.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", f"-I{ROOT / 'runtime'}",
                    str(source), "-o", str(target), "-lpthread",
                    *([f"-Wl,-soname,{soname}"] if soname else [])], check=True)
    return target


def test_calls_reach_a_stand_in_runtime_and_the_emulator_controls_refuse_it(tmp_path):
    stand_in = compile_stand_in(tmp_path, NAME)
    done = run("""
        import ctypes
        import pyvessaruntime as vrt
        print(vrt.runtime_path())
        lib = ctypes.CDLL(vrt.runtime_path())
        text = "stand-in".encode("utf-16-le")
        lib.VESSABENCH_SetText((ctypes.c_uint16 * 8).from_buffer_copy(text), 8)
        account = vrt.VESSARuntimeAccount(0x1000)
        print(account.get_user_name())
        del account
        from pyvessaruntime import emulator
        emulator.reset()
    """, stand_in)
    lines = done.stdout.split()
    assert same_file(lines[0], stand_in) and lines[1] == "stand-in"
    assert done.stderr.strip().endswith(
        f"RuntimeError: the runtime in use, {lines[0]}, is not the emulator: set {ENV}=emulator "
        "to run against it")


def test_the_system_runtime_is_bound_without_loading_the_chooser(tmp_path):
    # The runtime found as one installed on the system: importing loads no module of the choice
    # (nor ctypes); what the program asks of it later still answers.
    compile_stand_in(tmp_path, NAME).rename(tmp_path / NAME)
    done = run("""
        import sys
        import pyvessaruntime as vrt
        print(sorted(m for m in sys.modules if m.startswith(("pyvessaruntime", "ctypes"))))
        print(vrt.EmulatorWarning is sys.modules["pyvessaruntime._runtime"].EmulatorWarning)
        print(vrt.runtime_path())
        print(abs(vrt.now().timestamp() - __import__("time").time()) < 1,
              "pyvessaruntime._emulator_library" in sys.modules)
    """, None, library_path=tmp_path)
    assert done.returncode == 0, done.stderr
    imported, warning, path, clock = done.stdout.splitlines()[-4:]
    assert imported == "['pyvessaruntime', 'pyvessaruntime.pyvessaruntime']"
    assert warning == "True" and same_file(path, tmp_path / NAME)
    assert clock == "True False"  # the system's clock, read without the emulator's controls


@pytest.mark.parametrize("source, soname, says", [
    ("void *VESSARUNTIME_Startup(void) { return 0; }", NAME, "lacks the runtime's operation"),
    *(("int unrelated;", soname, "is not a runtime library") for soname in (None, NAME))])
def test_a_library_without_the_runtimes_operations_is_told_so(tmp_path, source, soname, says):
    (tmp_path / "library.c").write_text(source)
    library = compile_stand_in(tmp_path, soname, tmp_path / "library.c")
    error = run("import pyvessaruntime", library).stderr.strip().splitlines()[-1]
    assert f"ImportError: {ENV}: " in error and str(library) in error and says in error


def test_a_library_without_the_runtime_name_is_refused(tmp_path, system_has_no_runtime):
    # The dynamic linker matches the extension's need against a loaded library's SONAME only.
    stand_in = compile_stand_in(tmp_path, None)
    done = run("import pyvessaruntime", stand_in)
    assert done.returncode == 1
    error = done.stderr.strip().splitlines()[-1]
    assert f"the extension did not take the runtime library {stand_in}" in error
    assert f"-Wl,-soname,{NAME}" in error
