// The identity flows behind the eight start operations: what each one does with the identity
// store and the result it completes with.
//
// - Silent sign-in (SignInSilentlyAsync, and SignInAsync when it can) signs in a known account
//   (find_known_account); without one it answers Status_InteractionRequired.
// - Interactive sign-in (SignInInteractivelyAsync, AcquireTokenInteractivelyAsync, SignInAsync
//   without a known account) signs in the interactive user and stores it, unless a scripted
//   cancellation answers an error instead (Status_UserCanceled by default).
// - AcquireTokenSilentlyAsync succeeds for an account in the store, else
//   Status_InteractionRequired.
// - ReadAccountByIdAsync finds an account by id, else no account and Status_AccountNotFound;
//   DiscoverAccountsAsync lists the store; SignOutSilentlyAsync removes the account from the store,
//   else Status_AccountNotFound.
#pragma once

#include <chrono>
#include <functional>

#include "accounts.hpp"
#include "auth_parameters.hpp"
#include "engine.hpp"

namespace vessaemu {

// Everything an operation needs, copied during the start call.
struct Request {
  Op op = Op::Count;
  AuthParametersData params;      // the sign-in and token operations
  std::u16string correlation_id;  // all
  Text account_hint;              // SignInAsync, SignInInteractivelyAsync
  Ref<AccountRecord> account;     // AcquireToken*, SignOutSilentlyAsync
  std::u16string account_id;      // ReadAccountByIdAsync
  std::u16string client_id;       // SignOutSilentlyAsync, DiscoverAccountsAsync
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// The job's delivery: builds the result for an outcome, registers it and calls the routine with
// its handle and the context value (outside every emulator lock).
std::function<void(const Outcome&)> make_delivery(Request request,
                                                  VESSARUNTIME_AUTH_COMPLETION_ROUTINE routine,
                                                  void* context);
std::function<void(const Outcome&)> make_delivery(Request request,
                                                  VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE routine,
                                                  void* context);
std::function<void(const Outcome&)> make_delivery(
    Request request, VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE routine, void* context);
std::function<void(const Outcome&)> make_delivery(
    Request request, VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE routine, void* context);

// The interactive user (a default one after a reset) and scripted cancellations.
Text interactive_user_field(AccountField field);
void set_interactive_user_field(AccountField field, Text value);
void reset_interactive_user();
// The next interactive sign-in fails with an error of this status (queued, one per call).
void cancel_next_interactive(int32_t status);
void reset_identity();

}  // namespace vessaemu
