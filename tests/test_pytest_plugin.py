"""The pytest plugin, as an application's test suite meets it: installed with the package, its
`emulator` fixture found through the entry point, tests that leave runtime handles live or break
the runtime's contract failed, the next test left a clean emulator, and nothing of pytest
imported by the package itself."""

import importlib.util
import json
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest
from test_runtime_choice import system_has_no_runtime  # noqa: F401 (a fixture)

APPLICATION_TESTS = """
    import time

    import pytest
    import pyvessaruntime as vrt
    import pyvessaruntime.pyvessaruntime as m
    from pyvessaruntime import emulator as unreset
    from pyvessaruntime.emulator_internals import new_account_handle

    kept = []
    AUTHORITY = "https://login.example.test/t"

    def test_clean(emulator):
        emulator.add_account()
        with vrt.running():
            assert len(vrt.Client("app", AUTHORITY).discover_accounts()) == 1

    def test_left_started(emulator):
        vrt.start()
        vrt.log_to("app")

    def test_starts_fresh(emulator):
        assert not emulator.is_started() and emulator.accounts() == []

    def test_changes_the_emulator(emulator):
        emulator.add_account()
        emulator.freeze(1_000_000_000)
        emulator.fail_completion("discover_accounts", 3, every_time=True)
        with vrt.running(), pytest.raises(vrt.NetworkError):
            vrt.Client("app", AUTHORITY).discover_accounts()

    def test_the_next_test_finds_it_clean_without_the_fixture():
        assert unreset.accounts() == [] and abs(unreset.now().timestamp() - time.time()) < 60
        with vrt.running():
            assert vrt.Client("app", AUTHORITY).discover_accounts() == ()

    def test_breaks_the_contract(emulator):
        with pytest.raises(RuntimeError):
            m.VESSARuntimeAccount(0x1230).get_user_name()

    def test_keeps_a_runtime_object(emulator):
        kept.append(m.VESSARuntimeAccount(new_account_handle(emulator.add_account())))

    def test_leaves_a_runtime_object_in_garbage(emulator):
        cycle = [m.VESSARuntimeAccount(new_account_handle(emulator.add_account()))]
        cycle.append(cycle)
"""


