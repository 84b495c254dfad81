// The identity flows behind the eight start operations: what each one does with the identity
// store and the result it completes with.
//
// - The silent path (SignInSilentlyAsync, AcquireTokenSilentlyAsync, and SignInAsync for a known
//   account) needs a listed account that is ready and whose refresh credential has not expired
//   (else Status_InteractionRequired, or the status of its state); it answers the cached access
//   token while that is valid and renews it otherwise, or when a claims challenge or the token to
//   renew asks for a new one.
// - The interactive path (SignInInteractivelyAsync, AcquireTokenInteractivelyAsync, SignInAsync
//   when the silent one cannot go on) signs in the account it was given, else the account or
//   user its hint names, else the interactive user, unless a scripted cancellation answers an
//   error instead (Status_UserCanceled by default); the account is stored, ready, with a fresh
//   refresh credential.
// - ReadAccountByIdAsync finds an account by id, else no account and Status_AccountNotFound;
//   DiscoverAccountsAsync lists the store; SignOutSilentlyAsync removes the account from the store,
//   else Status_AccountNotFound.
//
// Before any of this, a scripted outcome that matches the request (scenario.hpp) replaces what
// the operation would have done. Every started operation is kept in the request history.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "accounts.hpp"
#include "auth_parameters.hpp"
#include "engine.hpp"

namespace vessaemu {

struct State;

// Everything an operation needs, copied during the start call.
struct Request {
  Op op = Op::Count;
  AuthParametersData params;      // the sign-in and token operations
  std::u16string correlation_id;  // all
  Text account_hint;              // SignInAsync, SignInInteractivelyAsync
  Ref<AccountRecord> account;     // AcquireToken*, SignOutSilentlyAsync
  std::u16string account_id;      // ReadAccountByIdAsync
  std::u16string client_id;       // SignOutSilentlyAsync, DiscoverAccountsAsync
  uint64_t history_id = 0;        // its entry in the request history
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  // The parent window: SignInAsync, SignInInteractivelyAsync, AcquireTokenInteractivelyAsync.
  std::optional<uint64_t> window;
};

// The job's delivery: builds the result for an outcome on the state it was started on, registers
// it and calls the routine with its handle and the context value (outside every emulator lock).
std::function<void(const Outcome&)> make_delivery(State& st, Request request,
                                                  VESSARUNTIME_AUTH_COMPLETION_ROUTINE routine,
                                                  void* context);
std::function<void(const Outcome&)> make_delivery(State& st, Request request,
                                                  VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE routine,
                                                  void* context);
std::function<void(const Outcome&)> make_delivery(
    State& st, Request request, VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE routine,
    void* context);
std::function<void(const Outcome&)> make_delivery(
    State& st, Request request, VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE routine,
    void* context);

// A token as the flows issue one, for the client and scopes, valid `expires_in` seconds from now:
// what a scenario's "tokens" seed the cache with.
CachedToken issue_token(State& st, const AccountFields& fields, const Text& client_id,
                        const Text& scopes, int64_t expires_in);

// A scripted cancellation of the next prompt; `optional` ones may go unused.
struct Cancellation {
  int32_t status;
  bool optional;
  uint64_t route = 0;  // its route id (scenario.hpp), if it has one
};

// The identity's part of the emulator's state (state.hpp): the interactive user (a default one
// after a reset), scripted cancellations and the authorities scripted as untrusted (in the form
// of normal_authority), guarded by `mutex`.
struct Identity {
  std::mutex mutex;
  AccountFields interactive = default_interactive_user();
  std::deque<Cancellation> cancellations;
  std::unordered_set<std::u16string> untrusted;

  void reset();
};

Text interactive_user_field(Identity& i, AccountField field);
void set_interactive_user_field(Identity& i, AccountField field, Text value);
void reset_interactive_user(Identity& i);
// The next interactive sign-in fails with an error of this status (queued, one per call).
void cancel_next_interactive(Identity& i, int32_t status, bool optional, uint64_t route = 0);
// The cancellations not taken yet (but optional ones), described for a test's report.
std::vector<std::string> pending_cancellations(Identity& i);
// Token operations for an untrusted authority complete with Status_AuthorityUntrusted (11).
void set_authority_trusted(Identity& i, std::u16string_view authority, bool trusted);
bool authority_trusted(Identity& i, std::u16string_view authority);

}  // namespace vessaemu
