// The identity flows (see flows.hpp): tokens, results and their delivery.
#include "flows.hpp"

#include <cstdio>
#include <type_traits>
#include <variant>

#include "json.hpp"
#include "logging.hpp"
#include "results.hpp"
#include "scenario.hpp"
#include "state.hpp"
#include "validation.hpp"

namespace vessaemu {
namespace {

AccountFields interactive_user(Identity& i) {
  std::lock_guard lock(i.mutex);
  return i.interactive;
}

std::optional<int32_t> take_cancellation(State& st, const Request& r) {
  Cancellation taken{};
  {
    std::lock_guard lock(st.identity.mutex);
    if (st.identity.cancellations.empty()) return std::nullopt;
    taken = st.identity.cancellations.front();
    st.identity.cancellations.pop_front();
  }
  if (taken.route != 0) route_taken(st, taken.route, r);
  return taken.status;
}

ErrorInfo error_of(const Request& r, int32_t status, std::string_view what) {
  return ErrorInfo{status, 0, 0, widen(std::string(full_name(r.op)) + ": " + std::string(what))};
}

std::string text_or_empty(const Text& text) {
  return text ? narrow(*text) : std::string();
}

// Tokens say what they are: unsigned (alg "none", an empty signature part, as an unsecured JWT
// has), so no service that checks tokens can take one for real. Their issuer is the authority's
// host with the account's tenant, as an application that checks `iss` expects.
constexpr const char* kJwtHeader = R"({"alg":"none","typ":"JWT"})";
constexpr const char* kPopHeader = R"({"alg":"none","typ":"pop"})";

std::string issuer(const Text& authority, const Text& tenant) {
  return https_origin(authority).value_or("https://authority.invalid") + "/" +
         text_or_empty(tenant) + "/v2.0";
}

std::string jwt(const std::string& header_json, const std::string& payload_json) {
  return base64url(header_json) + "." + base64url(payload_json) + ".";
}

// A token id no other token of this process has, so no two tokens are equal, even within a
// second of a frozen clock.
std::string token_id(State& st) {
  const uint64_t serial = ++st.token_serial;
  char text[32];
  std::snprintf(text, sizeof text, "emu-%llu", static_cast<unsigned long long>(serial));
  return text;
}

bool has_pop(const AuthParametersData& p) {
  return p.field(AuthField::PopHttpMethod).has_value();
}

std::string telemetry(const Request& r, const std::optional<ErrorInfo>& error) {
  using namespace std::chrono;
  const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - r.started).count();
  JsonObject json;
  json.add("operation", short_name(r.op)).add("correlation_id", Text(r.correlation_id));
  if (r.params.field(AuthField::ClientId)) {
    json.add("client_id", r.params.field(AuthField::ClientId));
  } else if (!r.client_id.empty()) {
    json.add("client_id", Text(r.client_id));
  }
  json.add("duration_ms", static_cast<int64_t>(elapsed));
  json.add("result", error ? "error" : "success");
  if (error) json.add("status", static_cast<int64_t>(error->status));
  return json.str();
}

// Issues a new access token and id token for the account, as of `now`, for the `granted` scopes.
CachedToken issue(State& st, const Request& r, const AccountFields& fields, int64_t now,
                  const Text& granted, std::optional<int64_t> lifetime) {
  const auto& p = r.params;
  const Text& user = fields[static_cast<int>(AccountField::UserName)];
  const Text& local = fields[static_cast<int>(AccountField::LocalAccountId)];
  const Text& realm = fields[static_cast<int>(AccountField::Realm)];
  const Text& name = fields[static_cast<int>(AccountField::DisplayName)];
  const int64_t expires_at = now + lifetime.value_or(st.settings.access_token_lifetime.load());
  auto identity_claims = [&](JsonObject& claims) {
    claims.add("aud", p.field(AuthField::ClientId))
        .add("iss", issuer(p.field(AuthField::Authority), realm))
        .add("iat", now)
        .add("nbf", now)
        .add("exp", expires_at)
        .add("sub", local)
        .add("oid", local)
        .add("tid", realm)
        .add("preferred_username", user)
        .add("name", name)
        .add("jti", token_id(st));
  };
  JsonObject access;
  identity_claims(access);
  access.add("scp", text_or_empty(granted)).add("correlation_id", Text(r.correlation_id));
  if (p.field(AuthField::Claims)) access.add("claims", p.field(AuthField::Claims));
  JsonObject id;
  identity_claims(id);
  id.add("ver", "2.0");
  return CachedToken{p.field(AuthField::ClientId), granted, jwt(kJwtHeader, access.str()),
                     jwt(kJwtHeader, id.str()), expires_at};
}

// What an auth flow comes to: the signed-in account with its token, or the error it answers.
struct SignedIn {
  Ref<AccountRecord> account;
  CachedToken token;
};
using AuthOutcome = std::variant<SignedIn, ErrorInfo>;

// What a flow runs with: the state, the request, and the scopes a scripted partial grant gives
// instead of those requested, with the rest of a scripted success.
struct Flow {
  State& st;
  const Request& r;
  const Text& granted;
  const Outcome& scripted;
};

// The cached token while it is valid for longer than the refresh margin and nobody asked for a
// new one; else a new one, cached.
SignedIn token_for(const Flow& f, Ref<AccountRecord> account, const AccountFields& fields,
                   int64_t now, bool may_reuse) {
  const auto& p = f.r.params;
  if (may_reuse && !p.field(AuthField::Claims) && !f.scripted.expires_in) {
    auto cached =
        reusable_token(f.st, *account, p.field(AuthField::ClientId), p.field(AuthField::Scopes));
    const Text& renew = p.field(AuthField::AccessTokenToRenew);
    if (cached && !(renew && narrow(*renew) == cached->access_token)) {
      return SignedIn{std::move(account), std::move(*cached)};
    }
  }
  CachedToken token =
      issue(f.st, f.r, fields, now, f.granted ? f.granted : p.field(AuthField::Scopes),
            f.scripted.expires_in);
  cache_token(f.st, *account, token);
  return SignedIn{std::move(account), std::move(token)};
}

AuthOutcome silent(const Flow& f, const Ref<AccountRecord>& given) {
  const Request& r = f.r;
  Ref<AccountRecord> account = given ? resolve_account(f.st.store, *given) : nullptr;
  if (account && !known_to(f.st, *account, r.params.field(AuthField::ClientId))) account = nullptr;
  if (!account) {
    return error_of(r, kStatusInteractionRequired,
                    "the account is not signed in; an interactive sign-in is required");
  }
  const AccountView seen = view(f.st.store, *account);
  const int64_t now = f.st.clock.now();
  switch (seen.state) {
    case AccountState::InteractionRequired:
      return error_of(r, kStatusInteractionRequired,
                      "the account needs an interactive sign-in (state interaction_required)");
    case AccountState::Unusable:
      return error_of(r, kStatusAccountUnusable, "the account cannot be used (state unusable)");
    case AccountState::AccountSwitch:
      return error_of(r, kStatusAccountSwitch,
                      "the user switched to another account (state account_switch)");
    default:
      break;
  }
  if (now >= seen.refresh_expires_at) {
    return error_of(r, kStatusInteractionRequired,
                    "the refresh credential expired at " + std::to_string(seen.refresh_expires_at) +
                        "; an interactive sign-in is required");
  }
  return token_for(f, std::move(account), seen.fields, now, true);
}

// Who the prompt signs in: the account chosen for it (the operation's own, or the one a sign-in
// could not sign in silently), the listed account or the interactive user the hint names, a new
// user of that name, or (with neither) the interactive user.
AccountFields prompted_user(State& st, const Request& r, const Ref<AccountRecord>& chosen) {
  if (chosen) return view(st.store, *chosen).fields;
  const Text& hint = r.account_hint;
  if (!hint || hint->empty()) return interactive_user(st.identity);
  // Listed or signed out: the user keeps the one account.
  if (auto known = find_user(st.store, *hint)) return view(st.store, *known).fields;
  AccountFields configured = interactive_user(st.identity);
  if (answers_to(configured, *hint)) return configured;
  return new_user(st.store, *hint);
}

// The user with these properties signs in: stored, ready, with a fresh refresh credential.
AuthOutcome sign_in_user(const Flow& f, const AccountFields& fields) {
  const Request& r = f.r;
  const int64_t now = f.st.clock.now();
  auto account =
      sign_in_account(f.st.store, fields, now + f.st.settings.refresh_credential_lifetime.load(),
                      r.params.field(AuthField::ClientId));
  if (!account) {
    return error_of(r, kStatusAccountUnusable, "the account cannot be used (state unusable)");
  }
  return token_for(f, std::move(account), fields, now, false);
}

AuthOutcome interactive(const Flow& f, const Ref<AccountRecord>& chosen) {
  const Request& r = f.r;
  if (auto status = take_cancellation(f.st, r)) {
    return error_of(r, *status,
                    *status == kStatusUserCanceled ? "the user cancelled the interactive sign-in"
                                                   : "the interactive sign-in failed");
  }
  return sign_in_user(f, prompted_user(f.st, r, chosen));
}

// A success replayed as scripted: the named stored account signs in, as a prompt for it would.
AuthOutcome scripted_sign_in(const Flow& f, const std::u16string& named) {
  const auto account = find_named_account(f.st.store, named);
  if (!account) {
    return error_of(f.r, kStatusAccountNotFound,
                    "the scripted account " + narrow(named) + " is no longer stored");
  }
  return sign_in_user(f, view(f.st.store, *account).fields);
}

AuthOutcome run_auth_flow(const Flow& f) {
  const Request& r = f.r;
  if (auto why = refusal(r)) return error_of(r, kStatusIncorrectConfiguration, *why);
  const Text& authority = r.params.field(AuthField::Authority);
  if (!authority_trusted(f.st.identity, *authority)) {
    return error_of(r, kStatusAuthorityUntrusted,
                    "the authority " + narrow(*authority) + " is not trusted");
  }
  if (f.scripted.signs_in) return scripted_sign_in(f, *f.scripted.signs_in);
  const Text& client = r.params.field(AuthField::ClientId);
  switch (r.op) {
    case Op::SignInSilentlyAsync:
      if (auto known = find_known_account(f.st, std::nullopt, client)) return silent(f, known);
      return error_of(r, kStatusInteractionRequired,
                      "no account is signed in; an interactive sign-in is required");
    case Op::SignInAsync: {
      auto known = find_known_account(f.st, r.account_hint, client);
      if (known) {
        AuthOutcome outcome = silent(f, known);
        const auto* error = std::get_if<ErrorInfo>(&outcome);
        if (error == nullptr || error->status != kStatusInteractionRequired) return outcome;
      }
      return interactive(f, known);
    }
    case Op::AcquireTokenSilentlyAsync:
      return silent(f, r.account);
    default:  // SignInInteractivelyAsync, AcquireTokenInteractivelyAsync
      return interactive(f, r.account);
  }
}

Ref<AuthResultObject> signed_in(State& st, const Request& r, const SignedIn& done) {
  const auto& p = r.params;
  auto result = make_ref<AuthResultObject>();
  result->account = done.account;
  result->access_token = widen(done.token.access_token);
  result->id_token = widen(done.token.id_token);
  result->raw_id_token = result->id_token;
  result->granted_scopes = done.token.scopes;
  result->expiry = done.token.expires_at;
  if (has_pop(p)) {
    // A request that binds the token to one HTTP request, as proof of possession.
    JsonObject request;
    request.add("at", done.token.access_token)
        .add("m", p.field(AuthField::PopHttpMethod))
        .add("u", p.field(AuthField::PopUriHost))
        .add("p", p.field(AuthField::PopUriPath))
        .add("nonce", p.field(AuthField::PopNonce))
        .add("ts", st.clock.now());
    result->authorization_header = widen("PoP " + jwt(kPopHeader, request.str()));
    result->is_pop = 1;
  } else {
    result->authorization_header = widen("Bearer " + done.token.access_token);
  }
  result->telemetry = widen(telemetry(r, std::nullopt));
  return result;
}

std::string with_correlation(const Request& r, std::string_view what) {
  return std::string(short_name(r.op)) + " (correlation id " + narrow(r.correlation_id) + ") " +
         std::string(what);
}

void log_error(State& st, const Request& r, const ErrorInfo& error) {
  if (!logging_wanted(st)) return;
  char status[48];
  std::snprintf(status, sizeof status, "completed with an error: status %d",
                static_cast<int>(error.status));
  std::string line = with_correlation(r, status);
  if (error.context) line += ": " + narrow(*error.context);
  log(st, completion_level(error.status), line);
}

void log_account(State& st, const Request& r, const char* what, const Ref<AccountRecord>& account) {
  if (!logging_wanted(st)) return;
  const Text user =
      account ? account_field(st.store, *account, AccountField::UserName) : std::nullopt;
  log(st, kLogInfo,
      with_correlation(
          r, std::string("completed: ") + what + " " + pii(st, user ? *user : std::u16string())));
}

// A result of any kind with its error (none for success) and telemetry.
template <class R>
Ref<R> finished(const Request& r, const std::optional<ErrorInfo>& error) {
  auto result = make_ref<R>();
  result->error = error;
  result->telemetry = widen(telemetry(r, error));
  return result;
}

// The operations other than the five auth flows: the refusal of a malformed request, if any.
template <class R>
Ref<R> refused(State& st, const Request& r) {
  const auto why = refusal(r);
  if (!why) return nullptr;
  const ErrorInfo error = error_of(r, kStatusIncorrectConfiguration, *why);
  log_error(st, r, error);
  return finished<R>(r, error);
}

Ref<AuthResultObject> normal_result(State& st, const Request& r, const Outcome& scripted,
                                    AuthResultObject*) {
  AuthOutcome outcome = run_auth_flow(Flow{st, r, scripted.granted_scopes, scripted});
  if (auto* error = std::get_if<ErrorInfo>(&outcome)) {
    log_error(st, r, *error);
    return finished<AuthResultObject>(r, *error);
  }
  const auto& done = std::get<SignedIn>(outcome);
  const bool token =
      r.op == Op::AcquireTokenSilentlyAsync || r.op == Op::AcquireTokenInteractivelyAsync;
  log_account(st, r, token ? "token acquired for" : "signed in", done.account);
  return signed_in(st, r, done);
}

Ref<ReadAccountResultObject> normal_result(State& st, const Request& r, const Outcome&,
                                           ReadAccountResultObject*) {
  if (auto result = refused<ReadAccountResultObject>(st, r)) return result;
  if (auto account = find_account_by_id(st.store, r.account_id)) {
    log_account(st, r, "read", account);
    auto result = finished<ReadAccountResultObject>(r, std::nullopt);
    result->account = std::move(account);
    return result;
  }
  const ErrorInfo error = error_of(r, kStatusAccountNotFound, "no account has that id");
  log_error(st, r, error);
  return finished<ReadAccountResultObject>(r, error);
}

Ref<SignOutResultObject> normal_result(State& st, const Request& r, const Outcome&,
                                       SignOutResultObject*) {
  if (auto result = refused<SignOutResultObject>(st, r)) return result;
  Ref<AccountRecord> account = r.account ? resolve_account(st.store, *r.account) : nullptr;
  if (account && sign_out_record(st, *account, Text(r.client_id))) {
    log_account(st, r, "signed out", account);
    return finished<SignOutResultObject>(r, std::nullopt);
  }
  const ErrorInfo error =
      error_of(r, kStatusAccountNotFound, "the account is not signed in (not in the store)");
  log_error(st, r, error);
  return finished<SignOutResultObject>(r, error);
}

Ref<DiscoverAccountsResultObject> normal_result(State& st, const Request& r, const Outcome&,
                                                DiscoverAccountsResultObject*) {
  if (auto result = refused<DiscoverAccountsResultObject>(st, r)) return result;
  auto result = finished<DiscoverAccountsResultObject>(r, std::nullopt);
  for (auto& account : all_accounts(st.store)) {
    if (known_to(st, *account, Text(r.client_id))) result->accounts.push_back(std::move(account));
  }
  if (logging_wanted(st)) {
    const size_t count = result->accounts.size();
    log(st, kLogInfo,
        with_correlation(r, "completed: " + std::to_string(count) +
                                (count == 1 ? " account" : " accounts") + " discovered"));
  }
  return result;
}

template <class R>
struct ResultHandle;
template <>
struct ResultHandle<AuthResultObject> {
  using type = VESSARUNTIME_AUTH_RESULT_HANDLE;
};
template <>
struct ResultHandle<SignOutResultObject> {
  using type = VESSARUNTIME_SIGNOUT_RESULT_HANDLE;
};
template <>
struct ResultHandle<ReadAccountResultObject> {
  using type = VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE;
};
template <>
struct ResultHandle<DiscoverAccountsResultObject> {
  using type = VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE;
};

// Builds the result and hands it to the routine, which owns the handle from then on. Not
// noexcept: the host may end this thread inside the routine.
template <class R, class Routine>
void deliver(State& st, const Request& r, Routine routine, void* context, const Outcome& given) {
  using Handle = typename ResultHandle<R>::type;
  Outcome outcome = given;
  if (auto scripted = take_scripted_outcome(st, r, given.kind == Outcome::Kind::Normal)) {
    outcome = std::move(*scripted);
    log(st, kLogDebug, with_correlation(r, "completes as scripted"));
  }
  Ref<R> result;
  switch (outcome.kind) {
    case Outcome::Kind::Normal:
      result = normal_result(st, r, outcome, static_cast<R*>(nullptr));
      break;
    case Outcome::Kind::Error:
      log_error(st, r, outcome.error);
      result = finished<R>(r, outcome.error);
      break;
    case Outcome::Kind::NullResult:
      log(st, kLogWarning, with_correlation(r, "completed without a result (scripted)"));
      break;
  }
  std::optional<int32_t> status;
  if (result && result->error) status = result->error->status;
  request_completed(st, r.history_id, status);
  const Handle handle =
      result ? as_handle<Handle>(register_result(st.registry, std::move(result))) : nullptr;
  routine(handle, context);
}

template <class R, class Routine>
std::function<void(const Outcome&)> delivery(State& st, Request request, Routine routine,
                                             void* context) {
  return [&st, request = std::move(request), routine, context](const Outcome& outcome) {
    deliver<R>(st, request, routine, context, outcome);
  };
}

}  // namespace

