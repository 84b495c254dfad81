"""Token and Account as values: copies, pickles, asdict, equality, read-only mappings, a repr
without personal data, expiry helpers, and an Account without its runtime object handed back."""

import copy
import dataclasses
import datetime
import json
import pickle

import pytest

import pyvessaruntime as vrt
import pyvessaruntime.pyvessaruntime as m
from pyvessaruntime import models

CLIENT_ID = "client-1"
AUTHORITY = "https://login.example.test/common"
USER = dict(user_name="ada@example.test", display_name="Ada Lovelace", given_name="Ada",
            family_name="Lovelace", additional_fields_json='{"tenant": {"ids": [1, 2]}}')


@pytest.fixture
def client(started):
    started.set_interactive_user(**USER)
    return vrt.Client(CLIENT_ID, AUTHORITY, timeout=10)


# A shallow copy of a token shares its Account, runtime object and all; a copy of an Account, a
# deep copy and a pickle leave the runtime object out.
@pytest.mark.parametrize("duplicate, lookups", [
    (copy.copy, 0), (lambda token: dataclasses.replace(token, account=copy.copy(token.account)), 1),
    (copy.deepcopy, 1), (lambda value: pickle.loads(pickle.dumps(value)), 1)])
def test_values_copy_and_pickle_without_the_runtime_object(client, started, duplicate, lookups):
    token = client.sign_in_interactively(["a"])
    twin = duplicate(token)
    assert twin == token and hash(twin) == hash(token) and twin.account == token.account
    # Handed back, an account without its runtime object is looked up again by its id.
    assert client.acquire_token_silently(twin.account, ["b"]).account == token.account
    assert started.calls("ReadAccountByIdAsync") == lookups
    client.acquire_token_silently(token.account, ["b"])
    assert started.calls("ReadAccountByIdAsync") == lookups


def test_asdict_and_json(client):
    token = client.sign_in_interactively(["a"])
    fields = dataclasses.asdict(token)
    assert fields["account"]["user_name"] == USER["user_name"]
    assert json.loads(json.dumps(fields, default=str))["id_token"]["aud"] == CLIENT_ID


def test_equality_leaves_telemetry_out(client):
    token = client.sign_in_interactively(["a"])
    other = dataclasses.replace(token, telemetry={"correlation_id": "another"})
    assert other == token and hash(other) == hash(token)
    assert dataclasses.replace(token, granted_scopes=("z",)) != token


def test_mappings_are_read_only_all_the_way_down(client):
    token = client.sign_in_interactively(["a"])
    for mapping in (token.id_token, token.telemetry, token.account.additional_fields):
        with pytest.raises(TypeError, match="read-only"):
            mapping["x"] = 1
        with pytest.raises(TypeError):
            mapping.update(x=1)
    assert token.account.additional_fields["tenant"]["ids"] == (1, 2)
    with pytest.raises(TypeError):
        token.account.additional_fields["tenant"]["ids"] = ()
    assert vrt.Account("x", additional_fields={"a": [1]}).additional_fields == {"a": (1,)}


def test_repr_keeps_personal_data_out(client):
    token = client.sign_in_interactively(["user.read"])
    text = repr(token)
    for secret in ("ada@example.test", "Ada", "Lovelace", token.account.client_info,
                   token.access_token, token.raw_id_token, "tenant"):
        assert secret not in text
    assert token.account.account_id in text and "user.read" in text and "expires_at" in text


def test_expiry_helpers():
    now = datetime.datetime.now(datetime.UTC)
    token = vrt.Token("t", "Bearer t", now + datetime.timedelta(seconds=100), (), None, None,
                      vrt.Account("id"), {})
    assert datetime.timedelta(seconds=98) < token.expires_in <= datetime.timedelta(seconds=100)
    assert not token.is_expired() and not token.is_expired(leeway=50)
    assert token.is_expired(leeway=datetime.timedelta(minutes=5)) and token.is_expired(200.5)
    with pytest.raises(TypeError, match="leeway"):
        token.is_expired(leeway="5")
    with pytest.raises(ValueError, match="^leeway must be a finite number"):
        token.is_expired(float("-inf"))


def test_a_successful_result_without_an_account_is_a_contract_violation(emu):
    result = m.VESSARuntimeAuthResult(emu.new_auth_result(access_token="t"))
    with pytest.raises(vrt.ContractViolation, match="without an account"):
        models.to_token(result)
