"""The pytest plugin of pyvessaruntime, registered through the ``pytest11`` entry point
``pyvessaruntime``: the ``emulator`` fixture for tests of applications that sign in through the
package, and the runtime of a test session that asks for one.

A session asks with the ini option ``vessaruntime_runtime`` (``vessaruntime_runtime =
"emulator"`` under ``[tool.pytest.ini_options]`` in pyproject.toml), the command-line option
``--vessaruntime-runtime=VALUE``, or the environment variable ``PYVESSARUNTIME_RUNTIME`` itself,
each with the variable's values: ``emulator``, ``system`` or the path of a runtime library. The
command line wins over the variable, and the variable over the ini option: the configuration says
what a project's suite runs against, the variable overrides it for one environment (a machine
with the real runtime, a CI job), the command line for one run. A choice an option makes is
checked as the package checks the variable, and set as the variable for the session, so the
processes its tests start run the same runtime. A session that asks nothing runs the runtime
installed on the system, as any program does. pytest's header says which runtime, and why.

A module of its own, outside the package: importing anything of the package loads the native
extension and binds its runtime, and pytest loads every installed plugin, whatever the session
tests. A session that never asks for the fixture therefore loads neither, and one on a machine
without a runtime can still run unrelated test suites. ``-p no:pyvessaruntime`` turns the plugin
off.
"""

from __future__ import annotations

import os
from collections.abc import Generator, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import pytest

if TYPE_CHECKING:
    from pyvessaruntime.emulator import Emulator

_ENV = "PYVESSARUNTIME_RUNTIME"
_INI = "vessaruntime_runtime"
_OPTION = "--vessaruntime-runtime"
_EMULATOR = "emulator"
_SYSTEM = "system"


@dataclass(frozen=True)
class _Choice:
    """The session's runtime as the variable takes it (None: nothing chose one), and what chose
    it."""

    value: str | None
    source: str
    by: str  # "option", "variable", "ini" or "nothing"


_CHOICE = pytest.StashKey[_Choice]()
# The variable's value before the plugin set it (None: unset), to be restored as the session ends.
_VARIABLE_BEFORE = pytest.StashKey[str | None]()


def pytest_addoption(parser: pytest.Parser) -> None:
    accepted = "emulator, system or the path of a runtime library"
    parser.addini(_INI, f"The runtime of the session: {accepted} ({_ENV} and "
                  f"{_OPTION} win over it)", default=None)
    parser.addini(_STRICT_INI, "Whether the emulator fixture runs every test in strict mode: a "
                  "request no scripted outcome matches fails the test", type="bool", default=False)
    parser.addini(_HELD_TIMEOUT_INI, "Seconds an operation a test holds on the emulator stays "
                  "held before it completes with an error and fails the test (default 30)",
                  default=None)
    parser.getgroup("pyvessaruntime").addoption(
        _OPTION, dest="vessaruntime_runtime", metavar="RUNTIME",
        help=f"The runtime of the session: {accepted} (wins over {_ENV} and the ini option "
             f"{_INI}).")


def _runtime_module() -> Any:
    """The package's `_runtime` on its own, to check a choice with: importing the package would
    bind a runtime there and then. It imports nothing but the standard library, and is not
    registered, so the package loads its own as it is imported."""
    import importlib.machinery
    import importlib.util

    package = importlib.util.find_spec("pyvessaruntime")
    locations = package.submodule_search_locations if package else None
    found = importlib.machinery.PathFinder.find_spec("pyvessaruntime._runtime", locations)
    if found is None or found.loader is None:
        raise pytest.UsageError("pyvessaruntime: the package's runtime choice was not found "
                                f"in {locations}: reinstall the package")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def _asked(value: str, name: str, source: str, by: str, base: str) -> _Choice:
    """A choice an option made, checked; a relative library path is taken from `base`."""
    if os.path.dirname(value) and not os.path.isabs(value):
        value = os.path.normpath(os.path.join(base, value))
    runtime = _runtime_module()
    try:
        path = runtime.library_for(value, name)
    except runtime.ChoiceError as error:
        raise pytest.UsageError(str(error)) from None
    return _Choice(value if path is None or value == _EMULATOR else path, source, by)


