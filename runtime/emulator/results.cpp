// The getters and release operations of the four result kinds.
#include "results.hpp"

#include <cstdio>

#include "call.hpp"
#include "string_protocol.hpp"

namespace vessaemu {
namespace {

template <class T, class H>
VESSARUNTIME_ERROR_HANDLE get_text(Op op, H handle, Text T::* member, os_char* buffer,
                                   int32_t* bufferSize) {
  return guarded(op, [&](Call& call) {
    auto object = call.object<T>(handle);
    if (!object) return call.error();
    return write_text(call, (*object).*member, buffer, bufferSize);
  });
}

// Each call hands out a new error handle that the caller owns, or null for a successful result.
template <class T, class H>
VESSARUNTIME_ERROR_HANDLE get_error(Op op, H handle, VESSARUNTIME_ERROR_HANDLE* error) {
  return guarded(op, [&](Call& call) {
    auto object = call.object<T>(handle);
    if (!object || !call.out(error, "error")) return call.error();
    *error = object->error ? new_error(call.state().registry, *object->error) : nullptr;
    return kOk;
  });
}

// Each call hands out a new account handle that the caller owns, or null when there is none.
template <class T, class H>
VESSARUNTIME_ERROR_HANDLE get_account(Op op, H handle, VESSARUNTIME_ACCOUNT_HANDLE* account) {
  return guarded(op, [&](Call& call) {
    auto object = call.object<T>(handle);
    if (!object || !call.out(account, "account")) return call.error();
    *account =
        object->account ? new_account_handle(call.state().registry, object->account) : nullptr;
    return kOk;
  });
}

}  // namespace
}  // namespace vessaemu

using namespace vessaemu;

