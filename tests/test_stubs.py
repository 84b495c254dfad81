"""Type information: the stubs and the layer's annotations agree with the built package, an
application written as the README shows type-checks cleanly, and introspection sees the native
functions' real parameters."""

import inspect
import re
import shutil
import subprocess
import sys
import types
from pathlib import Path

import pytest

import pyvessaruntime
import pyvessaruntime.pyvessaruntime as m

STUB = Path(pyvessaruntime.__file__).with_name("pyvessaruntime.pyi")
TYPING = Path(__file__).with_name("typing")
PICKLING = {"__reduce__", "__setstate__"}
NATIVE = {"native_function", "native_method"}


def native_functions():
    """(name, function) for each function of the module and method of its classes."""
    for name, value in vars(m).items():
        if isinstance(value, type) and value.__module__ == m.__name__:
            for attr, member in vars(value).items():
                if attr not in PICKLING and type(member).__name__ in NATIVE:
                    yield f"{name}.{attr}", member
        elif type(value).__name__ in NATIVE:
            yield name, value


def documented_parameters(function):
    """Parameter names from the signature line every native function carries as docstring."""
    doc = function.__doc__
    return [part.split()[-1].split("=")[0]
            for part in doc[doc.find("(") + 1:doc.rfind(")")].split(",") if part.strip()]


def test_stubs_ship_with_the_package():
    assert STUB.is_file() and STUB.with_name("py.typed").is_file()


@pytest.mark.parametrize("name, function", list(native_functions()))
def test_signature_lists_the_documented_parameters(name, function):
    assert list(inspect.signature(function).parameters) == documented_parameters(function)


def test_signatures_of_bound_methods_and_constructors():
    data = m.CallbackData()
    assert str(inspect.signature(data.complete)) == "(result)"
    assert str(inspect.signature(m.CallbackData)) == "(is_interactive=False)"
    assert str(inspect.signature(m.VESSARuntimeAuthParameters)) == "(clientid, authority)"
    assert str(inspect.signature(m.VESSARuntimeDiscoverAccountsResult)) == "(rawHandle)"
    assert m.VESSARuntimeAccount.__doc__ is None
    assert m.VESSARuntimeAuthParameters.__doc__ == \
        "VESSARuntimeAuthParameters(str clientid, str authority)"


def run_tool(folder, *command):
    # From a folder of the test's own, where mypy keeps its cache: runs in parallel must not
    # share one.
    pytest.importorskip("mypy", reason="mypy is not installed (as in the Windows test run)")
    return subprocess.run([sys.executable, "-m", *command], capture_output=True, text=True,
                          cwd=folder, timeout=300)


def test_stubtest_passes(tmp_path):
    done = run_tool(tmp_path, "mypy.stubtest", "pyvessaruntime",
                    "--allowlist", str(TYPING / "stubtest-allowlist.txt"))
    assert done.returncode == 0, done.stdout + done.stderr


def readme_code():
    """The README's Python examples, as one module."""
    readme = Path(__file__).resolve().parent.parent / "README.md"
    blocks = re.findall(r"```python\n(.*?)```", readme.read_text(), re.DOTALL)
    return "\n".join(blocks)


@pytest.mark.parametrize("source", ["app.py", "README.md"])
def test_readme_application_passes_mypy_strict(tmp_path, source):
    if source == "README.md":
        (tmp_path / "readme_examples.py").write_text(readme_code())
        source = str(tmp_path / "readme_examples.py")
    else:
        source = str(TYPING / source)
    done = run_tool(tmp_path, "mypy", "--strict", "--no-incremental", source)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_package_itself_passes_mypy_strict(tmp_path):
    # mypy reports nothing of an installed package to the applications that import it.
    done = run_tool(tmp_path, "mypy", "--strict", "--no-incremental", "-p", "pyvessaruntime")
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_typed_application_uses_every_public_name():
    source = (TYPING / "app.py").read_text()
    assert [name for name in pyvessaruntime.__all__ if f"vrt.{name}" not in source] == []


@pytest.mark.parametrize("source", ["app.py", "README.md"])
def test_readme_application_passes_pyright_strict(tmp_path, source):
    pyright = shutil.which("pyright", path=str(Path(sys.executable).parent))
    if pyright is None:
        pytest.skip("pyright is not installed")
    if source == "README.md":
        source = str(tmp_path / "readme_examples.py")
        Path(source).write_text(readme_code())
        (tmp_path / "pyrightconfig.json").write_text((TYPING / "pyrightconfig.json").read_text())
    done = subprocess.run([pyright, "--pythonpath", sys.executable, source],
                          cwd=TYPING if source == "app.py" else tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_every_public_name_of_the_layer_is_documented():
    namespace = {}
    exec("from pyvessaruntime import *", namespace)
    for name in pyvessaruntime.__all__:
        value = namespace[name]
        if getattr(value, "__module__", m.__name__) == m.__name__:
            continue
        if isinstance(value, (types.GenericAlias, types.UnionType)):
            continue  # a type alias (`Scopes`), documented by a comment beside it
        assert value.__doc__, name
        for attr, member in vars(value).items() if isinstance(value, type) else ():
            if not attr.startswith("_") and (callable(member) or isinstance(member, property)):
                assert member.__doc__, f"{name}.{attr}"


def test_every_public_name_of_the_emulator_module_and_the_plugin_is_documented():
    from pyvessaruntime import emulator, emulator_internals, pytest_plugin

    for module in (emulator, emulator_internals, pytest_plugin):
        for name in module.__all__:
            value = getattr(module, name)
            if callable(value) or isinstance(value, type):
                assert value.__doc__, f"{module.__name__}.{name}"
