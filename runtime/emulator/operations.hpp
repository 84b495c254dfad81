// The table of runtime operations: names, call counters and scripted failures, kept in one place so
// every export enters the emulator the same way and later stages add behaviour per operation only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "vessaruntime.h"

namespace vessaemu {

// X(name, returns_error): every export of the runtime contract, in header order.
#define VESSAEMU_OPERATIONS(X)                     \
  X(Startup, true)                                 \
  X(Shutdown, false)                               \
  X(GetSsoPolicy, true)                            \
  X(SetIsPiiEnabled, false)                        \
  X(GetStatus, true)                               \
  X(GetErrorCode, true)                            \
  X(GetTag, true)                                  \
  X(GetContext, true)                              \
  X(ReleaseError, true)                            \
  X(GetAccountId, true)                            \
  X(GetHomeAccountId, true)                        \
  X(GetEnvironment, true)                          \
  X(GetRealm, true)                                \
  X(GetLocalAccountId, true)                       \
  X(GetUserName, true)                             \
  X(GetGivenName, true)                            \
  X(GetFamilyName, true)                           \
  X(GetMiddleName, true)                           \
  X(GetDisplayName, true)                          \
  X(GetAdditionalFieldsJson, true)                 \
  X(GetHomeEnvironment, true)                      \
  X(GetClientInfo, true)                           \
  X(ReleaseAccount, true)                          \
  X(CreateAuthParameters, true)                    \
  X(SetRequestedScopes, true)                      \
  X(SetRedirectUri, true)                          \
  X(SetDecodedClaims, true)                        \
  X(SetAccessTokenToRenew, true)                   \
  X(SetPopParams, true)                            \
  X(SetAdditionalParameter, true)                  \
  X(ReleaseAuthParameters, true)                   \
  X(GetAccount, true)                              \
  X(GetIdToken, true)                              \
  X(GetRawIdToken, true)                           \
  X(GetAccessToken, true)                          \
  X(GetGrantedScopes, true)                        \
  X(GetAuthorizationHeader, true)                  \
  X(IsPopAuthorization, true)                      \
  X(GetAccessTokenExpiryTime, true)                \
  X(GetError, true)                                \
  X(GetTelemetryData, true)                        \
  X(ReleaseAuthResult, true)                       \
  X(SignOutResult_GetError, true)                  \
  X(SignOutResult_GetTelemetryData, true)          \
  X(ReleaseSignOutResult, true)                    \
  X(ReadAccountResult_GetAccount, true)            \
  X(ReadAccountResult_GetError, true)              \
  X(ReadAccountResult_GetTelemetryData, true)      \
  X(ReleaseReadAccountResult, true)                \
  X(DiscoverAccountsResult_GetAccount, true)       \
  X(DiscoverAccountsResult_GetError, true)         \
  X(DiscoverAccountsResult_GetTelemetryData, true) \
  X(ReleaseDiscoverAccountsResult, true)           \
  X(SignInAsync, true)                             \
  X(SignInSilentlyAsync, true)                     \
  X(SignInInteractivelyAsync, true)                \
  X(AcquireTokenSilentlyAsync, true)               \
  X(AcquireTokenInteractivelyAsync, true)          \
  X(ReadAccountByIdAsync, true)                    \
  X(SignOutSilentlyAsync, true)                    \
  X(DiscoverAccountsAsync, true)                   \
  X(CancelAsyncOperation, true)                    \
  X(ReleaseAsyncHandle, true)                      \
  X(RegisterLogCallback, true)                     \
  X(ReleaseLogCallbackHandle, true)

enum class Op : int {
#define VESSAEMU_OP_ENUM(name, returns_error) name,
  VESSAEMU_OPERATIONS(VESSAEMU_OP_ENUM)
#undef VESSAEMU_OP_ENUM
      Count
};

inline constexpr int kOperationCount = static_cast<int>(Op::Count);

// Full exported name, e.g. "VESSARUNTIME_GetAccountId".
const char* full_name(Op op);
// Name without the prefix, e.g. "GetAccountId".
const char* short_name(Op op);
// The name a Python programmer would write: snake case without "Async", e.g.
// "acquire_token_silently", "sign_out_result_get_error".
const char* python_name(Op op);
// Whether the operation returns an error handle (all but Shutdown and SetIsPiiEnabled).
bool returns_error(Op op);
// Whether `op` is one of the eight start operations.
bool is_start_operation(Op op);
// Whether `op` is one of the five start operations that sign in and hand out a token.
bool is_token_flow(Op op);
// Accepts the full name, the name without the prefix, and the Python spelling; case, underscores
// and an "Async" ending do not matter ("acquire_token_silently", "signin_silently",
// "AcquireTokenSilentlyAsync"), and the clients' "read_account" and "sign_out" name their
// operations too.
std::optional<Op> find_operation(std::string_view name);
// "a, b, c": the Python spellings of every operation, or of the start operations only, for
// messages that list what a name could have been.
std::string operation_names(bool start_operations_only);

// A scripted failure: the values of the error the next calls answer with.
struct Fault {
  int32_t status = 0;
  int64_t code = 0;
  int32_t tag = 0;
  std::optional<std::u16string> context;
};

struct PendingFault {
  Fault fault;
  int32_t remaining;
  int32_t skip;
};

// The operations' part of the emulator's state (state.hpp). Counters are atomics so the common
// path (no failure scripted) costs one increment and one load; `faults` is guarded by
// `faults_mutex`.
struct OperationTable {
  std::array<std::atomic<uint64_t>, kOperationCount> calls{};
  std::array<std::atomic<bool>, kOperationCount> has_faults{};
  std::mutex faults_mutex;
  std::array<std::deque<PendingFault>, kOperationCount> faults;

  // Forgets call counts and scripted failures.
  void reset();
};

// Counts one call of the operation and, if a failure is scripted for it, consumes one and returns
// it. Called first thing by every export, before any argument is looked at.
std::optional<Fault> enter(OperationTable& table, Op op);
uint64_t call_count(const OperationTable& table, Op op);
// The next `count` calls fail with `fault`, once `after` further calls have gone through normally.
// Failures scripted one after the other queue up.
void script_failure(OperationTable& table, Op op, Fault fault, int32_t count, int32_t after = 0);
}  // namespace vessaemu