std::function<void(const Outcome&)> make_delivery(State& st, Request request,
                                                  VESSARUNTIME_AUTH_COMPLETION_ROUTINE routine,
                                                  void* context) {
  return delivery<AuthResultObject>(st, std::move(request), routine, context);
}
std::function<void(const Outcome&)> make_delivery(State& st, Request request,
                                                  VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE routine,
                                                  void* context) {
  return delivery<SignOutResultObject>(st, std::move(request), routine, context);
}
std::function<void(const Outcome&)> make_delivery(
    State& st, Request request, VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE routine,
    void* context) {
  return delivery<ReadAccountResultObject>(st, std::move(request), routine, context);
}
std::function<void(const Outcome&)> make_delivery(
    State& st, Request request, VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE routine,
    void* context) {
  return delivery<DiscoverAccountsResultObject>(st, std::move(request), routine, context);
}

Text interactive_user_field(Identity& i, AccountField field) {
  std::lock_guard lock(i.mutex);
  return i.interactive[static_cast<int>(field)];
}

void set_interactive_user_field(Identity& i, AccountField field, Text value) {
  std::lock_guard lock(i.mutex);
  i.interactive[static_cast<int>(field)] = std::move(value);
}

void reset_interactive_user(Identity& i) {
  auto fields = default_interactive_user();
  std::lock_guard lock(i.mutex);
  i.interactive = std::move(fields);
}

