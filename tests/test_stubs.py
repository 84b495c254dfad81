"""The type stubs describe the built module: same names, same parameters in the same order."""

import ast
from pathlib import Path

import pytest

import pyvessaruntime
import pyvessaruntime.pyvessaruntime as m

STUB = Path(pyvessaruntime.__file__).with_name("pyvessaruntime.pyi")
PICKLING = {"__init__", "__reduce__", "__setstate__"}


def stub_definitions():
    """(owner, method or None, parameter names) for each function and method of the stub."""
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, None, [a.arg for a in node.args.args]
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name not in PICKLING:
                    yield node.name, item.name, [a.arg for a in item.args.args][1:]


def documented_parameters(function):
    """Parameter names from the signature line every native function carries as docstring."""
    doc = function.__doc__
    names = [part.split()[-1].split("=")[0]
             for part in doc[doc.find("(") + 1:doc.rfind(")")].split(",") if part.strip()]
    return names[1:] if names[:1] == ["self"] else names


def test_stubs_ship_with_the_package():
    assert STUB.is_file() and STUB.with_name("py.typed").is_file()


@pytest.mark.parametrize("owner, method, params", list(stub_definitions()))
def test_stub_matches_module(owner, method, params):
    function = getattr(getattr(m, owner), method) if method else getattr(m, owner)
    assert documented_parameters(function) == params


def test_every_public_name_has_a_stub():
    tree = ast.parse(STUB.read_text())
    stubbed = {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert set(pyvessaruntime.__all__) <= stubbed