def _choose(config: pytest.Config) -> _Choice:
    """The session's runtime, chosen once, before any conftest or test module can import the
    package; a choice of an option is set as the variable."""
    choice = config.stash.get(_CHOICE, None)
    if choice is not None:
        return choice
    given = getattr(config.known_args_namespace, "vessaruntime_runtime", None)
    in_ini = config.getini(_INI)
    if given is not None:
        choice = _asked(given, _OPTION, f"command-line option {_OPTION}", "option",
                        str(config.invocation_params.dir))
    elif _ENV in os.environ:
        choice = _Choice(os.environ[_ENV], f"environment variable {_ENV}", "variable")
    elif in_ini is not None:
        base = str(config.inipath.parent if config.inipath else config.rootpath)
        choice = _asked(in_ini, f"{config.inipath}: {_INI}", f"ini option {_INI}", "ini", base)
    else:
        choice = _Choice(None, "nothing chose another: the runtime installed on this system",
                         "nothing")
    if choice.value is not None and os.environ.get(_ENV) != choice.value:
        config.stash[_VARIABLE_BEFORE] = os.environ.get(_ENV)
        os.environ[_ENV] = choice.value
    config.stash[_CHOICE] = choice
    return choice


@pytest.hookimpl(tryfirst=True)
def pytest_load_initial_conftests(early_config: pytest.Config) -> None:
    _choose(early_config)


_WORKER_INPUT = "pyvessaruntime_runtime"


@pytest.hookimpl(optionalhook=True)
def pytest_configure_node(node: Any) -> None:
    # A pytest-xdist worker inherits the variable a session's option set, and would take it for
    # what chose the runtime: it is told.
    choice = _choose(node.config)
    node.workerinput[_WORKER_INPUT] = (choice.value, choice.source, choice.by)


def _session_choice(config: pytest.Config) -> _Choice:
    told = getattr(config, "workerinput", {}).get(_WORKER_INPUT)
    return _Choice(*told) if told else _choose(config)


def pytest_report_header(config: pytest.Config) -> str:
    choice = _choose(config)
    runtime = _SYSTEM if choice.value is None else choice.value
    return f"pyvessaruntime: runtime {runtime} ({choice.source})"


def pytest_unconfigure(config: pytest.Config) -> None:
    if _VARIABLE_BEFORE in config.stash:
        before = config.stash[_VARIABLE_BEFORE]
        if before is None:
            os.environ.pop(_ENV, None)
        else:
            os.environ[_ENV] = before


# The markers and ini options of the emulator fixture (pytest_plugin reads them).
_UNUSED_OUTCOMES_MARKER = "emulator_unused_outcomes"
_STRICT_MARKER = "emulator_strict"
_REPLAY_MARKER = "emulator_replay"
_STRICT_INI = "vessaruntime_strict"
_HELD_TIMEOUT_INI = "vessaruntime_held_timeout"

# Each test's report of its call, so that the fixture's teardown knows whether the test failed.
_CALL_REPORT = pytest.StashKey[pytest.TestReport]()


def pytest_configure(config: pytest.Config) -> None:
    _choose(config)
    config.addinivalue_line(
        "markers", f"{_UNUSED_OUTCOMES_MARKER}: the test may leave outcomes it scripted on the "
        "emulator unused (the emulator fixture does not fail it for them)")
    config.addinivalue_line(
        "markers", f"{_STRICT_MARKER}: the emulator runs the test in strict mode: a request no "
        "scripted outcome matches fails it")
    config.addinivalue_line(
        "markers", f"{_REPLAY_MARKER}(path): the emulator answers the test's requests as the "
        "recording at path (relative to the test's file) holds them")


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]
                              ) -> Generator[None, pytest.TestReport, pytest.TestReport]:
    report = yield
    if report.when == "call":
        item.stash[_CALL_REPORT] = report
    return report