void cancel_next_interactive(Identity& i, int32_t status, bool optional, uint64_t route) {
  std::lock_guard lock(i.mutex);
  i.cancellations.push_back(Cancellation{status, optional, route});
}

CachedToken issue_token(State& st, const AccountFields& fields, const Text& client_id,
                        const Text& scopes, int64_t expires_in) {
  Request r;
  r.op = Op::AcquireTokenSilentlyAsync;
  r.params.fields[static_cast<int>(AuthField::ClientId)] = client_id;
  r.params.fields[static_cast<int>(AuthField::Scopes)] = scopes;
  return issue(st, r, fields, st.clock.now(), scopes, expires_in);
}

std::vector<std::string> pending_cancellations(Identity& i) {
  std::vector<std::string> pending;
  std::lock_guard lock(i.mutex);
  for (const auto& cancellation : i.cancellations) {
    if (cancellation.optional) continue;
    pending.push_back("cancel_next_interactive: the next interactive sign-in fails with status " +
                      std::to_string(cancellation.status));
  }
  return pending;
}

void set_authority_trusted(Identity& i, std::u16string_view authority, bool trusted) {
  std::u16string normal = normal_authority(authority);
  std::lock_guard lock(i.mutex);
  if (trusted) {
    i.untrusted.erase(normal);
  } else {
    i.untrusted.insert(std::move(normal));
  }
}

bool authority_trusted(Identity& i, std::u16string_view authority) {
  const std::u16string normal = normal_authority(authority);
  std::lock_guard lock(i.mutex);
  return !i.untrusted.contains(normal);
}

void Identity::reset() {
  auto fields = default_interactive_user();
  std::lock_guard lock(mutex);
  interactive = std::move(fields);
  cancellations.clear();
  untrusted.clear();
}

}  // namespace vessaemu
