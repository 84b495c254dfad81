"""The conveniences over callbacks: running(), start_future() and run()."""

import asyncio

import pytest

import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import helpers


def test_running_starts_and_always_shuts_down(emu):
    with pytest.raises(KeyError):
        with helpers.running():
            assert emu.is_started()
            raise KeyError("inside")
    assert not emu.is_started() and emu.calls("Shutdown") == 1


def test_future_resolves_with_the_result_object(started):
    account_id = started.add_account()
    future = helpers.start_future(m.read_account_by_id, account_id, "corr")
    result = future.result(timeout=10)
    assert type(result) is m.VESSARuntimeReadAccountResult
    assert result.get_account().get_account_id() == account_id
    assert type(future.async_handle) is m.VESSARuntimeAsyncHandle


def test_cancelling_the_future_cancels_the_operation(started):
    started.set_completion_mode("held")
    future = helpers.start_future(m.discover_accounts, "client", "corr")
    assert future.cancel()
    assert started.wait_idle() and started.release_held() == 0
    assert m._callbackStorage == {}


def test_awaitable(started):
    async def main():
        return await helpers.run(m.discover_accounts, "client", "corr")
    result = asyncio.run(main())
    assert type(result) is m.VESSARuntimeDiscoverAccountsResult and result.get_error() is None


def test_cancelling_the_task_cancels_the_operation(started):
    started.set_completion_mode("held")

    async def main():
        task = asyncio.ensure_future(helpers.run(m.discover_accounts, "client", "corr"))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    asyncio.run(main())
    assert started.wait_idle() and started.held_operations() == 0


@pytest.mark.parametrize("status", [3, 99])
def test_a_refused_start_raises_as_the_native_module_does_and_leaves_no_record(started, status):
    started.set_completion_mode("held")
    pending = [m.discover_accounts("client", f"corr-{n}", lambda result: None) for n in range(3)]
    records = dict(m._callbackStorage)
    for refuse in (lambda: helpers.start_future(m.discover_accounts, "client", "corr"),
                   lambda: asyncio.run(helpers.run(m.discover_accounts, "client", "corr"))):
        started.fail_next("DiscoverAccountsAsync", status)
        with pytest.raises(RuntimeError if status == 3 else ValueError):
            refuse()
        assert m._callbackStorage == records  # the others' records stay
    for handle in pending:
        handle.cancel_async_operation()
    assert started.release_held() == 0 and started.wait_idle()


def test_a_cancel_the_runtime_refuses_still_cancels_the_wait(started, caplog):
    started.set_completion_mode("held")
    started.fail_next("CancelAsyncOperation", 5, count=2)

    async def main():
        task = asyncio.ensure_future(helpers.run(m.discover_accounts, "client", "corr"))
        await asyncio.sleep(0)  # the task starts the operation and waits
        task.cancel()
        with pytest.raises(asyncio.CancelledError) as cancelled:
            await task
        return cancelled.value.__notes__
    assert "the runtime refused to cancel" in asyncio.run(main())[0]
    assert helpers.start_future(m.discover_accounts, "client", "corr").cancel()
    assert started.release_held() == 2 and started.wait_idle() and not caplog.records
