// The identity flows (see flows.hpp): tokens, results and their delivery.
#include "flows.hpp"

#include <array>
#include <cstdio>
#include <deque>
#include <mutex>
#include <type_traits>
#include <variant>

#include "json.hpp"
#include "logging.hpp"
#include "results.hpp"

namespace vessaemu {
namespace {

constexpr int64_t kTokenLifetime = 3600;  // seconds

struct Identity {
  std::mutex mutex;
  AccountFields interactive = default_interactive_user();
  std::deque<int32_t> cancellations;
};

// Never destroyed: workers may still complete operations while the process exits.
Identity& identity() {
  static Identity* instance = new Identity();
  return *instance;
}

AccountFields interactive_user() {
  Identity& i = identity();
  std::lock_guard lock(i.mutex);
  return i.interactive;
}

std::optional<int32_t> take_cancellation() {
  Identity& i = identity();
  std::lock_guard lock(i.mutex);
  if (i.cancellations.empty()) return std::nullopt;
  const int32_t status = i.cancellations.front();
  i.cancellations.pop_front();
  return status;
}

ErrorInfo error_of(const Request& r, int32_t status, std::string_view what) {
  return ErrorInfo{status, 0, 0, widen(std::string(full_name(r.op)) + ": " + std::string(what))};
}

std::string text_or_empty(const Text& text) {
  return text ? narrow(*text) : std::string();
}

// The precise clock: std::time may read a coarse one that lags a second boundary by a tick, so a
// token could be issued before a time its caller read just before asking.
int64_t unix_now() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

// A signature-shaped third part: 32 bytes that depend on the signed text, so tokens differ.
std::string signature(const std::string& signed_part) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a, stretched over four rounds
  std::string bytes;
  for (int round = 0; round < 4; ++round) {
    for (const char c : signed_part) {
      h ^= static_cast<unsigned char>(c);
      h *= 1099511628211ull;
    }
    h ^= static_cast<uint64_t>(round);
    for (int k = 0; k < 8; ++k) bytes += static_cast<char>((h >> (8 * k)) & 0xFF);
  }
  return base64url(bytes);
}

std::string jwt(const std::string& header_json, const std::string& payload_json) {
  std::string signed_part = base64url(header_json) + "." + base64url(payload_json);
  return signed_part + "." + signature(signed_part);
}

constexpr const char* kJwtHeader = R"({"alg":"RS256","typ":"JWT"})";
constexpr const char* kPopHeader = R"({"alg":"RS256","typ":"pop"})";

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

// What an auth flow comes to: the signed-in account, or the error it answers.
using AuthOutcome = std::variant<Ref<AccountRecord>, ErrorInfo>;

AuthOutcome interactive_sign_in(const Request& r) {
  if (auto status = take_cancellation()) {
    return error_of(r, *status,
                    *status == kStatusUserCanceled ? "the user cancelled the interactive sign-in"
                                                   : "the interactive sign-in failed");
  }
  return store_account(interactive_user());
}

AuthOutcome run_auth_flow(const Request& r) {
  switch (r.op) {
    case Op::SignInSilentlyAsync:
      if (auto known = find_known_account(std::nullopt)) return known;
      return error_of(r, kStatusInteractionRequired,
                      "no account is signed in; an interactive sign-in is required");
    case Op::SignInAsync:
      if (auto known = find_known_account(r.account_hint)) return known;
      return interactive_sign_in(r);
    case Op::AcquireTokenSilentlyAsync:
      if (r.account && is_stored(*r.account)) return r.account;
      return error_of(r, kStatusInteractionRequired,
                      "the account is not signed in; an interactive sign-in is required");
    default:  // SignInInteractivelyAsync, AcquireTokenInteractivelyAsync
      return interactive_sign_in(r);
  }
}

Ref<AuthResultObject> signed_in(const Request& r, const Ref<AccountRecord>& account) {
  const auto& p = r.params;
  const int64_t now = unix_now();
  const Text user = account_field(*account, AccountField::UserName);
  const Text local = account_field(*account, AccountField::LocalAccountId);
  const Text realm = account_field(*account, AccountField::Realm);
  const Text name = account_field(*account, AccountField::DisplayName);
  const Text& client = p.field(AuthField::ClientId);
  const Text& authority = p.field(AuthField::Authority);
  const Text& scopes = p.field(AuthField::Scopes);

  auto identity_claims = [&](JsonObject& claims) {
    claims.add("aud", client).add("iss", authority).add("iat", now).add("nbf", now);
    claims.add("exp", now + kTokenLifetime).add("sub", local).add("oid", local);
    claims.add("tid", realm).add("preferred_username", user).add("name", name);
  };
  JsonObject access;
  identity_claims(access);
  access.add("scp", text_or_empty(scopes)).add("correlation_id", Text(r.correlation_id));
  JsonObject id;
  identity_claims(id);
  id.add("ver", "2.0");

  auto result = make_ref<AuthResultObject>();
  result->account = account;
  const std::string access_token = jwt(kJwtHeader, access.str());
  result->access_token = widen(access_token);
  result->id_token = widen(jwt(kJwtHeader, id.str()));
  result->raw_id_token = result->id_token;
  result->granted_scopes = scopes;
  result->expiry = now + kTokenLifetime;
  if (has_pop(p)) {
    // A signed request that binds the token to one HTTP request, as proof of possession.
    JsonObject request;
    request.add("at", access_token)
        .add("m", p.field(AuthField::PopHttpMethod))
        .add("u", p.field(AuthField::PopUriHost))
        .add("p", p.field(AuthField::PopUriPath))
        .add("nonce", p.field(AuthField::PopNonce))
        .add("ts", now);
    result->authorization_header = widen("PoP " + jwt(kPopHeader, request.str()));
    result->is_pop = 1;
  } else {
    result->authorization_header = widen("Bearer " + access_token);
  }
  result->telemetry = widen(telemetry(r, std::nullopt));
  return result;
}

std::string with_correlation(const Request& r, std::string_view what) {
  return std::string(short_name(r.op)) + " (correlation id " + narrow(r.correlation_id) + ") " +
         std::string(what);
}

void log_error(const Request& r, const ErrorInfo& error) {
  if (!logging_wanted()) return;
  char status[48];
  std::snprintf(status, sizeof status, "completed with an error: status %d",
                static_cast<int>(error.status));
  std::string line = with_correlation(r, status);
  if (error.context) line += ": " + narrow(*error.context);
  log(kLogWarning, line);
}

void log_account(const Request& r, const char* what, const Ref<AccountRecord>& account) {
  if (!logging_wanted()) return;
  const Text user = account ? account_field(*account, AccountField::UserName) : std::nullopt;
  log(kLogInfo, with_correlation(r, std::string("completed: ") + what + " " +
                                        pii(user ? *user : std::u16string())));
}

// A result of any kind with its error (none for success) and telemetry.
template <class R>
Ref<R> finished(const Request& r, const std::optional<ErrorInfo>& error) {
  auto result = make_ref<R>();
  result->error = error;
  result->telemetry = widen(telemetry(r, error));
  return result;
}

Ref<AuthResultObject> normal_result(const Request& r, AuthResultObject*) {
  AuthOutcome outcome = run_auth_flow(r);
  if (auto* error = std::get_if<ErrorInfo>(&outcome)) {
    log_error(r, *error);
    return finished<AuthResultObject>(r, *error);
  }
  const auto& account = std::get<Ref<AccountRecord>>(outcome);
  log_account(r, "signed in", account);
  return signed_in(r, account);
}

Ref<ReadAccountResultObject> normal_result(const Request& r, ReadAccountResultObject*) {
  if (auto account = find_account_by_id(r.account_id)) {
    log_account(r, "read", account);
    auto result = finished<ReadAccountResultObject>(r, std::nullopt);
    result->account = std::move(account);
    return result;
  }
  const ErrorInfo error = error_of(r, kStatusAccountNotFound, "no account has that id");
  log_error(r, error);
  return finished<ReadAccountResultObject>(r, error);
}

Ref<SignOutResultObject> normal_result(const Request& r, SignOutResultObject*) {
  if (r.account && remove_record(*r.account)) {
    log_account(r, "signed out", r.account);
    return finished<SignOutResultObject>(r, std::nullopt);
  }
  const ErrorInfo error =
      error_of(r, kStatusAccountNotFound, "the account is not signed in (not in the store)");
  log_error(r, error);
  return finished<SignOutResultObject>(r, error);
}

Ref<DiscoverAccountsResultObject> normal_result(const Request& r, DiscoverAccountsResultObject*) {
  auto result = finished<DiscoverAccountsResultObject>(r, std::nullopt);
  result->accounts = all_accounts();
  if (logging_wanted()) {
    log(kLogInfo, with_correlation(r, "completed: " + std::to_string(result->accounts.size()) +
                                          " accounts discovered"));
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
void deliver(const Request& r, Routine routine, void* context, const Outcome& outcome) {
  using Handle = typename ResultHandle<R>::type;
  Handle handle = nullptr;
  switch (outcome.kind) {
    case Outcome::Kind::Normal:
      handle = as_handle<Handle>(register_result(normal_result(r, static_cast<R*>(nullptr))));
      break;
    case Outcome::Kind::Error:
      log_error(r, outcome.error);
      handle = as_handle<Handle>(register_result(finished<R>(r, outcome.error)));
      break;
    case Outcome::Kind::NullResult:
      log(kLogWarning, with_correlation(r, "completed without a result (scripted)"));
      break;
  }
  routine(handle, context);
}

template <class R, class Routine>
std::function<void(const Outcome&)> delivery(Request request, Routine routine, void* context) {
  return [request = std::move(request), routine, context](const Outcome& outcome) {
    deliver<R>(request, routine, context, outcome);
  };
}

}  // namespace

std::function<void(const Outcome&)> make_delivery(Request request,
                                                  VESSARUNTIME_AUTH_COMPLETION_ROUTINE routine,
                                                  void* context) {
  return delivery<AuthResultObject>(std::move(request), routine, context);
}
std::function<void(const Outcome&)> make_delivery(Request request,
                                                  VESSARUNTIME_SIGNOUT_COMPLETION_ROUTINE routine,
                                                  void* context) {
  return delivery<SignOutResultObject>(std::move(request), routine, context);
}
std::function<void(const Outcome&)> make_delivery(
    Request request, VESSARUNTIME_READ_ACCOUNT_COMPLETION_ROUTINE routine, void* context) {
  return delivery<ReadAccountResultObject>(std::move(request), routine, context);
}
std::function<void(const Outcome&)> make_delivery(
    Request request, VESSARUNTIME_DISCOVER_ACCOUNTS_COMPLETION_ROUTINE routine, void* context) {
  return delivery<DiscoverAccountsResultObject>(std::move(request), routine, context);
}

Text interactive_user_field(AccountField field) {
  Identity& i = identity();
  std::lock_guard lock(i.mutex);
  return i.interactive[static_cast<int>(field)];
}

void set_interactive_user_field(AccountField field, Text value) {
  Identity& i = identity();
  std::lock_guard lock(i.mutex);
  i.interactive[static_cast<int>(field)] = std::move(value);
}

void reset_interactive_user() {
  auto fields = default_interactive_user();
  Identity& i = identity();
  std::lock_guard lock(i.mutex);
  i.interactive = std::move(fields);
}

void cancel_next_interactive(int32_t status) {
  Identity& i = identity();
  std::lock_guard lock(i.mutex);
  i.cancellations.push_back(status);
}

void reset_identity() {
  reset_interactive_user();
  Identity& i = identity();
  std::lock_guard lock(i.mutex);
  i.cancellations.clear();
}

}  // namespace vessaemu
