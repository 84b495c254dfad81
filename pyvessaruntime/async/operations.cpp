// The asynchronous operations: sign-in, tokens, and the account operations.
//
// Each checks its arguments in parameter order, then runs the shared start sequence with its
// own texts and start call; the completion arrives later through the routine of its kind.
#include "async/completion.hpp"
#include "async/start_sequence.hpp"
#include "common/args.hpp"
#include "handles/auth_parameters.hpp"
#include "handles/handle_object.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

using args::exact_str;
using args::instance_of;
using args::not_none;

VESSARUNTIME_ACCOUNT_HANDLE account_of(PyObject* o) {
  return handle_of<VESSARUNTIME_ACCOUNT_HANDLE>(o);
}

// signin and signin_interactively share their parameters and differ in the start call only.
using SignInStart = VESSARUNTIME_ERROR_HANDLE(VESSARUNTIME_CALL*)(
    VESSARUNTIME_WINDOW_HANDLE, VESSARUNTIME_AUTH_PARAMETERS_HANDLE, const os_char*, const os_char*,
    VESSARUNTIME_AUTH_COMPLETION_ROUTINE, void*, VESSARUNTIME_ASYNC_HANDLE*);

template <SignInStart Start>
PyObject* sign_in_with_hint(PyObject*, PyObject* const* a) {
  // parentWindowHandle, auth_params, correlationId, accountHint, py_callback
  int64_t window = 0;
  if (!args::to_int64(a[0], &window) || !instance_of(a[1], &AuthParametersType, "auth_params") ||
      !exact_str(a[2], "correlationId") || !exact_str(a[3], "accountHint", true) ||
      !not_none(a[4], "py_callback"))
    return nullptr;
  StartSequence start(a[4]);
  const os_char* correlation = start.text(a[2]);
  const os_char* hint = start.text(a[3], true);
  AuthParametersLoan params(a[1]);
  return start.run([&](void* context, VESSARUNTIME_ASYNC_HANDLE* handle) {
    return Start(window_handle(window), params.get(), correlation, hint, auth_completion, context,
                 handle);
  });
}

PyObject* signin_silently(PyObject*, PyObject* const* a) {
  // auth_params, correlationId, py_callback
  if (!instance_of(a[0], &AuthParametersType, "auth_params") || !exact_str(a[1], "correlationId") ||
      !not_none(a[2], "py_callback"))
    return nullptr;
  StartSequence start(a[2]);
  const os_char* correlation = start.text(a[1]);
  AuthParametersLoan params(a[0]);
  return start.run([&](void* context, VESSARUNTIME_ASYNC_HANDLE* handle) {
    return VESSARUNTIME_SignInSilentlyAsync(params.get(), correlation, auth_completion, context,
                                            handle);
  });
}

PyObject* acquire_token_silently(PyObject*, PyObject* const* a) {
  // auth_params, correlationId, account, py_callback
  if (!instance_of(a[0], &AuthParametersType, "auth_params") || !exact_str(a[1], "correlationId") ||
      !instance_of(a[2], &AccountType, "account") || !not_none(a[3], "py_callback"))
    return nullptr;
  StartSequence start(a[3]);
  const os_char* correlation = start.text(a[1]);
  AuthParametersLoan params(a[0]);
  auto account = account_of(a[2]);
  return start.run([&](void* context, VESSARUNTIME_ASYNC_HANDLE* handle) {
    return VESSARUNTIME_AcquireTokenSilentlyAsync(params.get(), correlation, account,
                                                  auth_completion, context, handle);
  });
}

PyObject* acquire_token_interactively(PyObject*, PyObject* const* a) {
  // parentWindowHandle, auth_params, correlationId, account, py_callback
  int64_t window = 0;
  if (!args::to_int64(a[0], &window) || !instance_of(a[1], &AuthParametersType, "auth_params") ||
      !exact_str(a[2], "correlationId") || !instance_of(a[3], &AccountType, "account") ||
      !not_none(a[4], "py_callback"))
    return nullptr;
  StartSequence start(a[4]);
  const os_char* correlation = start.text(a[2]);
  AuthParametersLoan params(a[1]);
  auto account = account_of(a[3]);
  return start.run([&](void* context, VESSARUNTIME_ASYNC_HANDLE* handle) {
    return VESSARUNTIME_AcquireTokenInteractivelyAsync(window_handle(window), params.get(),
                                                       correlation, account, auth_completion,
                                                       context, handle);
  });
}

