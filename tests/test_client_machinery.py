"""How the clients wait and hand results over: what a program imports, the correlation ids they
make, values that share nothing between calls, and many waits settled together."""

import asyncio
import gc
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import uuid

import pytest

from conftest import needs_fork

import pyvessaruntime as vrt
from pyvessaruntime import _core, _results
from pyvessaruntime import client as client_module
from pyvessaruntime import models
from pyvessaruntime import pyvessaruntime as native

CLIENT_ID = "client-1"
AUTHORITY = "https://login.example.test/common"


def run_script(code, timeout=60):
    done = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, PYVESSARUNTIME_RUNTIME="emulator"))
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_a_program_that_only_blocks_never_imports_asyncio():
    out = run_script("""
        import sys
        import pyvessaruntime as vrt
        from pyvessaruntime import emulator

        with vrt.running():
            account = emulator.add_account()
            client = vrt.Client("client-1", "https://login.example.test/common")
            client.acquire_token_silently(client.read_account(account), ["a"])
            vrt.log_to("runtime").close()
        print(sorted(m for m in sys.modules if m.split(".")[0] in ("asyncio", "concurrent")))
    """)
    assert out.strip() == "[]"


def test_importing_the_package_imports_no_typing_module():
    # `typing` alone would be most of the package's import time.
    out = run_script("""
        import sys
        import pyvessaruntime
        print(sorted(m for m in sys.modules if m.split(".")[0] == "typing"))
    """)
    assert out.strip() == "[]"


def test_default_correlation_ids_are_fresh_random_uuids(started, monkeypatch):
    monkeypatch.setattr(client_module, "_UUIDS_AT_ONCE", 3)  # the stock runs out and refills
    client = vrt.Client(CLIENT_ID, AUTHORITY)
    account = client.read_account(started.add_account())
    ids = [client.acquire_token_silently(account, ["a"]).telemetry["correlation_id"]
           for _ in range(8)]
    assert len(set(ids)) == 8
    assert all(str(uuid.UUID(i)) == i and uuid.UUID(i).version == 4 for i in ids)


@pytest.mark.parametrize("random", [bytes(16 * 5), bytes([255]) * 16 * 5,
                                    bytes(range(7, 7 + 16 * 5 * 3, 3))],
                         ids=["zeros", "ones", "varied"])
def test_the_stock_of_correlation_ids_is_the_random_bytes_as_version_4_uuids(monkeypatch,
                                                                             random):
    monkeypatch.setattr(client_module, "_UUIDS_AT_ONCE", 5)
    monkeypatch.setattr(client_module, "_uuids", [])
    monkeypatch.setattr(client_module.os, "urandom", lambda size: random[:size])
    made = {client_module._new_uuid() for _ in range(5)}
    assert made == {str(uuid.UUID(bytes=random[at:at + 16], version=4))
                    for at in range(0, len(random), 16)}


@needs_fork
def test_a_forked_child_draws_correlation_ids_of_its_own():
    out = run_script("""
        import os
        from pyvessaruntime import client

        client._new_uuid()  # the parent's stock is made
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            os.write(write, client._new_uuid().encode())
            os._exit(0)
        os.waitpid(child, 0)
        print(os.read(read, 100).decode(), client._new_uuid())
    """)
    in_child, in_parent = out.split()
    assert in_child != in_parent


FLAT = {"sub": "u1", "exp": 5, "ok": True, "none": None}
NESTED = {"sub": "u1", "roles": ["reader"], "address": {"city": "X"}}


@pytest.mark.parametrize("claims, read", [
    (FLAT, FLAT),
    (NESTED, {"sub": "u1", "roles": ("reader",), "address": {"city": "X"}}),
])
def test_parsed_values_kept_for_the_next_result_are_read_only(claims, read):
    text = json.dumps(claims)
    for parse in (models._claims, models._json_object):
        first, second = parse(text), parse(text)
        assert first == second == read
        with pytest.raises(TypeError):
            first["sub"] = "changed"
        if "address" in first:
            with pytest.raises(TypeError):
                first["address"]["city"] = "Y"
        assert parse(text) == read


