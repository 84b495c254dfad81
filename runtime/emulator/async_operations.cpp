// The eight asynchronous start operations, CancelAsyncOperation and ReleaseAsyncHandle.
//
// A start operation checks its arguments, copies what the operation needs (the caller's texts
// die with the call), and hands the job to the engine, which completes it once.
#include "async_operations.hpp"

#include <cstdio>

#include "accounts.hpp"
#include "auth_parameters.hpp"
#include "call.hpp"
#include "engine.hpp"
#include "flows.hpp"
#include "history.hpp"
#include "logging.hpp"
#include "state.hpp"

namespace vessaemu {
namespace {

// The checks every start operation shares: the routine and the address of the new handle.
template <class Routine>
bool check_start(Call& call, Routine callback, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return call.out(reinterpret_cast<void*>(callback), "callback") &&
         call.out(asyncHandle, "asyncHandle");
}

template <class Routine>
VESSARUNTIME_ERROR_HANDLE start(Call& call, Request request, Routine routine, void* context,
                                VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  State& st = call.state();
  request.op = call.op();
  if (logging_wanted(st)) {
    std::string line = std::string(short_name(call.op())) + " starting (correlation id " +
                       narrow(request.correlation_id) + ")";
    if (request.account_hint && !request.account_hint->empty()) {
      line += " with account hint " + pii(st, *request.account_hint);
    }
    log(st, kLogInfo, line);
  }
  // In the history from the start, so that a completion inside start_job finds its entry; a
  // refused start takes it out again.
  const uint64_t entry = request.history_id = record_request(st, request);
  VESSARUNTIME_ERROR_HANDLE refused = kOk;
  try {
    auto job = make_ref<Job>();
    job->deliver = make_delivery(st, std::move(request), routine, context);
    refused = start_job(st, call.op(), std::move(job), asyncHandle);
  } catch (...) {
    pass_foreign_unwind();
    forget_request(st, entry);
    throw;
  }
  if (refused != kOk) forget_request(st, entry);
  return refused;
}

uint64_t window_value(VESSARUNTIME_WINDOW_HANDLE window) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(window));
}

Request auth_request(const AuthParametersObject& params, const os_char* correlationId) {
  Request request;
  request.params = params.snapshot();
  request.correlation_id = units_of(correlationId);
  return request;
}

// SignInAsync and SignInInteractivelyAsync take the same inputs; the flow tells them apart.
VESSARUNTIME_ERROR_HANDLE sign_in_with_hint(Op op, VESSARUNTIME_WINDOW_HANDLE parentWindowHandle,
                                            VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                                            const os_char* correlationId,
                                            const os_char* accountHint,
                                            VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback,
                                            void* callbackData,
                                            VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(op, [&](Call& call) {
    auto params = call.object<AuthParametersObject>(authParameters);
    if (!params || !call.text(correlationId, "correlationId") ||
        !call.text(accountHint, "accountHint") || !check_start(call, callback, asyncHandle)) {
      return call.error();
    }
    Request request = auth_request(*params, correlationId);
    request.account_hint = units_of(accountHint);
    request.window = window_value(parentWindowHandle);
    return start(call, std::move(request), callback, callbackData, asyncHandle);
  });
}

}  // namespace
}  // namespace vessaemu

using namespace vessaemu;