def test_the_fixture_fails_tests_that_leave_handles_or_break_the_contract(tmp_path):
    (tmp_path / "test_app.py").write_text(textwrap.dedent(APPLICATION_TESTS))
    done = subprocess.run([sys.executable, "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "-rA", "test_app.py"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    out = done.stdout
    # A failed check is the test's teardown failing: pytest reports the call passed, then the error.
    assert done.returncode == 1 and "8 passed, 2 errors" in out, out
    assert "ERROR at teardown of test_breaks_the_contract" in out
    assert "contract violations:\n  VESSARUNTIME_GetUserName: handle 0x1230" in out
    assert "ERROR at teardown of test_keeps_a_runtime_object" in out
    assert "runtime handles left live: {'account': 1}" in out
    # The tests asked for the emulator: being told that the runtime is one is no news to them.
    assert "EmulatorWarning" not in out


UNRELATED_TESTS = """
    import os, sys

    def test_unrelated():
        assert os.environ.get("PYVESSARUNTIME_RUNTIME") == EXPECTED
        assert not [m for m in sys.modules if m.startswith("pyvessaruntime")]
        if sys.platform != "win32":
            with open("/proc/self/maps") as maps:
                files = {line.split()[-1].rsplit("/", 1)[-1] for line in maps if "/" in line}
            assert not [name for name in files if "vessaruntime" in name], files
"""


def run_session(tmp_path, source, *args, files=None, variable=None):
    for name, text in (files or {}).items():
        (tmp_path / name).write_text(text)
    (tmp_path / "test_app.py").write_text(textwrap.dedent(source))
    env = {k: v for k, v in os.environ.items() if k != "PYVESSARUNTIME_RUNTIME"}
    env |= {"PYVESSARUNTIME_RUNTIME": variable} if variable else {}
    return subprocess.run([sys.executable, "-P", "-m", "pytest", "-p", "no:cacheprovider", "-rA",
                           *args, "test_app.py"], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=120)


@pytest.mark.parametrize("runtime, header", [
    (None, "pyvessaruntime: runtime system (nothing chose another: the runtime installed on this "
           "system)"),
    ("system", "pyvessaruntime: runtime system (environment variable PYVESSARUNTIME_RUNTIME)"),
])
def test_a_session_that_does_not_ask_for_the_fixture_loads_nothing_of_the_package(
        tmp_path, runtime, header):
    expected = runtime
    (tmp_path / "test_other.py").write_text(
        textwrap.dedent(UNRELATED_TESTS).replace("EXPECTED", repr(expected)))
    env = {k: v for k, v in os.environ.items() if k != "PYVESSARUNTIME_RUNTIME"}
    if runtime is not None:
        env["PYVESSARUNTIME_RUNTIME"] = runtime
    done = subprocess.run([sys.executable, "-P", "-m", "pytest", "-p", "no:cacheprovider",
                           "test_other.py"], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0 and "1 passed" in done.stdout, done.stdout + done.stderr
    assert header in done.stdout.splitlines()


ASKING_TESTS = """
    import os, sys

    def test_plain():  # first: nothing of the package is loaded yet
        print("variable:", repr(os.environ.get("PYVESSARUNTIME_RUNTIME")))
        assert "pyvessaruntime" not in sys.modules

    def test_emulator(emulator):
        emulator.add_account()
"""
TOML_LINE = '\n    vessaruntime_runtime = "emulator"\n'


@pytest.mark.parametrize("args, files, variable, code, expected", [
    ((), {"pyproject.toml": "[tool.pytest.ini_options]" + TOML_LINE}, None, 0,
     ["runtime emulator (ini option vessaruntime_runtime)", "variable: 'emulator'", "2 passed"]),
    (("--vessaruntime-runtime=emulator",), {"pytest.ini": "[pytest]\nvessaruntime_runtime = x\n"},
     "system", 0, ["runtime emulator (command-line option --vessaruntime-runtime)",
                   "variable: 'emulator'"]),
    ((), {"pytest.ini": "[pytest]\nvessaruntime_runtime = emulator\n"}, "system", 1, [
        "runtime system (environment variable PYVESSARUNTIME_RUNTIME)", "variable: 'system'",
        "Set PYVESSARUNTIME_RUNTIME=emulator, or run pytest with --vessaruntime-runtime=emulator. "
        "Without the variable, this line asks for it under [pytest] in TMP/pytest.ini:\n"
        "    vessaruntime_runtime = emulator"]),
    ((), {"pyproject.toml": "[tool.pytest.ini_options]\nxfail_strict = true\n"}, None, 1,
     ["variable: None",
      "under [tool.pytest.ini_options] in TMP/pyproject.toml:" + TOML_LINE]),
    ((), {"pyproject.toml": "[tool.pytest]\nxfail_strict = true\n"}, None, 1,
     ["under [tool.pytest] in TMP/pyproject.toml:" + TOML_LINE]),
    pytest.param(
        ("-n", "1"), {"pytest.ini": "[pytest]\nvessaruntime_runtime = system\n"}, None, 1,
        ["(the ini option vessaruntime_runtime chose it). Put this line under [pytest]"],
        marks=pytest.mark.skipif(importlib.util.find_spec("xdist") is None,
                                 reason="pytest-xdist is not installed")),
    ((), {"setup.cfg": "[tool:pytest]\nxfail_strict = true\n"}, None, 1,
     ["under [tool:pytest] in TMP/setup.cfg:\n    vessaruntime_runtime = emulator\n"]),
    ((), {}, None, 1, ["in TMP/pyproject.toml (a new file):" + TOML_LINE
                       + "or run pytest with --vessaruntime-runtime=emulator."]),
    (("--vessaruntime-runtime=emulatr",), {}, None, 4,
     ["ERROR: --vessaruntime-runtime='emulatr' names no runtime: set it to 'system'"]),
    ((), {"pytest.ini": "[pytest]\nvessaruntime_runtime = lib/none.so\n"}, None, 4,
     ["ERROR: TMP/pytest.ini: vessaruntime_runtime=",
      "': there is no runtime library at TMP/lib/none.so"]),
])
def test_the_session_runs_the_emulator_only_when_it_asks(tmp_path, args, files, variable, code,
                                                          expected):
    done = run_session(tmp_path, ASKING_TESTS, *args, files=files, variable=variable)
    out = done.stdout + done.stderr
    assert done.returncode == code, out

    def in_tmp(path):
        return os.path.join(tmp_path, *path[1].split("/"))
    assert [text for text in expected if re.sub(r"TMP/([\w./]+)", in_tmp, text) not in out] == [], out


def test_a_session_without_a_runtime_is_told_the_line_that_asks_for_the_emulator(
        tmp_path, system_has_no_runtime):
    done = run_session(tmp_path, "import pyvessaruntime\n\ndef test_app():\n    pass\n")
    assert done.returncode == 2 and "could not load the vessaruntime runtime" in done.stdout
    assert ("put this line under [tool.pytest.ini_options] in "
            f"{tmp_path / 'pyproject.toml'} (a new file):{TOML_LINE}") in done.stdout, done.stdout


def test_the_package_imports_no_test_machinery():
    done = subprocess.run([sys.executable, "-P", "-c", "import sys, pyvessaruntime, "
                           "pyvessaruntime.emulator, pyvessaruntime.client; "
                           "print(sorted(m for m in sys.modules if m.startswith(('pytest', "
                           "'_pytest', 'pyvessaruntime.pytest_plugin', "
                           "'_pyvessaruntime_pytest'))))"],
                          capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "[]", done.stderr


def test_the_guide_for_application_developers_passes(tmp_path):
    # The Python blocks of the emulator's README, one module: the application and its tests.
    readme = pathlib.Path(__file__).resolve().parent.parent / "runtime" / "emulator" / "README.md"
    blocks = re.findall(r"```python\n(.*?)```", readme.read_text(), re.DOTALL)
    (tmp_path / "test_guide.py").write_text("\n".join(blocks))
    done = subprocess.run([sys.executable, "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "test_guide.py"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0 and "4 passed" in done.stdout, done.stdout + done.stderr


def run_pytest(tmp_path, source, *args, files=None):
    return run_session(tmp_path, source, "-q", *args, files=files, variable="emulator")


def test_a_failed_test_reports_what_it_left_and_the_next_is_not_blamed(tmp_path):
    done = run_pytest(tmp_path, """
        import pyvessaruntime as vrt

        def test_fails_holding_a_token(emulator):
            with vrt.running():
                token = vrt.Client("app", "https://login.example.test/t").sign_in_interactively(
                    ["user.read"])
                emulator.fail_completion("sign_out", 3)
                assert token.account.user_name == "somebody else"

        def test_innocent(emulator):
            emulator.add_account()
            with vrt.running():
                assert len(vrt.Client("app", "https://login.example.test/t").discover_accounts()) == 1
    """)
    out = done.stdout
    assert done.returncode == 1 and "1 failed, 1 passed in" in out, out
    assert "ERROR" not in out, out
    assert out.count("emulator: left by the failed test") == 1, out
    assert "runtime handles left live: {'account': 1}" in out
    assert "fail_completion: sign_out_silently (status 3): never taken" in out


def test_log_registrations_survive_the_resets(tmp_path):
    done = run_pytest(tmp_path, """
        import logging
        import pytest
        import pyvessaruntime as vrt
        import pyvessaruntime.emulator_internals as control

        class Lines(logging.Handler):
            def __init__(self):
                super().__init__()
                self.lines = []

            def emit(self, record):
                self.lines.append(record.getMessage())

        @pytest.fixture(scope="session")
        def routing():
            lines = Lines()
            logging.getLogger("app.runtime").addHandler(lines)
            logging.getLogger("app.runtime").setLevel(logging.DEBUG)
            with vrt.log_to("app.runtime") as routing:
                yield routing, lines

        @pytest.mark.parametrize("n", [1, 2, 3])
        def test_lines_arrive(routing, emulator, n):
            route, lines = routing
            control.emit_log(f"line {n}", 3)
            assert lines.lines[-1:] == [f"line {n}"] and not route.closed
    """)
    assert done.returncode == 0 and "3 passed" in done.stdout, done.stdout


def test_unused_outcomes_fail_the_test_unless_allowed(tmp_path):
    done = run_pytest(tmp_path, """
        import pytest
        import pyvessaruntime as vrt

        def test_typo_in_the_target(emulator):
            emulator.add_account(user_name="bob@example.test")
            emulator.fail_completion("acquire_token_silently", 3, account="bbo@example.test")
            with vrt.running():
                client = vrt.Client("app", "https://login.example.test/t")
                (account,) = client.discover_accounts()
                client.acquire_token_silently(account, ["user.read"])

        def test_optional(emulator):
            emulator.fail_completion("discover_accounts", 3, optional=True)
            emulator.cancel_next_interactive(optional=True)

        @pytest.mark.emulator_unused_outcomes
        def test_marked(emulator):
            emulator.set_latency("sign_in", 100)
            emulator.null_completion(None)

        @pytest.mark.emulator_strict
        def test_unscripted_in_strict_mode(emulator):
            with vrt.running(), pytest.raises(vrt.ConfigurationError):
                vrt.Client("app", "https://login.example.test/t").discover_accounts()

        @pytest.mark.emulator_replay("recording.json")
        def test_replays_what_was_recorded_only(emulator):
            with vrt.running():
                client = vrt.Client("app", "https://login.example.test/t")
                client.discover_accounts()
                with pytest.raises(vrt.ConfigurationError, match="the nearest .*as recorded"):
                    client.discover_accounts()
    """, files={"recording.json": json.dumps({"recorded": {}, "strict": True, "outcomes": [
        {"operation": "discover_accounts", "pass": True, "description": "as recorded"}]})})
    out = done.stdout
    assert done.returncode == 1 and "5 passed, 3 errors" in out, out
    assert "ERROR at teardown of test_typo_in_the_target" in out
    assert ("requests no scripted outcome matched (strict mode):\n  no scripted outcome matches "
            "discover_accounts, correlation id") in out
    assert ("fail_completion: acquire_token_silently, account 'bbo@example.test' (status 3): "
            "never taken") in out


def test_a_hold_never_released_fails_the_test(tmp_path):
    done = run_pytest(tmp_path, """
        import pytest
        import pyvessaruntime as vrt

        def test_waits_for_a_held_operation(emulator):
            with vrt.running(), emulator.held("discover_accounts"):
                with pytest.raises(vrt.OperationCanceled, match="held for 0.2 s"):
                    vrt.Client("app", "https://login.example.test/t").discover_accounts()
    """, "-o", "vessaruntime_held_timeout=0.2")
    out = done.stdout
    assert done.returncode == 1 and "1 passed, 1 error" in out, out
    assert re.search(r"held operations never released, completed with an error when their hold "
                     r"timed out \(release_held\(\) or leaving the held\(\) block releases them\):"
                     r"\n  discover_accounts \(operation 0x\w+\) held for 0.2 s", out), out


def test_the_fixture_is_typed_for_mypy_strict(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (as in the Windows test run)")
    source = textwrap.dedent("""
        from pyvessaruntime.pytest_plugin import Emulator

        def test_typed(emulator: Emulator) -> None:
            key: str = emulator.add_account(user_name="ada@example.test")
            emulator.set_account_state(key, "removed")
            emulator.fail_completion("sign_in", 3, account=key, every_time=True)
            emulator.advance(60)
            emulator.freeze(0)
            emulator.advance("a minute")
            pending: int = emulator.wait_for_pending(0) + len(emulator.expired_holds())
    """)
    (tmp_path / "test_typed.py").write_text(source)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "test_typed.py"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=300)
    # The one wrong call is found, and only it.
    assert "Found 1 error" in done.stdout, done.stdout + done.stderr
    assert 'test_typed.py:10: error: Argument 1 has incompatible type "str"' in done.stdout


def test_a_runtime_a_session_fixture_runs_stays_running_across_the_resets(tmp_path):
    done = run_pytest(tmp_path, """
        import logging
        import pytest
        import pyvessaruntime as vrt
        from pyvessaruntime import emulator as control

        @pytest.fixture(scope="session", autouse=True)
        def runtime():
            with vrt.log_to("app.runtime"), vrt.running():
                yield
            assert not control.is_started()

        @pytest.mark.parametrize("n", [1, 2, 3])
        def test_signs_in(emulator, caplog, n):
            assert vrt.is_running() and emulator.is_started()
            emulator.add_account()
            client = vrt.Client("app", "https://login.example.test/t")
            with caplog.at_level(logging.DEBUG, "app.runtime"):
                client.acquire_token_silently(client.discover_accounts()[0], ["user.read"])
            assert caplog.records
            vrt.start()  # left for the fixture to end
            if n == 2:
                control.reset()
                assert emulator.is_started() and client.discover_accounts() == ()
    """)
    assert done.returncode == 0 and "3 passed" in done.stdout, done.stdout + done.stderr


UNITTEST_CASES = """
    import asyncio, unittest
    import pyvessaruntime as vrt
    import pyvessaruntime.pyvessaruntime as m
    from pyvessaruntime import emulator
    from pyvessaruntime.emulator_internals import new_account_handle
    kept = []

    class Checked(unittest.TestCase):
        @emulator.session()
        def test_leaves_a_runtime_object_and_an_outcome(self):
            kept.append(m.VESSARuntimeAccount(new_account_handle(emulator.add_account())))
            emulator.fail_completion("sign_in", 3)

        @emulator.session()
        def test_fails_and_leaves_an_outcome(self):
            emulator.fail_completion("sign_in", 3)
            raise ValueError("its own failure")

        def test_with_block_that_may_leave_outcomes(self):
            with emulator.session(unused_outcomes=True) as emu:
                emu.add_account()
                emu.fail_completion("sign_in", 3)
                vrt.start()
                self.assertEqual(len(vrt.Client("app", "https://a.test/t").discover_accounts()), 1)
            self.assertFalse(vrt.is_running() or emulator.is_started() or emulator.accounts())

    class CheckedAsync(unittest.IsolatedAsyncioTestCase):
        @emulator.session()
        async def test_keeps_a_runtime_object_after_awaiting(self):
            await asyncio.sleep(0)
            kept.append(m.VESSARuntimeAccount(new_account_handle(emulator.add_account())))
"""


def test_emulator_session_checks_unittest_tests_as_the_fixture_does(tmp_path):
    (tmp_path / "test_checked.py").write_text(textwrap.dedent(UNITTEST_CASES))
    # Discovery puts the folder on sys.path, which an embedded Windows interpreter does not.
    out = subprocess.run([sys.executable, "-m", "unittest", "discover", "-v", "-s", ".", "-p",
                          "test_checked.py"], cwd=tmp_path, capture_output=True, text=True,
                         timeout=120).stderr
    for expected in [
            "test_leaves_a_runtime_object_and_an_outcome) ... FAIL",
            "test_with_block_that_may_leave_outcomes) ... ok",
            "test_fails_and_leaves_an_outcome) ... ERROR",
            "test_keeps_a_runtime_object_after_awaiting) ... FAIL",
            "AssertionError: runtime handles left live: {'account': 1}\nscripted outcomes never "
            "used (optional=True or unused_outcomes=True allows it):\n  fail_completion: sign_in",
            "ValueError: its own failure\nscripted outcomes never used",
            "AssertionError: runtime handles left live: {'account': 1}\n\n"]:
        assert expected in out, out
