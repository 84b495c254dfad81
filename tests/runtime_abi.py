"""The runtime's 65 operations declared for ctypes, for tests that call the emulator's C API
directly: `lib` is the library the extension loaded, with every ``VESSARUNTIME_*`` operation's
``argtypes`` and ``restype`` set. Handles, buffers and texts are void pointers (pass ints, None
or ctypes buffers), sizes and out values pointers (pass ``ctypes.byref(...)``); error handles come
back as int or None."""

import ctypes

from pyvessaruntime import emulator

_p = ctypes.c_void_p
_i32, _i64 = ctypes.c_int32, ctypes.c_int64
_pi32, _pi64 = ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.c_int64)
_pp = ctypes.POINTER(ctypes.c_void_p)
_STRING_GETTER = [_p, _p, _pi32]
_ACCOUNT_GETTERS = ("AccountId", "HomeAccountId", "Environment", "Realm", "LocalAccountId",
                    "UserName", "GivenName", "FamilyName", "MiddleName", "DisplayName",
                    "AdditionalFieldsJson", "HomeEnvironment", "ClientInfo")

SIGNATURES = {
    "Startup": (_p, []),
    "Shutdown": (None, []),
    "GetSsoPolicy": (_p, [_pi32]),
    "SetIsPiiEnabled": (None, [_i32]),
    "GetStatus": (_p, [_p, _pi32]),
    "GetErrorCode": (_p, [_p, _pi64]),
    "GetTag": (_p, [_p, _pi32]),
    "GetContext": (_p, _STRING_GETTER),
    "ReleaseError": (_p, [_p]),
    **{f"Get{name}": (_p, _STRING_GETTER) for name in _ACCOUNT_GETTERS},
    "ReleaseAccount": (_p, [_p]),
    "CreateAuthParameters": (_p, [_p, _p, _pp]),
    "SetRequestedScopes": (_p, [_p, _p]),
    "SetRedirectUri": (_p, [_p, _p]),
    "SetDecodedClaims": (_p, [_p, _p]),
    "SetAccessTokenToRenew": (_p, [_p, _p]),
    "SetPopParams": (_p, [_p, _p, _p, _p, _p]),
    "SetAdditionalParameter": (_p, [_p, _p, _p]),
    "ReleaseAuthParameters": (_p, [_p]),
    "GetAccount": (_p, [_p, _pp]),
    **{name: (_p, _STRING_GETTER) for name in (
        "GetIdToken", "GetRawIdToken", "GetAccessToken", "GetGrantedScopes",
        "GetAuthorizationHeader", "GetTelemetryData", "SignOutResult_GetTelemetryData",
        "ReadAccountResult_GetTelemetryData", "DiscoverAccountsResult_GetTelemetryData")},
    "IsPopAuthorization": (_p, [_p, _pi32]),
    "GetAccessTokenExpiryTime": (_p, [_p, _pi64]),
    "GetError": (_p, [_p, _pp]),
    "ReleaseAuthResult": (_p, [_p]),
    "SignOutResult_GetError": (_p, [_p, _pp]),
    "ReleaseSignOutResult": (_p, [_p]),
    "ReadAccountResult_GetAccount": (_p, [_p, _pp]),
    "ReadAccountResult_GetError": (_p, [_p, _pp]),
    "ReleaseReadAccountResult": (_p, [_p]),
    "DiscoverAccountsResult_GetAccount": (_p, [_p, _i32, _pp]),
    "DiscoverAccountsResult_GetError": (_p, [_p, _pp]),
    "ReleaseDiscoverAccountsResult": (_p, [_p]),
    "SignInAsync": (_p, [_p, _p, _p, _p, _p, _p, _pp]),
    "SignInSilentlyAsync": (_p, [_p, _p, _p, _p, _pp]),
    "SignInInteractivelyAsync": (_p, [_p, _p, _p, _p, _p, _p, _pp]),
    "AcquireTokenSilentlyAsync": (_p, [_p, _p, _p, _p, _p, _pp]),
    "AcquireTokenInteractivelyAsync": (_p, [_p, _p, _p, _p, _p, _p, _pp]),
    "ReadAccountByIdAsync": (_p, [_p, _p, _p, _p, _pp]),
    "SignOutSilentlyAsync": (_p, [_p, _p, _p, _p, _p, _pp]),
    "DiscoverAccountsAsync": (_p, [_p, _p, _p, _p, _pp]),
    "CancelAsyncOperation": (_p, [_p]),
    "ReleaseAsyncHandle": (_p, [_p]),
    "RegisterLogCallback": (_p, [_p, _p, _pp]),
    "ReleaseLogCallbackHandle": (_p, [_p]),
}
assert len(SIGNATURES) == 65

# A CDLL object of its own over the same loaded library: declaring these does not touch the
# emulator module's object.
lib = ctypes.CDLL(emulator.library()._name, handle=emulator.library()._handle)
for _name, (_restype, _argtypes) in SIGNATURES.items():
    _function = getattr(lib, "VESSARUNTIME_" + _name)
    _function.restype, _function.argtypes = _restype, _argtypes