@pytest.hookimpl(wrapper=True)
def pytest_make_collect_report(collector: pytest.Collector
                               ) -> Generator[None, pytest.CollectReport, pytest.CollectReport]:
    report = yield
    # A module that imports the package, in a session that chose no runtime, on a machine without
    # one: the import error tells of the variable; a test suite is better told of its own line.
    if (report.failed and collector.config.stash[_CHOICE].by == "nothing"
            and "could not load the vessaruntime runtime" in str(report.longrepr)):
        file, table, line = _where_to_ask(collector.config)
        report.sections.append((
            "pyvessaruntime", f"To run this session against the emulator, put this line under "
            f"{table} in {file}:\n    {line}\nor run pytest with {_OPTION}={_EMULATOR}."))
    return report


def _runs_the_emulator(choice: _Choice) -> bool:
    if choice.value in (None, _SYSTEM):
        return False
    if choice.value == _EMULATOR:
        return True
    # A library named by its path: what it is shows once it is bound.
    from pyvessaruntime import _runtime

    return _runtime.is_emulator()


def _where_to_ask(config: pytest.Config) -> tuple[str, str, str]:
    """The configuration file to ask for the emulator in, its table, and the line, in its
    syntax."""
    path = config.inipath
    toml_line = f'{_INI} = "{_EMULATOR}"'
    if path is None:
        return f"{config.rootpath / 'pyproject.toml'} (a new file)", "[tool.pytest.ini_options]", \
            toml_line
    if path.name == "pyproject.toml":
        import tomllib

        with open(path, "rb") as file:
            tables = tomllib.load(file).get("tool", {}).get("pytest", {})
        # pytest reads native TOML values from [tool.pytest] when it has keys of its own.
        native = any(key != "ini_options" for key in tables)
        return str(path), "[tool.pytest]" if native else "[tool.pytest.ini_options]", toml_line
    if path.suffix == ".toml":
        return str(path), "[pytest]", toml_line
    table = "[tool:pytest]" if path.name == "setup.cfg" else "[pytest]"
    return str(path), table, f"{_INI} = {_EMULATOR}"


def _not_the_emulator(config: pytest.Config, choice: _Choice) -> str:
    runtime = (f"the runtime library {choice.value}" if choice.value not in (None, _SYSTEM)
               else "the runtime installed on this system")
    file, table, line = _where_to_ask(config)
    command_line = f"{_OPTION}={_EMULATOR}"
    in_file = f"under {table} in {file}:\n    {line}\n"
    if choice.by == "option":
        how = f"Run pytest with {command_line}."
    elif choice.by == "variable":
        how = (f"Set {_ENV}={_EMULATOR}, or run pytest with {command_line}. Without the "
               f"variable, this line asks for it {in_file}")
    else:
        how = f"Put this line {in_file}or run pytest with {command_line}."
    why = "nothing chose another" if choice.by == "nothing" else f"the {choice.source} chose it"
    return (f"the emulator fixture needs the emulator as the session's runtime, and this session "
            f"runs {runtime} ({why}). {how}").rstrip()


@pytest.fixture
def emulator(request: pytest.FixtureRequest) -> Iterator[Emulator]:
    """The emulator, reset, as an `Emulator` (`pyvessaruntime.pytest_plugin.Emulator`); the test
    fails if it leaves a runtime handle it made live, violates the runtime's contract or leaves an
    outcome it aimed unused. A session that runs another runtime fails it at once, saying how to
    ask for the emulator."""
    choice = _session_choice(request.config)
    if not _runs_the_emulator(choice):
        pytest.fail(_not_the_emulator(request.config, choice), pytrace=False)
    import warnings

    from pyvessaruntime import EmulatorWarning, pytest_plugin

    # The test asked for the emulator: the warning that the runtime is one would tell it nothing.
    warnings.simplefilter("ignore", EmulatorWarning)
    yield from pytest_plugin.emulator(request, lambda: request.node.stash.get(_CALL_REPORT, None))
