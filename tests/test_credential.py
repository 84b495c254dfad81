"""Credential and AsyncCredential: the cache and its margin, the account choice, the prompt
policy, one operation for concurrent callers, sign-out and a restart of the runtime (the claims
and the renewal of a refused token: test_http_auth.py)."""

import asyncio
import datetime
import inspect
import threading

import pytest

import pyvessaruntime as vrt

AUTHORITY = "https://login.example.test/common"
SCOPES = ("user.read",)
INTERACTIVE = ("sign_in_interactively", "acquire_token_interactively")


def run(result):
    """The value of a call of either credential."""
    async def awaited():
        return await result
    return asyncio.run(awaited()) if inspect.isawaitable(result) else result


@pytest.fixture(params=[vrt.Credential, vrt.AsyncCredential], ids=["blocking", "asyncio"])
def kind(request):
    return request.param


@pytest.fixture
def runtime(emu):
    emu.freeze()
    with vrt.running():
        yield emu


def silent(emu):
    return emu.requests("acquire_token_silently")


def test_the_cache_answers_until_the_margin_then_the_runtime_renews(kind, runtime):
    runtime.add_account(user_name="ada@example.test")
    credential = kind("app", AUTHORITY, SCOPES, refresh_margin=600)
    assert credential.expired and not credential.valid
    first = run(credential.get_token())
    assert run(credential.get_token()) is first and credential.valid
    assert len(silent(runtime)) == 1
    runtime.advance(first.expires_in - datetime.timedelta(seconds=600))
    assert not credential.valid and not credential.expired
    renewed = run(credential.get_token())
    assert renewed.expires_at > first.expires_at and credential.valid
    assert [r.parameters["access_token_to_renew"] for r in silent(runtime)] == [
        None, first.access_token]
    runtime.advance(datetime.timedelta(hours=1))
    assert credential.expired


@pytest.mark.parametrize("choice, chosen", [
    (vrt.LoginHint("GRACE@example.test"), "grace"),
    (vrt.AccountId("grace"), "grace"),
    (lambda accounts: accounts[0], "ada"),
    (lambda accounts: accounts[-1], "grace"),
])
def test_the_account_choice_picks_among_the_signed_in(kind, runtime, choice, chosen):
    for name in ("ada", "grace"):
        runtime.add_account(account_id=name, user_name=f"{name}@example.test")
    credential = kind("app", AUTHORITY, SCOPES, account=choice)
    assert run(credential.get_token()).account == credential.account
    assert credential.account.account_id == chosen


@pytest.mark.parametrize("situation, raised", [
    ("interaction_required", vrt.InteractionRequired),
    ("account_switch", vrt.AccountSwitch),
    ("unusable", vrt.AccountUnusable),
    ("no account", vrt.InteractionRequired),
    ("two accounts", vrt.InteractionRequired),
])
@pytest.mark.parametrize("prompt", ["never", "when_needed"])
def test_a_needed_user_is_raised_or_prompted_for(kind, runtime, situation, raised, prompt):
    if situation != "no account":
        runtime.add_account(user_name="ada@example.test",
                            state=situation if situation.isidentifier() else None)
    if situation == "two accounts":
        runtime.add_account(user_name="grace@example.test")
    credential = kind("app", AUTHORITY, SCOPES, prompt=prompt, window=0x1234)
    if prompt == "never":
        with pytest.raises(raised):
            run(credential.get_token())
        assert not [r for r in runtime.requests() if r.operation in INTERACTIVE]
        return
    token = run(credential.get_token())
    prompts = [r for r in runtime.requests() if r.operation in INTERACTIVE]
    assert [(r.window, r.scopes) for r in prompts] == [(0x1234, SCOPES)]
    assert run(credential.get_token()) is token and credential.account == token.account


def test_a_token_outlives_a_restart_of_the_runtime_not_a_sign_out(kind, runtime):
    runtime.add_account(user_name="ada@example.test")
    credential = kind("app", AUTHORITY, SCOPES)
    token = run(credential.get_token())
    vrt.shutdown()
    vrt.start()
    assert run(credential.get_token()) is token
    runtime.advance(datetime.timedelta(hours=1))  # renewed for the account looked up again
    assert run(credential.get_token()).account.account_id == token.account.account_id
    run(credential.sign_out())
    assert runtime.requests()[-1].operation == "sign_out_silently"
    assert credential.account is None and credential.expired
    with pytest.raises(vrt.InteractionRequired):
        run(credential.get_token())


def test_threads_that_need_an_expired_token_at_once_share_one_operation(runtime):
    runtime.add_account(user_name="ada@example.test")
    credential = vrt.Credential("app", AUTHORITY, SCOPES)
    run(credential.get_token())
    runtime.advance(datetime.timedelta(hours=2))
    start, tokens = threading.Barrier(32), []
    threads = [threading.Thread(target=lambda: (start.wait(), tokens.append(
        credential.get_token()))) for _ in range(32)]
    with runtime.held("acquire_token_silently"):
        [thread.start() for thread in threads]
        runtime.wait_for_pending(1)
    [thread.join() for thread in threads]
    assert len(silent(runtime)) == 2 and len({id(token) for token in tokens})
    assert len(tokens) == 32
    assert not tokens[0].is_expired()


@pytest.mark.parametrize("cancelled", [1, 4])
@pytest.mark.parametrize("failure", [None, vrt.Status.Status_NoNetwork])
def test_tasks_share_one_operation_that_outlives_a_cancelled_one(runtime, failure, cancelled):
    runtime.add_account(user_name="ada@example.test")
    credential = vrt.AsyncCredential("app", AUTHORITY, SCOPES)
    run(credential.get_token())
    runtime.advance(datetime.timedelta(hours=2))
    if failure is not None:
        runtime.fail_completion("acquire_token_silently", failure)

    async def main():
        with runtime.held("acquire_token_silently"):
            tasks = [asyncio.ensure_future(credential.get_token()) for _ in range(4)]
            await asyncio.to_thread(runtime.wait_for_pending, 1)
            for task in tasks[:cancelled]:
                task.cancel()
            if cancelled == len(tasks):  # the operation ends with the last of its callers
                await asyncio.wait(asyncio.all_tasks() - {asyncio.current_task()})
        return await asyncio.gather(*tasks, return_exceptions=True)

    answers = run(main())
    assert all(isinstance(answer, asyncio.CancelledError) for answer in answers[:cancelled])
    rest = answers[cancelled:]
    assert all(type(answer) is type(rest[0]) for answer in rest)
    if rest:
        assert isinstance(rest[0], vrt.NetworkError if failure else vrt.Token)
    # A scripted failure is the outcome of a cancelled operation too.
    assert [r.status for r in silent(runtime)[1:]] == [
        failure or (None if rest else vrt.Status.Status_ApplicationCanceled)]


@pytest.mark.parametrize("arguments, error, message", [
    ({"scopes": "user.read"}, TypeError, "not a str"),
    ({"scopes": []}, ValueError, "at least one scope"),
    ({"account": "ada@example.test"}, TypeError, "account must be"),
    ({"prompt": "always"}, ValueError, "prompt must be"),
    ({"refresh_margin": -1}, ValueError, "refresh_margin"),
    ({"window": "main"}, TypeError, "window"),
])
def test_bad_arguments_are_refused_at_construction(kind, arguments, error, message):
    with pytest.raises(error, match=message):
        kind("app", AUTHORITY, **{"scopes": SCOPES, **arguments})