extern "C" {

// Auth result

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetAccount(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, VESSARUNTIME_ACCOUNT_HANDLE* account) {
  return get_account<AuthResultObject>(Op::GetAccount, authResult, account);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetIdToken(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer, int32_t* bufferSize) {
  return get_text(Op::GetIdToken, authResult, &AuthResultObject::id_token, buffer, bufferSize);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetRawIdToken(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer, int32_t* bufferSize) {
  return get_text(Op::GetRawIdToken, authResult, &AuthResultObject::raw_id_token, buffer,
                  bufferSize);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetAccessToken(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer, int32_t* bufferSize) {
  return get_text(Op::GetAccessToken, authResult, &AuthResultObject::access_token, buffer,
                  bufferSize);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetGrantedScopes(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer, int32_t* bufferSize) {
  return get_text(Op::GetGrantedScopes, authResult, &AuthResultObject::granted_scopes, buffer,
                  bufferSize);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetAuthorizationHeader(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer, int32_t* bufferSize) {
  return get_text(Op::GetAuthorizationHeader, authResult, &AuthResultObject::authorization_header,
                  buffer, bufferSize);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_IsPopAuthorization(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, int32_t* isPopAuthorization) {
  return guarded(Op::IsPopAuthorization, [&](Call& call) {
    auto object = call.object<AuthResultObject>(authResult);
    if (!object || !call.out(isPopAuthorization, "isPopAuthorization")) return call.error();
    *isPopAuthorization = object->is_pop;
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetAccessTokenExpiryTime(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, int64_t* accessTokenExpiryTime) {
  return guarded(Op::GetAccessTokenExpiryTime, [&](Call& call) {
    auto object = call.object<AuthResultObject>(authResult);
    if (!object || !call.out(accessTokenExpiryTime, "accessTokenExpiryTime")) return call.error();
    *accessTokenExpiryTime = object->expiry;
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetError(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, VESSARUNTIME_ERROR_HANDLE* error) {
  return get_error<AuthResultObject>(Op::GetError, authResult, error);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetTelemetryData(
    VESSARUNTIME_AUTH_RESULT_HANDLE authResult, os_char* buffer, int32_t* bufferSize) {
  return get_text(Op::GetTelemetryData, authResult, &AuthResultObject::telemetry, buffer,
                  bufferSize);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseAuthResult(VESSARUNTIME_AUTH_RESULT_HANDLE authResult) {
  return release<AuthResultObject>(Op::ReleaseAuthResult, authResult);
}

// Sign-out result

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignOutResult_GetError(
    VESSARUNTIME_SIGNOUT_RESULT_HANDLE signOutResult, VESSARUNTIME_ERROR_HANDLE* error) {
  return get_error<SignOutResultObject>(Op::SignOutResult_GetError, signOutResult, error);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignOutResult_GetTelemetryData(
    VESSARUNTIME_SIGNOUT_RESULT_HANDLE signOutResult, os_char* buffer, int32_t* bufferSize) {
  return get_text(Op::SignOutResult_GetTelemetryData, signOutResult,
                  &SignOutResultObject::telemetry, buffer, bufferSize);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseSignOutResult(VESSARUNTIME_SIGNOUT_RESULT_HANDLE signOutResult) {
  return release<SignOutResultObject>(Op::ReleaseSignOutResult, signOutResult);
}

// Read-account result

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReadAccountResult_GetAccount(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE readAccountResult,
                                          VESSARUNTIME_ACCOUNT_HANDLE* account) {
  return get_account<ReadAccountResultObject>(Op::ReadAccountResult_GetAccount, readAccountResult,
                                              account);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_ReadAccountResult_GetError(
    VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE readAccountResult, VESSARUNTIME_ERROR_HANDLE* error) {
  return get_error<ReadAccountResultObject>(Op::ReadAccountResult_GetError, readAccountResult,
                                            error);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_ReadAccountResult_GetTelemetryData(
    VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE readAccountResult, os_char* buffer,
    int32_t* bufferSize) {
  return get_text(Op::ReadAccountResult_GetTelemetryData, readAccountResult,
                  &ReadAccountResultObject::telemetry, buffer, bufferSize);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseReadAccountResult(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE readAccountResult) {
  return release<ReadAccountResultObject>(Op::ReleaseReadAccountResult, readAccountResult);
}

// Discover-accounts result

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_DiscoverAccountsResult_GetAccount(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE discoverAccountsResult, int32_t index,
    VESSARUNTIME_ACCOUNT_HANDLE* account) {
  return guarded(Op::DiscoverAccountsResult_GetAccount, [&](Call& call) {
    auto object = call.object<DiscoverAccountsResultObject>(discoverAccountsResult);
    if (!object || !call.out(account, "account")) return call.error();
    if (index < 0) {
      char what[64];
      std::snprintf(what, sizeof what, "index %d is negative", static_cast<int>(index));
      call.fail(what);
      return call.error();
    }
    // Past the last account the answer is a null handle: that is how callers find the end.
    *account = static_cast<size_t>(index) < object->accounts.size()
                   ? new_account_handle(call.state().registry,
                                        object->accounts[static_cast<size_t>(index)])
                   : nullptr;
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_DiscoverAccountsResult_GetError(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE discoverAccountsResult,
    VESSARUNTIME_ERROR_HANDLE* error) {
  return get_error<DiscoverAccountsResultObject>(Op::DiscoverAccountsResult_GetError,
                                                 discoverAccountsResult, error);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_DiscoverAccountsResult_GetTelemetryData(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE discoverAccountsResult, os_char* buffer,
    int32_t* bufferSize) {
  return get_text(Op::DiscoverAccountsResult_GetTelemetryData, discoverAccountsResult,
                  &DiscoverAccountsResultObject::telemetry, buffer, bufferSize);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_ReleaseDiscoverAccountsResult(
    VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE discoverAccountsResult) {
  return release<DiscoverAccountsResultObject>(Op::ReleaseDiscoverAccountsResult,
                                               discoverAccountsResult);
}

}  // extern "C"