extern "C" {

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignInAsync(
    VESSARUNTIME_WINDOW_HANDLE parentWindowHandle,
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* correlationId,
    const os_char* accountHint, VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return sign_in_with_hint(Op::SignInAsync, parentWindowHandle, authParameters, correlationId,
                           accountHint, callback, callbackData, asyncHandle);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignInSilentlyAsync(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* correlationId,
    VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::SignInSilentlyAsync, [&](Call& call) {
    auto params = call.object<AuthParametersObject>(authParameters);
    if (!params || !call.text(correlationId, "correlationId") ||
        !check_start(call, callback, asyncHandle)) {
      return call.error();
    }
    return start(call, auth_request(*params, correlationId), callback, callbackData, asyncHandle);
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignInInteractivelyAsync(
    VESSARUNTIME_WINDOW_HANDLE parentWindowHandle,
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* correlationId,
    const os_char* accountHint, VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return sign_in_with_hint(Op::SignInInteractivelyAsync, parentWindowHandle, authParameters,
                           correlationId, accountHint, callback, callbackData, asyncHandle);
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_AcquireTokenSilentlyAsync(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* correlationId,
    VESSARUNTIME_ACCOUNT_HANDLE account, VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback,
    void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::AcquireTokenSilentlyAsync, [&](Call& call) {
    auto params = call.object<AuthParametersObject>(authParameters);
    if (!params || !call.text(correlationId, "correlationId")) return call.error();
    auto target = call.object<AccountObject>(account);
    if (!target || !check_start(call, callback, asyncHandle)) return call.error();
    Request request = auth_request(*params, correlationId);
    request.account = target->record;
    return start(call, std::move(request), callback, callbackData, asyncHandle);
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_AcquireTokenInteractivelyAsync(
    VESSARUNTIME_WINDOW_HANDLE parentWindowHandle,
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* correlationId,
    VESSARUNTIME_ACCOUNT_HANDLE account, VESSARUNTIME_AUTH_COMPLETION_ROUTINE callback,
    void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::AcquireTokenInteractivelyAsync, [&](Call& call) {
    auto params = call.object<AuthParametersObject>(authParameters);
    if (!params || !call.text(correlationId, "correlationId")) return call.error();
    auto target = call.object<AccountObject>(account);
    if (!target || !check_start(call, callback, asyncHandle)) return call.error();
    Request request = auth_request(*params, correlationId);
    request.account = target->record;
    request.window = window_value(parentWindowHandle);
    return start(call, std::move(request), callback, callbackData, asyncHandle);
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReadAccountByIdAsync(const os_char* accountId, const os_char* correlationId,
                                  VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE callback,
                                  void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::ReadAccountByIdAsync, [&](Call& call) {
    if (!call.text(accountId, "accountId") || !call.text(correlationId, "correlationId") ||
        !check_start(call, callback, asyncHandle)) {
      return call.error();
    }
    Request request;
    request.account_id = units_of(accountId);
    request.correlation_id = units_of(correlationId);
    return start(call, std::move(request), callback, callbackData, asyncHandle);
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SignOutSilentlyAsync(
    const os_char* clientId, const os_char* correlationId, VESSARUNTIME_ACCOUNT_HANDLE account,
    VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE callback, void* callbackData,
    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::SignOutSilentlyAsync, [&](Call& call) {
    if (!call.text(clientId, "clientId") || !call.text(correlationId, "correlationId")) {
      return call.error();
    }
    auto target = call.object<AccountObject>(account);
    if (!target || !check_start(call, callback, asyncHandle)) return call.error();
    Request request;
    request.client_id = units_of(clientId);
    request.correlation_id = units_of(correlationId);
    request.account = target->record;
    return start(call, std::move(request), callback, callbackData, asyncHandle);
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_DiscoverAccountsAsync(const os_char* clientId, const os_char* correlationId,
                                   VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE callback,
                                   void* callbackData, VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  return guarded(Op::DiscoverAccountsAsync, [&](Call& call) {
    if (!call.text(clientId, "clientId") || !call.text(correlationId, "correlationId") ||
        !check_start(call, callback, asyncHandle)) {
      return call.error();
    }
    Request request;
    request.client_id = units_of(clientId);
    request.correlation_id = units_of(correlationId);
    return start(call, std::move(request), callback, callbackData, asyncHandle);
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_CancelAsyncOperation(VESSARUNTIME_ASYNC_HANDLE asyncHandle) {
  return guarded(Op::CancelAsyncOperation, [&](Call& call) {
    auto operation = call.object<AsyncOperationObject>(asyncHandle);
    if (!operation) return call.error();
    State& st = call.state();
    if (operation->state() == AsyncState::Pending && logging_wanted(st)) {
      char line[96];
      std::snprintf(line, sizeof line, "cancellation of operation 0x%llx requested",
                    static_cast<unsigned long long>(handle_value(asyncHandle)));
      log(st, kLogInfo, line);
    }
    operation->cancel();
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseAsyncHandle(VESSARUNTIME_ASYNC_HANDLE asyncHandle) {
  // Releasing does not cancel: the engine holds the operation until it completes.
  return release<AsyncOperationObject>(Op::ReleaseAsyncHandle, asyncHandle);
}

}  // extern "C"
