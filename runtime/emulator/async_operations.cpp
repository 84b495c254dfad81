// The eight asynchronous start operations, CancelAsyncOperation and ReleaseAsyncHandle.
#include "async_operations.hpp"

#include "auth_parameters.hpp"
#include "accounts.hpp"
#include "call.hpp"

namespace vessaemu {
namespace {

// The checks every start operation shares: the routine and the address of the new handle.
template <class Routine>
bool check_start(Call& call, Routine callback, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return call.out(reinterpret_cast<void*>(callback), "callback") &&
         call.out(asyncHandle, "asyncHandle");
}

}  // namespace
}  // namespace vessaemu

using namespace vessaemu;

extern "C" {

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignInAsync(
    VESSARUNTIME_WINDOW_HANDLE, VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
    const os_char* correlationId, const os_char* accountHint,
    VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void*, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::SignInAsync, [&](Call& call) {
    auto params = call.object<AuthParametersObject>(authParameters);
    if (!params || !call.text(correlationId, "correlationId") ||
        !call.text(accountHint, "accountHint") || !check_start(call, callback, asyncHandle)) {
      return call.error();
    }
    return not_implemented(call.op());
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignInSilentlyAsync(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* correlationId,
    VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void*, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::SignInSilentlyAsync, [&](Call& call) {
    auto params = call.object<AuthParametersObject>(authParameters);
    if (!params || !call.text(correlationId, "correlationId") ||
        !check_start(call, callback, asyncHandle)) {
      return call.error();
    }
    return not_implemented(call.op());
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignInInteractivelyAsync(
    VESSARUNTIME_WINDOW_HANDLE, VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
    const os_char* correlationId, const os_char* accountHint,
    VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void*, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::SignInInteractivelyAsync, [&](Call& call) {
    auto params = call.object<AuthParametersObject>(authParameters);
    if (!params || !call.text(correlationId, "correlationId") ||
        !call.text(accountHint, "accountHint") || !check_start(call, callback, asyncHandle)) {
      return call.error();
    }
    return not_implemented(call.op());
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_AcquireTokenSilentlyAsync(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* correlationId,
    VESSARUNTIME_ACCOUNT_HANDLE account, VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void*,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::AcquireTokenSilentlyAsync, [&](Call& call) {
    auto params = call.object<AuthParametersObject>(authParameters);
    if (!params || !call.text(correlationId, "correlationId")) return call.error();
    auto target = call.object<AccountObject>(account);
    if (!target || !check_start(call, callback, asyncHandle)) return call.error();
    return not_implemented(call.op());
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_AcquireTokenInteractivelyAsync(
    VESSARUNTIME_WINDOW_HANDLE, VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
    const os_char* correlationId, VESSARUNTIME_ACCOUNT_HANDLE account,
    VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void*, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::AcquireTokenInteractivelyAsync, [&](Call& call) {
    auto params = call.object<AuthParametersObject>(authParameters);
    if (!params || !call.text(correlationId, "correlationId")) return call.error();
    auto target = call.object<AccountObject>(account);
    if (!target || !check_start(call, callback, asyncHandle)) return call.error();
    return not_implemented(call.op());
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReadAccountByIdAsync(const os_char* accountId, const os_char* correlationId,
                                  VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE callback, void*,
                                  VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::ReadAccountByIdAsync, [&](Call& call) {
    if (!call.text(accountId, "accountId") || !call.text(correlationId, "correlationId") ||
        !check_start(call, callback, asyncHandle)) {
      return call.error();
    }
    return not_implemented(call.op());
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignOutSilentlyAsync(
    const os_char* clientId, const os_char* correlationId, VESSARUNTIME_ACCOUNT_HANDLE account,
    VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE callback, void*,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::SignOutSilentlyAsync, [&](Call& call) {
    if (!call.text(clientId, "clientId") || !call.text(correlationId, "correlationId")) {
      return call.error();
    }
    auto target = call.object<AccountObject>(account);
    if (!target || !check_start(call, callback, asyncHandle)) return call.error();
    return not_implemented(call.op());
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_DiscoverAccountsAsync(const os_char* clientId, const os_char* correlationId,
                                   VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE callback,
                                   void*, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::DiscoverAccountsAsync, [&](Call& call) {
    if (!call.text(clientId, "clientId") || !call.text(correlationId, "correlationId") ||
        !check_start(call, callback, asyncHandle)) {
      return call.error();
    }
    return not_implemented(call.op());
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_CancelAsyncOperation(VESSARUNTIME_ASYNC_HANDLE asyncHandle) {
  return guarded(Op::CancelAsyncOperation, [&](Call& call) {
    auto operation = call.object<AsyncOperationObject>(asyncHandle);
    if (!operation) return call.error();
    operation->cancel();
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseAsyncHandle(VESSARUNTIME_ASYNC_HANDLE asyncHandle) {
  return release<AsyncOperationObject>(Op::ReleaseAsyncHandle, asyncHandle);
}

}  // extern "C"
