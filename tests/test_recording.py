"""Recording what a runtime answered and replaying it in the emulator: an application's results
under replay are those it had while recording, token texts aside."""

import json
import textwrap

import pytest

import pyvessaruntime as vrt
from pyvessaruntime import emulator
from test_runtime_choice import NAME, compile_stand_in, run

# The application whose results are compared: the same code records and replays.
APPLICATION = """
import json
import pyvessaruntime as vrt

def seen(token):
    return {"account": {k: v for k, v in vars(token.account).items() if k != "_native"},
            "scopes": list(token.granted_scopes), "pop": token.is_pop,
            "lifetime": round(token.expires_in.total_seconds())}

def application():
    client = vrt.Client("app", "https://login.example.test/tenant", timeout=10)
    token = client.sign_in_interactively(["files.read"], login_hint="rec@example.test")
    results = [seen(token)]
    try:
        client.acquire_token_silently(token.account, ["mail.send"])
    except vrt.AuthError as error:
        results.append([error.raw_status, error.error_code, error.tag, error.context])
    results.append(seen(client.acquire_token_silently(token.account, ["files.read"])))
    return results
"""


def application_results(prelude, runtime):
    done = run(APPLICATION + textwrap.dedent(prelude) + textwrap.dedent("""
        with vrt.running():
            print(json.dumps(application()))
        """), runtime)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def test_what_another_runtime_answered_is_replayed_by_the_emulator(tmp_path):
    recording = tmp_path / "recording.json"
    recorded = application_results(f"""
        import ctypes, time
        lib = ctypes.CDLL(vrt.runtime_path())
        # Every text the stand-in answers, telemetry included, which must be JSON.
        lib.VESSABENCH_SetText((ctypes.c_uint16 * 2)(*b"42"), 2)
        lib.VESSABENCH_SetTokenExpiry(ctypes.c_int64(int(time.time()) + 1234))
        lib.VESSABENCH_FailAuth(2, 1)  # the second request needs the user
        recording = vrt.recording({str(recording)!r}, pii=True)
        recording.__enter__()
        """, compile_stand_in(tmp_path, NAME))
    replayed = application_results(f"""
        from pyvessaruntime import emulator
        emulator.replay({str(recording)!r})
        """, "emulator")
    for was, now in ((recorded[0], replayed[0]), (recorded[2], replayed[2])):
        assert 1230 <= was.pop("lifetime") <= 1234 and abs(now.pop("lifetime") - 1233) <= 3
    assert recorded[0]["account"]["user_name"] == "42" and recorded[1][0] == 2
    assert replayed == recorded


def test_a_process_recording_keeps_no_personal_data_and_replays_with_placeholders(
        tmp_path, monkeypatch):
    recording = tmp_path / "recording.json"
    monkeypatch.setenv("PYVESSARUNTIME_RECORD", str(recording))
    done = run("""
        import pyvessaruntime as vrt
        from pyvessaruntime import emulator
        emulator.add_account(user_name="ada.lovelace@example.test", given_name="Ada",
                             account_id="real-account-id", additional_fields_json='{"dept": "finance"}')
        with vrt.running():
            client = vrt.Client("app", "https://login.example.test/tenant", timeout=10)
            account, = client.discover_accounts()
            for scopes in (["a"], ["b"]):
                client.acquire_token_silently(account, scopes)
        """, "emulator")
    assert done.returncode == 0, done.stderr
    monkeypatch.delenv("PYVESSARUNTIME_RECORD")
    text = recording.read_text()
    for personal in ("ada", "Ada", "lovelace", "real-account-id", "finance"):
        assert personal not in text
    document = json.loads(text)
    placeholder = document["accounts"][0]["account_id"]
    assert len(document["accounts"]) == 1
    assert [rule.get("account") for rule in document["outcomes"]] == [None] + [placeholder] * 2

    emulator.replay(recording)
    with vrt.running():
        client = vrt.Client("app", "https://login.example.test/tenant", timeout=10)
        account, = client.discover_accounts()
        assert account.account_id == placeholder and account.user_name == "user1@example.invalid"
        assert client.acquire_token_silently(account, ["b"]).granted_scopes == ("b",)
        with pytest.raises(vrt.AuthError, match="nearest"):
            client.acquire_token_silently(account, ["c"])
    assert emulator.unmatched_requests()