PyObject* read_account_by_id(PyObject*, PyObject* const* a) {
  // accountid, correlationId, py_callback
  if (!exact_str(a[0], "accountid") || !exact_str(a[1], "correlationId") ||
      !not_none(a[2], "py_callback"))
    return nullptr;
  StartSequence start(a[2]);
  const os_char* account_id = start.text(a[0]);
  const os_char* correlation = start.text(a[1]);
  return start.run([&](void* context, VESSARUNTIME_ASYNC_HANDLE* handle) {
    return VESSARUNTIME_ReadAccountByIdAsync(account_id, correlation, read_account_completion,
                                             context, handle);
  });
}

PyObject* signout_silently(PyObject*, PyObject* const* a) {
  // clientId, correlationId, account, py_callback
  if (!exact_str(a[0], "clientId") || !exact_str(a[1], "correlationId") ||
      !instance_of(a[2], &AccountType, "account") || !not_none(a[3], "py_callback"))
    return nullptr;
  StartSequence start(a[3]);
  const os_char* correlation = start.text(a[1]);
  const os_char* client = start.text(a[0]);
  auto account = account_of(a[2]);
  return start.run([&](void* context, VESSARUNTIME_ASYNC_HANDLE* handle) {
    return VESSARUNTIME_SignOutSilentlyAsync(client, correlation, account, signout_completion,
                                             context, handle);
  });
}

PyObject* discover_accounts(PyObject*, PyObject* const* a) {
  // clientId, correlationId, py_callback
  if (!exact_str(a[0], "clientId") || !exact_str(a[1], "correlationId") ||
      !not_none(a[2], "py_callback"))
    return nullptr;
  StartSequence start(a[2]);
  const os_char* correlation = start.text(a[1]);
  const os_char* client = start.text(a[0]);
  return start.run([&](void* context, VESSARUNTIME_ASYNC_HANDLE* handle) {
    return VESSARUNTIME_DiscoverAccountsAsync(client, correlation, discover_accounts_completion,
                                              context, handle);
  });
}

const FunctionDef kReadAccountFunctions[] = {
    {"read_account_by_id",
     read_account_by_id,
     "read_account_by_id(str accountid, str correlationId, py_callback)",
     {"accountid", "correlationId", "py_callback"}},
};

const FunctionDef kSignInFunctions[] = {
    {"signin",
     sign_in_with_hint<VESSARUNTIME_SignInAsync>,
     "signin(int64_t parentWindowHandle, VESSARuntimeAuthParameters auth_params, str "
     "correlationId, "
     "str accountHint, py_callback)",
     {"parentWindowHandle", "auth_params", "correlationId", "accountHint", "py_callback"}},
    {"signin_silently",
     signin_silently,
     "signin_silently(VESSARuntimeAuthParameters auth_params, str correlationId, py_callback)",
     {"auth_params", "correlationId", "py_callback"}},
    {"signin_interactively",
     sign_in_with_hint<VESSARUNTIME_SignInInteractivelyAsync>,
     "signin_interactively(int64_t parentWindowHandle, VESSARuntimeAuthParameters auth_params, str "
     "correlationId, str accountHint, py_callback)",
     {"parentWindowHandle", "auth_params", "correlationId", "accountHint", "py_callback"}},
};

const FunctionDef kAccountOperationFunctions[] = {
    {"signout_silently",
     signout_silently,
     "signout_silently(str clientId, str correlationId, VESSARuntimeAccount account, py_callback)",
     {"clientId", "correlationId", "account", "py_callback"}},
    {"discover_accounts",
     discover_accounts,
     "discover_accounts(str clientId, str correlationId, py_callback)",
     {"clientId", "correlationId", "py_callback"}},
};

const FunctionDef kTokenFunctions[] = {
    {"acquire_token_silently",
     acquire_token_silently,
     "acquire_token_silently(VESSARuntimeAuthParameters auth_params, str correlationId, "
     "VESSARuntimeAccount account, py_callback)",
     {"auth_params", "correlationId", "account", "py_callback"}},
    {"acquire_token_interactively",
     acquire_token_interactively,
     "acquire_token_interactively(int64_t parentWindowHandle, VESSARuntimeAuthParameters "
     "auth_params, "
     "str correlationId, VESSARuntimeAccount account, py_callback)",
     {"parentWindowHandle", "auth_params", "correlationId", "account", "py_callback"}},
};

}  // namespace

const FunctionTable read_account_functions = kReadAccountFunctions;
const FunctionTable signin_functions = kSignInFunctions;
const FunctionTable account_operation_functions = kAccountOperationFunctions;
const FunctionTable token_functions = kTokenFunctions;

}  // namespace pvr