def test_tokens_of_one_id_token_have_equal_claims(started):
    client = vrt.Client(CLIENT_ID, AUTHORITY)
    account = client.read_account(started.add_account())
    first = client.acquire_token_silently(account, ["a"])
    second = client.acquire_token_silently(account, ["a"])
    assert first.raw_id_token == second.raw_id_token and first.id_token == second.id_token
    assert first.telemetry is not second.telemetry


@pytest.mark.parametrize("mode", ["worker", "inline"])
def test_many_concurrent_waits_each_get_their_own_result(started, mode):
    started.set_completion_mode(mode)
    scopes = [f"scope.{n}" for n in range(200)]

    async def main():
        client = vrt.AsyncClient(CLIENT_ID, AUTHORITY)
        account = await client.read_account(started.add_account())
        tokens = await asyncio.gather(*(client.acquire_token_silently(account, [s])
                                        for s in scopes))
        return [t.granted_scopes for t in tokens]
    assert asyncio.run(main()) == [(s,) for s in scopes]


def test_waits_on_two_loops_in_turn(started):
    client = vrt.AsyncClient(CLIENT_ID, AUTHORITY)
    account_id = started.add_account()
    for _ in range(2):
        assert asyncio.run(client.read_account(account_id)).account_id == account_id


def test_waits_of_one_client_time_out_each_at_its_own_deadline(started):
    started.set_completion_mode("held")

    async def main():
        client = vrt.AsyncClient(CLIENT_ID, AUTHORITY, timeout=0.4)
        first = asyncio.ensure_future(client.discover_accounts())
        await asyncio.sleep(0.2)
        second = asyncio.ensure_future(client.discover_accounts())
        with pytest.raises(TimeoutError, match="within 0.4 s"):
            await first
        assert not second.done()
        assert started.release_held() == 1  # the second's result comes before its deadline
        assert await second == ()
    asyncio.run(main())
    assert started.calls("CancelAsyncOperation") == 1
    assert started.wait_idle()


def test_every_thread_waiting_for_an_operation_wakes_when_it_completes(started):
    started.set_completion_mode("held")
    pending = _core.start(native.discover_accounts, (CLIENT_ID, "c"),
                          lambda result: len(result.get_accounts()))
    woken = []
    # Each would end at its timeout anyway: woken by the completion, they end long before.
    waiters = [threading.Thread(target=lambda: woken.append(pending.wait(300))) for _ in range(3)]
    for waiter in waiters:
        waiter.start()
    assert not pending.wait(0.05)  # a wait that times out leaves the others waiting
    assert started.release_held() == 1
    for waiter in waiters:
        waiter.join(30)
    assert not any(waiter.is_alive() for waiter in waiters)
    assert woken == [True] * 3 and pending.done and pending.result() == 0
    assert pending.wait(None) and not pending.cancel()


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"),
                    reason="a signal can be aimed at one thread only on POSIX systems")
def test_an_interrupt_ends_a_blocking_wait_and_cancels_the_operation():
    # The signal is sent to the waiting thread once its operation is held, so it interrupts the
    # wait itself rather than the code before it. A suite started from a background job hands
    # its children an ignored SIGINT, so the child restores the default handler first.
    out = run_script("""
        import signal, threading, time
        import pyvessaruntime as vrt
        from pyvessaruntime import emulator_internals as emulator

        signal.signal(signal.SIGINT, signal.default_int_handler)
        with vrt.running():
            emulator.set_completion_mode("held")
            main = threading.get_ident()

            def interrupt():
                while emulator.held_operations() == 0:
                    time.sleep(0.01)
                time.sleep(0.1)
                signal.pthread_kill(main, signal.SIGINT)
            threading.Thread(target=interrupt).start()
            started = time.monotonic()
            try:
                vrt.Client("client-1", "https://login.example.test/common",
                           timeout=60).discover_accounts()
            except KeyboardInterrupt:
                print("interrupted", time.monotonic() - started < 30)
            print("cancels", emulator.calls("CancelAsyncOperation"))
            emulator.release_held()
            assert emulator.wait_idle(30)
    """)
    assert out.splitlines() == ["interrupted True", "cancels 1"]


class _Text(str):
    pass


# The native check of plain scopes passes only what the layer's own checks pass unchanged.
@pytest.mark.parametrize("scopes", [
    ["user.read", "mail.read"], ("a",), [], ["a b"], ["a\tb"], ["a\x1cb"], ["a\x1f"], ["a\0b"],
    [""], ["caf\u00e9"], ["a\x85b"], ["a\u3000b"], [_Text("a")], ["a", 1], "ab", {"a"},
    dict.fromkeys(["a"]), ["\ud800"], ["a\x7fb"], ["~!#"],
], ids=repr)
def test_plain_scopes_pass_exactly_what_the_checks_pass_unchanged(scopes):
    plain = _results.plain_scopes(scopes)
    try:
        checked = client_module._scope_list(scopes)
    except (TypeError, ValueError):
        assert plain is None
        return
    if plain is not None:
        assert plain == checked and all(type(s) is str for s in plain)
        assert plain is not scopes


def test_a_cancel_wins_over_a_later_result_which_is_dropped_unread(started):
    started.set_completion_mode("held")
    converted, told = [], []
    pending = _core.start(native.discover_accounts, (CLIENT_ID, "c"), converted.append)
    pending.when_done(told.append)
    assert pending.cancel() and not pending.cancel()
    assert started.wait_idle()  # the cancel completes the operation with an error result
    assert converted == [] and told == [] and not pending.done
    assert not pending.wait(0.01)


def test_the_waiter_gets_the_conversions_failure_even_when_its_mapping_fails(started, unraisable):
    def failing_mapping(exc):
        raise LookupError("the mapping failed")

    _results.configure(_core._pending, failing_mapping, _core._refused, _core._no_result)
    try:
        pending = _core.start(native.discover_accounts, (CLIENT_ID, "c"),
                              lambda result: 1 / 0)
        assert pending.wait(30)
        with pytest.raises(ZeroDivisionError):
            pending.result()
    finally:
        _results.configure(_core._pending, _core._handed_failure, _core._refused,
                           _core._no_result)
    assert [(report[0], report[1]) for report in unraisable] == [(LookupError, "the mapping failed")]


@pytest.mark.parametrize("called", [True, False])
def test_a_delivery_calls_exactly_one_of_its_two_callables(called):
    seen = []
    delivery = _core.Delivery(seen.append, lambda: seen.append("undelivered"))
    if called:
        delivery("result")
    del delivery
    assert seen == (["result"] if called else ["undelivered"])


def test_runtime_routines_nest_on_their_thread_only():
    assert not _core.on_runtime_thread()
    with _core.runtime_routine:
        with _core.runtime_routine:
            assert _core.on_runtime_thread()
            other = []
            thread = threading.Thread(target=lambda: other.append(_core.on_runtime_thread()))
            thread.start()
            thread.join()
            assert other == [False]
        assert _core.on_runtime_thread()
    assert not _core.on_runtime_thread()


def test_an_operation_in_a_cycle_with_its_waiter_is_collected(started):
    started.set_completion_mode("held")
    pending = _core.start(native.discover_accounts, (CLIENT_ID, "c"), len)
    waiter = [pending]
    pending.when_done(waiter.append)  # the callable refers back to the operation
    assert pending.cancel() and started.wait_idle()
    del pending, waiter
    gc.collect()
    assert started.live_handle_count() == 0
