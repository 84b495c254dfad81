// Scripted outcomes and scenario documents (see scenario.hpp).
#include "scenario.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unordered_set>

#include "accounts.hpp"
#include "errors.hpp"
#include "flows.hpp"
#include "json.hpp"
#include "logging.hpp"
#include "state.hpp"
#include "validation.hpp"

namespace vessaemu {
namespace {

// The stored account a request is about, if any (see Target::account).
Ref<AccountRecord> account_of(State& st, const Request& r) {
  if (r.account) return r.account;
  const bool hinted = r.account_hint && !r.account_hint->empty();
  switch (r.op) {
    case Op::SignInSilentlyAsync:
      return find_known_account(st, std::nullopt);
    case Op::SignInAsync:
      return find_known_account(st, r.account_hint);
    case Op::SignInInteractivelyAsync:
      return hinted ? find_known_account(st, r.account_hint) : nullptr;
    case Op::ReadAccountByIdAsync:
      return find_account_by_id(st.store, r.account_id);
    default:
      return nullptr;
  }
}

bool account_matches(State& st, const std::u16string& wanted, const Request& r) {
  if (auto record = account_of(st, r)) {
    if (record->key == wanted || answers_to(view(st.store, *record).fields, wanted)) return true;
  }
  return r.account_hint && equal_ignoring_case(*r.account_hint, wanted);
}

bool has_scope(const std::u16string& requested, const std::u16string& scope) {
  size_t start = 0;
  while (start <= requested.size()) {
    size_t end = requested.find(u' ', start);
    if (end == std::u16string::npos) end = requested.size();
    if (requested.compare(start, end - start, scope) == 0) return true;
    start = end + 1;
  }
  return false;
}

bool scopes_agree(const Target& t, const Request& r) {
  const Text& requested = r.params.field(AuthField::Scopes);
  for (const auto& scope : t.scopes) {
    if (!requested || !has_scope(*requested, scope)) return false;
  }
  return true;
}

bool claims_agree(const Target& t, const Request& r) {
  const Text& requested = r.params.field(AuthField::Claims);
  return requested && requested->find(*t.claims) != std::u16string::npos;
}

bool matches(State& st, const Target& t, const Request& r) {
  if (t.op ? *t.op != r.op : !is_start_operation(r.op)) return false;
  if (t.correlation_id && *t.correlation_id != r.correlation_id) return false;
  if (!t.scopes.empty() && !scopes_agree(t, r)) return false;
  if (t.claims && !claims_agree(t, r)) return false;
  return !t.account || account_matches(st, *t.account, r);
}

// How far a target that does not match agrees with the request: each part it names and the
// request has, the operation outweighing all the others.
int agreement(State& st, const Target& t, const Request& r) {
  int parts = t.op == r.op ? 8 : 0;
  if (t.correlation_id && *t.correlation_id == r.correlation_id) ++parts;
  if (!t.scopes.empty() && scopes_agree(t, r)) ++parts;
  if (t.claims && claims_agree(t, r)) ++parts;
  if (t.account && account_matches(st, *t.account, r)) ++parts;
  return parts;
}

bool may_prompt(Op op) {
  return op == Op::SignInAsync || op == Op::SignInInteractivelyAsync ||
         op == Op::AcquireTokenInteractivelyAsync;
}

bool prompt_scripted(Identity& i) {
  std::lock_guard lock(i.mutex);
  return !i.cancellations.empty();
}

// -- reading a document ------------------------------------------------------------------------

struct Fault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fault(const std::string& where, const std::string& what) {
  throw Fault(where + ": " + what);
}

std::string in_quotes(std::string_view name) {
  return "'" + std::string(name) + "'";
}

template <class Names>
std::string listed(int count, Names name) {
  std::string out;
  for (int i = 0; i < count; ++i) out += std::string(i ? ", " : "") + name(i);
  return out;
}

using JsonType = JsonValue::Type;

void expect_type(const JsonValue& v, JsonType type, const std::string& where, const char* what) {
  if (v.type != type) fault(where, std::string("expected ") + what);
}

// Each member of an object, with the name checked against `known` (a comma-separated list).
template <class Each>
void members(const JsonValue& v, const std::string& where, const std::string& known, Each each) {
  expect_type(v, JsonType::Object, where, "an object");
  for (size_t i = 0; i < v.keys.size(); ++i) {
    const std::string& key = v.keys[i];
    if (!each(key, v.items[i], where + "." + key)) {
      fault(where, "unknown member " + in_quotes(key) + "; expected one of: " + known);
    }
  }
}

int64_t integer(const JsonValue& v, const std::string& where, int64_t low, int64_t high) {
  const int64_t value = v.integer;
  if (v.type != JsonType::Integer) fault(where, "expected a whole number");
  if (value < low || value > high) {
    fault(where, std::to_string(value) + " is out of range (" + std::to_string(low) + " to " +
                     std::to_string(high) + ")");
  }
  return value;
}

constexpr int64_t kInt32Min = -2147483647 - 1;
constexpr int64_t kInt32Max = 2147483647;

Text text(const JsonValue& v, const std::string& where) {
  if (v.type == JsonType::Null) return std::nullopt;
  expect_type(v, JsonType::String, where, "a text or null");
  return v.string;
}

std::u16string present_text(const JsonValue& v, const std::string& where) {
  expect_type(v, JsonType::String, where, "a text");
  return v.string;
}

bool flag(const JsonValue& v, const std::string& where) {
  expect_type(v, JsonType::Bool, where, "true or false");
  return v.boolean;
}

Op start_operation(const JsonValue& v, const std::string& where) {
  const std::string name = narrow(present_text(v, where));
  const auto op = find_operation(name);
  if (!op || !is_start_operation(*op)) {
    fault(where, "unknown start operation " + in_quotes(name) +
                     "; expected one of: " + operation_names(true));
  }
  return *op;
}

int32_t status(const JsonValue& v, const std::string& where) {
  if (v.type == JsonType::Integer)
    return static_cast<int32_t>(integer(v, where, kInt32Min, kInt32Max));
  std::string name = narrow(present_text(v, where));
  const std::string bare = name.starts_with("Status_") ? name.substr(7) : name;
  for (int32_t s = 0; s < kStatusCount; ++s) {
    if (bare == status_name(s)) return s;
  }
  fault(where, "unknown status " + in_quotes(name) + "; expected a number or one of: " +
                   listed(kStatusCount, [](int i) { return status_name(i); }));
}

using Fields = std::vector<std::pair<AccountField, Text>>;

const std::string& field_names() {
  static const std::string* names = new std::string(listed(
      kAccountFieldCount, [](int i) { return account_field_name(static_cast<AccountField>(i)); }));
  return *names;
}

// An account field of an object, or false for another name.
bool account_member(const std::string& key, const JsonValue& v, const std::string& where,
                    Fields& fields) {
  const auto field = find_account_field(key);
  if (!field) return false;
  fields.emplace_back(*field, text(v, where));
  return true;
}

struct AccountSpec {
  Fields fields;
  Text key;  // the account id it was given
  std::optional<AccountState> state;
  std::optional<int64_t> refresh_expires_in;
};

AccountState account_state_of(const JsonValue& v, const std::string& where) {
  const std::string name = narrow(present_text(v, where));
  for (int s = 0; s < kAccountStateCount; ++s) {
    if (name == account_state_name(static_cast<AccountState>(s)))
      return static_cast<AccountState>(s);
  }
  fault(where, "unknown state " + in_quotes(name) +
                   "; expected one of: " + listed(kAccountStateCount, [](int i) {
                     return account_state_name(static_cast<AccountState>(i));
                   }));
}

AccountSpec account_spec(const JsonValue& v, const std::string& where) {
  AccountSpec spec;
  members(v, where, field_names() + ", state, refresh_credential_expires_in",
          [&](const std::string& key, const JsonValue& m, const std::string& at) {
            if (key == "state") {
              spec.state = account_state_of(m, at);
              return true;
            }
            if (key == "refresh_credential_expires_in") {
              spec.refresh_expires_in = integer(m, at, 0, kMaxLifetime);
              return true;
            }
            return account_member(key, m, at, spec.fields);
          });
  for (const auto& [field, value] : spec.fields) {
    if (field == AccountField::AccountId && value) spec.key = value;
  }
  return spec;
}

std::vector<std::u16string> scope_list(const JsonValue& v, const std::string& where) {
  std::vector<std::u16string> scopes;
  if (v.type == JsonType::String) {
    size_t start = 0;
    const std::u16string& s = v.string;
    while (start < s.size()) {
      size_t end = s.find(u' ', start);
      if (end == std::u16string::npos) end = s.size();
      if (end > start) scopes.push_back(s.substr(start, end - start));
      start = end + 1;
    }
    return scopes;
  }
  expect_type(v, JsonType::Array, where, "a list of scopes or a text of them");
  for (size_t i = 0; i < v.items.size(); ++i) {
    scopes.push_back(present_text(v.items[i], where + "[" + std::to_string(i) + "]"));
  }
  return scopes;
}

std::u16string joined(const std::vector<std::u16string>& scopes) {
  std::u16string text;
  for (const auto& scope : scopes) text += (text.empty() ? u"" : u" ") + scope;
  return text;
}

Rule rule_spec(const JsonValue& v, const std::string& where) {
  Rule rule;
  bool has_status = false, null_result = false, pass = false;
  std::optional<std::vector<std::u16string>> granted;
  std::optional<int64_t> expires_in;
  Text signs_in;
  ErrorInfo error;
  members(v, where,
          "operation, account, scopes, claims, correlation_id, status, code, tag, context, "
          "null_result, pass, granted_scopes, expires_in, signs_in, every_time, optional, "
          "description",
          [&](const std::string& key, const JsonValue& m, const std::string& at) {
            if (key == "operation") {
              rule.target.op = start_operation(m, at);
            } else if (key == "account") {
              rule.target.account = present_text(m, at);
            } else if (key == "scopes") {
              rule.target.scopes = scope_list(m, at);
            } else if (key == "claims") {
              rule.target.claims = present_text(m, at);
            } else if (key == "correlation_id") {
              rule.target.correlation_id = present_text(m, at);
            } else if (key == "status") {
              error.status = status(m, at);
              has_status = true;
            } else if (key == "code") {
              error.code = integer(m, at, INT64_MIN, INT64_MAX);
            } else if (key == "tag") {
              error.tag = static_cast<int32_t>(integer(m, at, kInt32Min, kInt32Max));
            } else if (key == "context") {
              error.context = text(m, at);
            } else if (key == "null_result") {
              null_result = flag(m, at);
            } else if (key == "granted_scopes") {
              granted = scope_list(m, at);
            } else if (key == "pass") {
              pass = flag(m, at);
            } else if (key == "expires_in") {
              expires_in = integer(m, at, 0, kMaxLifetime);
            } else if (key == "signs_in") {
              signs_in = present_text(m, at);
            } else if (key == "description") {
              rule.description = text(m, at);
            } else if (key == "every_time") {
              rule.every_time = flag(m, at);
            } else if (key == "optional") {
              rule.optional = flag(m, at);
            } else {
              return false;
            }
            return true;
          });
  const bool success = pass || granted || expires_in || signs_in;
  if (int(has_status) + int(null_result) + int(success) != 1) {
    fault(where,
          "needs one of a status (an error result), \"null_result\": true or a success "
          "(\"pass\": true, \"granted_scopes\", \"expires_in\", \"signs_in\"), and only one");
  }
  const auto op = rule.target.op;
  if (op && !is_token_flow(*op) && granted) {
    fault(where + ".granted_scopes", "only the five sign-in and token operations grant scopes");
  }
  if (op && !is_token_flow(*op) && expires_in) {
    fault(where + ".expires_in", "only the five sign-in and token operations issue tokens");
  }
  if (op && signs_in && (!is_token_flow(*op) || *op == Op::AcquireTokenSilentlyAsync)) {
    fault(where + ".signs_in",
          "only the sign-ins and the interactive token acquisition sign an account in");
  }
  if (success) {
    rule.outcome = Outcome{Outcome::Kind::Normal,
                           {},
                           granted ? Text(joined(*granted)) : std::nullopt,
                           expires_in,
                           signs_in};
  } else if (null_result) {
    rule.outcome = Outcome{Outcome::Kind::NullResult, {}, std::nullopt};
  } else {
    rule.outcome = Outcome::failure(error);
  }
  return rule;
}

// A cached token to seed (see scenario.hpp).
struct TokenSpec {
  std::u16string account;
  Text client_id;
  std::u16string scopes;
  int64_t expires_in = 0;
  Text access_token, id_token;
};

TokenSpec token_spec(const JsonValue& v, const std::string& where) {
  TokenSpec spec;
  bool has_account = false, has_expiry = false;
  members(v, where, "account, client_id, scopes, expires_in, access_token, id_token",
          [&](const std::string& key, const JsonValue& m, const std::string& at) {
            if (key == "account") {
              spec.account = present_text(m, at);
              has_account = true;
            } else if (key == "client_id") {
              spec.client_id = text(m, at);
            } else if (key == "scopes") {
              spec.scopes = joined(scope_list(m, at));
            } else if (key == "expires_in") {
              spec.expires_in = integer(m, at, 0, kMaxLifetime);
              has_expiry = true;
            } else if (key == "access_token" || key == "id_token") {
              (key == "access_token" ? spec.access_token : spec.id_token) = present_text(m, at);
            } else {
              return false;
            }
            return true;
          });
  if (!has_account || !has_expiry) fault(where, "needs \"account\" and \"expires_in\"");
  return spec;
}

struct Scenario {
  std::optional<int64_t> now;
  std::optional<bool> strict;
  std::vector<TokenSpec> tokens;
  std::vector<std::pair<std::string, int64_t>> settings;
  std::vector<std::pair<Op, int32_t>> latency;
  Fields interactive_user;
  std::vector<AccountSpec> accounts;
  std::vector<Rule> rules;
  std::vector<std::u16string> untrusted_authorities;
};

void read_settings(const JsonValue& v, Scenario& s) {
  members(v, "settings", std::string(Settings::names()) + ", latency_ms",
          [&](const std::string& key, const JsonValue& m, const std::string& at) {
            if (key == "latency_ms") {
              members(m, at, operation_names(true),
                      [&](const std::string& op, const JsonValue& ms, const std::string& op_at) {
                        const auto found = find_operation(op);
                        if (!found || !is_start_operation(*found)) return false;
                        s.latency.emplace_back(
                            *found, static_cast<int32_t>(integer(ms, op_at, 0, kInt32Max)));
                        return true;
                      });
              return true;
            }
            const Settings::Spec* spec = Settings::find(key);
            if (spec == nullptr) return false;
            s.settings.emplace_back(
                key, spec->flag ? int64_t{flag(m, at)} : integer(m, at, spec->low, spec->high));
            return true;
          });
}

// A reference to an account (signs_in, a token's account) names a stored one or one of the
// document, by key, account id or user name.
void expect_account(Store& store, const std::vector<AccountSpec>& accounts,
                    const std::u16string& named, const std::string& where) {
  if (find_named_account(store, named)) return;
  for (const auto& spec : accounts) {
    AccountFields fields;
    for (const auto& [field, value] : spec.fields) fields[static_cast<int>(field)] = value;
    if (answers_to(fields, named)) return;
  }
  fault(where, "no account has the key, account id or user name " + in_quotes(narrow(named)));
}

Scenario read_scenario(Store& store, const JsonValue& doc) {
  Scenario s;
  members(doc, "scenario",
          "now, settings, interactive_user, accounts, outcomes, untrusted_authorities, strict, "
          "tokens, recorded",
          [&](const std::string& key, const JsonValue& v, const std::string& where) {
            if (key == "recorded") {
              // What made a recording (pyvessaruntime.recording): for its readers, not applied.
              expect_type(v, JsonType::Object, where, "an object");
            } else if (key == "now") {
              s.now = integer(v, where, kEarliestTime, kLatestTime);
            } else if (key == "strict") {
              s.strict = flag(v, where);
            } else if (key == "untrusted_authorities") {
              expect_type(v, JsonType::Array, where, "a list of authorities");
              for (size_t i = 0; i < v.items.size(); ++i) {
                const std::string at = where + "[" + std::to_string(i) + "]";
                s.untrusted_authorities.push_back(present_text(v.items[i], at));
                if (!https_origin(s.untrusted_authorities.back())) {
                  fault(at, "not an absolute https URL");
                }
              }
            } else if (key == "settings") {
              read_settings(v, s);
            } else if (key == "interactive_user") {
              members(v, where, field_names(),
                      [&](const std::string& k, const JsonValue& m, const std::string& at) {
                        return account_member(k, m, at, s.interactive_user);
                      });
            } else if (key == "accounts" || key == "outcomes" || key == "tokens") {
              expect_type(v, JsonType::Array, where, "a list");
              for (size_t i = 0; i < v.items.size(); ++i) {
                const std::string at = where + "[" + std::to_string(i) + "]";
                if (key == "accounts") {
                  s.accounts.push_back(account_spec(v.items[i], at));
                } else if (key == "tokens") {
                  s.tokens.push_back(token_spec(v.items[i], at));
                } else {
                  s.rules.push_back(rule_spec(v.items[i], at));
                }
              }
            } else {
              return false;
            }
            return true;
          });
  // Account ids are keys: one already taken would leave the scenario half applied.
  std::unordered_set<std::u16string> seen;
  for (size_t i = 0; i < s.accounts.size(); ++i) {
    const Text& key = s.accounts[i].key;
    if (!key) continue;
    if (find_account(store, *key) || !seen.insert(*key).second) {
      fault("accounts[" + std::to_string(i) + "].account_id",
            "an account with id " + in_quotes(narrow(*key)) + " exists already");
    }
  }
  for (size_t i = 0; i < s.rules.size(); ++i) {
    const Text& named = s.rules[i].outcome.signs_in;
    if (named) expect_account(store, s.accounts, *named, "outcomes[" + std::to_string(i) + "]");
  }
  for (size_t i = 0; i < s.tokens.size(); ++i) {
    expect_account(store, s.accounts, s.tokens[i].account, "tokens[" + std::to_string(i) + "]");
  }
  return s;
}

void apply(State& st, const Scenario& s) {
  for (const auto& [name, value] : s.settings) st.settings.set(name, value);
  for (const auto& [op, ms] : s.latency) {
    st.settings.latency_ms[static_cast<int>(op)] = ms;
    st.settings.latency_used[static_cast<int>(op)] = false;
  }
  // The clock first: the refresh credentials of the accounts below start from it.
  if (s.now) st.clock.freeze(*s.now);
  for (const auto& [field, value] : s.interactive_user) {
    set_interactive_user_field(st.identity, field, value);
  }
  for (const auto& spec : s.accounts) {
    const auto record = add_account(st, spec.key);
    if (!record) continue;  // taken meanwhile by another thread
    for (const auto& [field, value] : spec.fields) {
      if (field != AccountField::AccountId || !spec.key)
        set_account_field(st.store, record->key, field, value);
    }
    if (spec.state) set_account_state(st.store, record->key, *spec.state);
    if (spec.refresh_expires_in) {
      set_refresh_expiry(st.store, record->key, st.clock.now() + *spec.refresh_expires_in);
    }
  }
  // Oldest first, as export_scenario lists them: the cache keeps its order of use.
  for (const auto& spec : s.tokens) {
    const auto record = find_named_account(st.store, spec.account);
    if (!record) continue;  // forgotten meanwhile by another thread
    const Text scopes(spec.scopes);
    CachedToken token =
        issue_token(st, view(st.store, *record).fields, spec.client_id, scopes, spec.expires_in);
    if (spec.access_token) token.access_token = narrow(*spec.access_token);
    if (spec.id_token) token.id_token = narrow(*spec.id_token);
    cache_token(st, *record, std::move(token));
  }
  if (s.strict) st.outcomes.strict.store(*s.strict, std::memory_order_release);
  for (const auto& rule : s.rules) script_outcome(st.outcomes, rule);
  for (const auto& authority : s.untrusted_authorities) {
    set_authority_trusted(st.identity, authority, false);
  }
}

// The file VESSAEMU_SCENARIO names, if it is set and not empty. Windows' narrow environment
// cannot hold every path, so there the wide one is read.
std::optional<std::filesystem::path> scenario_path() {
#ifdef _WIN32
  // _wgetenv is in every C runtime Windows ships (msvcrt.dll included); it is read once, at
  // the first start-up.
  const wchar_t* value = _wgetenv(L"VESSAEMU_SCENARIO");
  if (value == nullptr) return std::nullopt;
  std::filesystem::path path(value);
#else
  const char* value = std::getenv(kScenarioVariable);
  if (value == nullptr) return std::nullopt;
  std::filesystem::path path(value);
#endif
  if (path.empty()) return std::nullopt;
  return path;
}

// The whole file, or false with why not in `error` (no file, a directory, too big, unreadable).
bool read_file(const std::filesystem::path& path, std::string* text, std::string* error) {
  std::error_code code;
  const auto status = std::filesystem::status(path, code);
  if (code || !std::filesystem::exists(status)) {
    *error = "no such file";
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    *error = std::filesystem::is_directory(status) ? "it is a directory" : "it is not a file";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    *error = "it cannot be opened";
    return false;
  }
  // One byte past the limit tells a document that is too long, without reading it all.
  text->resize(kMaxScenarioBytes + 1);
  file.read(text->data(), static_cast<std::streamsize>(text->size()));
  if (file.bad()) {
    *error = "it cannot be read";
    return false;
  }
  text->resize(static_cast<size_t>(file.gcount()));
  return true;
}

// The control call that scripts such an outcome ("outcome" for a success only a document
// scripts).
const char* scripted_by(const Outcome& o) {
  switch (o.kind) {
    case Outcome::Kind::NullResult:
      return "null_completion";
    case Outcome::Kind::Error:
      return "fail_completion";
    default:
      return o.granted_scopes ? "grant_scopes" : o.expires_in || o.signs_in ? "outcome" : "allow";
  }
}

// The rule's kind, operation and target, as a test scripted it.
std::string describe_target(const Rule& rule) {
  std::string text = std::string(scripted_by(rule.outcome)) + ": " +
                     (rule.target.op ? python_name(*rule.target.op) : "any start operation");
  const Target& t = rule.target;
  if (t.account) text += ", account " + in_quotes(narrow(*t.account));
  if (!t.scopes.empty()) text += ", scopes " + in_quotes(narrow(joined(t.scopes)));
  if (t.claims) text += ", claims " + in_quotes(narrow(*t.claims));
  if (t.correlation_id) text += ", correlation id " + in_quotes(narrow(*t.correlation_id));
  if (rule.outcome.kind == Outcome::Kind::Error) {
    text += " (status " + std::to_string(rule.outcome.error.status) + ")";
  }
  return text;
}

std::string describe(const Rule& rule) {
  return describe_target(rule) + (rule.every_time ? ": never matched" : ": never taken");
}

// What strict mode says of a request: its operation and what a target can name.
std::string describe_request(State& st, const Request& r) {
  std::string text = python_name(r.op);
  if (const Text& scopes = r.params.field(AuthField::Scopes)) {
    text += ", scopes " + in_quotes(narrow(*scopes));
  }
  if (const auto record = account_of(st, r)) {
    const Text user = account_field(st.store, *record, AccountField::UserName);
    text += ", account " + in_quotes(narrow(user ? *user : record->key));
  } else if (r.account_hint && !r.account_hint->empty()) {
    text += ", account hint " + in_quotes(narrow(*r.account_hint));
  }
  if (const Text& claims = r.params.field(AuthField::Claims)) {
    text += ", claims " + in_quotes(narrow(*claims));
  }
  return text + ", correlation id " + in_quotes(narrow(r.correlation_id));
}

// The rule nearest to a request none matches (see agreement), untaken ones first among equals;
// the lock is held.
std::string nearest_rule(State& st, const Outcomes& o, const Request& r) {
  const Rule* nearest = nullptr;
  int best = -1;
  auto consider = [&](const Rule& rule) {
    const int parts = agreement(st, rule.target, r) * 2 + (rule.taken == 0 ? 1 : 0);
    if (parts > best) {
      best = parts;
      nearest = &rule;
    }
  };
  for (const auto& rule : o.rules) consider(rule);
  for (const auto& rule : o.spent) consider(rule);
  if (nearest == nullptr) return "no outcome is scripted";
  std::string text =
      "the nearest scripted outcome: " +
      (nearest->description ? in_quotes(narrow(*nearest->description)) : describe_target(*nearest));
  if (nearest->taken > 0 && !nearest->every_time) text += " (taken already)";
  return text;
}

}  // namespace

void Outcomes::reset() {
  std::lock_guard lock(mutex);
  rules.clear();
  spent.clear();
  uses.clear();
  unmatched.clear();
  any.store(false, std::memory_order_release);
  strict.store(false, std::memory_order_release);
}

uint64_t script_outcome(Outcomes& o, Rule rule) {
  std::lock_guard lock(o.mutex);
  rule.id = o.next_id++;
  o.uses.emplace(rule.id, 0);
  o.rules.push_back(std::move(rule));
  o.any.store(true, std::memory_order_release);
  return o.rules.back().id;
}

uint64_t new_route(Outcomes& o) {
  std::lock_guard lock(o.mutex);
  const uint64_t id = o.next_id++;
  o.uses.emplace(id, 0);
  return id;
}

void route_taken(State& st, uint64_t route, const Request& request) {
  {
    std::lock_guard lock(st.outcomes.mutex);
    const auto found = st.outcomes.uses.find(route);
    if (found == st.outcomes.uses.end()) return;  // scripted before a reset
    ++found->second;
  }
  note_route(st, request.history_id, route);
}

int64_t route_uses(Outcomes& o, uint64_t route) {
  std::lock_guard lock(o.mutex);
  const auto found = o.uses.find(route);
  return found == o.uses.end() ? -1 : found->second;
}

std::vector<std::string> unmatched_requests(Outcomes& o) {
  std::lock_guard lock(o.mutex);
  return {o.unmatched.begin(), o.unmatched.end()};
}

std::optional<Outcome> take_scripted_outcome(State& st, const Request& request, bool own_end) {
  Outcomes& o = st.outcomes;
  const bool strict = own_end && o.strict.load(std::memory_order_acquire);
  if (!o.any.load(std::memory_order_acquire) && !strict) return std::nullopt;
  // Read before the outcomes' lock, which is never held with the identity's.
  const bool prompt = strict && may_prompt(request.op) && prompt_scripted(st.identity);
  Outcome outcome;
  uint64_t route = 0;
  {
    std::lock_guard lock(o.mutex);
    for (auto it = o.rules.begin(); it != o.rules.end(); ++it) {
      if (!matches(st, it->target, request)) continue;
      outcome = it->outcome;
      route = it->id;
      ++it->taken;
      ++o.uses[route];
      if (!it->every_time) {
        // Kept a while, bounded, for strict mode's nearest outcome.
        if (o.spent.size() >= Outcomes::kKept) o.spent.pop_front();
        o.spent.push_back(std::move(*it));
        o.rules.erase(it);
      }
      o.any.store(!o.rules.empty(), std::memory_order_release);
      break;
    }
    if (route == 0) {
      if (!strict || prompt) return std::nullopt;
      std::string text = "no scripted outcome matches " + describe_request(st, request) + "; " +
                         nearest_rule(st, o, request);
      if (o.unmatched.size() >= Outcomes::kKept) o.unmatched.pop_front();
      o.unmatched.push_back(text);
      return Outcome::failure(ErrorInfo{kStatusIncorrectConfiguration, 0, 0, widen(text)});
    }
  }
  note_route(st, request.history_id, route);
  return outcome;
}

std::vector<std::string> pending_outcomes(State& st) {
  std::vector<std::string> pending;
  {
    Outcomes& o = st.outcomes;
    std::lock_guard lock(o.mutex);
    for (const auto& rule : o.rules) {
      if (rule.taken == 0 && !rule.optional) pending.push_back(describe(rule));
    }
  }
  for (auto& line : pending_cancellations(st.identity)) pending.push_back(std::move(line));
  for (int op = 0; op < kOperationCount; ++op) {
    const int32_t ms = st.settings.latency_ms[op].load();
    if (ms > 0 && !st.settings.latency_used[op].load()) {
      pending.push_back("set_latency: " + std::string(python_name(static_cast<Op>(op))) +
                        " takes " + std::to_string(ms) + " ms, but it was never started");
    }
  }
  return pending;
}

namespace {

// The document's text parsed, or a fault.
JsonValue parse_document(std::string_view json) {
  if (json.size() > kMaxScenarioBytes) {
    throw std::runtime_error("the document is " + std::to_string(json.size()) +
                             " bytes long; at most " + std::to_string(kMaxScenarioBytes) +
                             " are read");
  }
  return parse_json(json, kMaxScenarioValues);
}

}  // namespace

uint64_t script_outcome_json(State& st, std::string_view json, std::string* error) {
  Rule rule;
  try {
    rule = rule_spec(parse_document(json), "outcome");
    if (rule.outcome.signs_in) expect_account(st.store, {}, *rule.outcome.signs_in, "outcome");
  } catch (const std::runtime_error& e) {  // a fault of the document (std::bad_alloc goes on)
    if (error != nullptr) *error = e.what();
    return 0;
  }
  return script_outcome(st.outcomes, std::move(rule));
}

bool load_scenario(State& st, std::string_view json, std::string* error) {
  Scenario scenario;
  try {
    scenario = read_scenario(st.store, parse_document(json));
  } catch (const std::runtime_error& e) {  // a fault of the document (std::bad_alloc goes on)
    if (error != nullptr) *error = e.what();
    return false;
  }
  apply(st, scenario);
  return true;
}

bool load_scenario_from_environment(State& st, std::string* error) {
  std::string named;
  {
    // Held to the end of the load: a start-up racing this one waits, and finds the scenario
    // applied once. Nothing calls out meanwhile (the log line comes after).
    std::lock_guard lock(st.scenario_mutex);
    if (st.scenario_loaded) return true;
    const auto path = scenario_path();
    if (!path) return true;
    const auto utf8 = path->u8string();
    named = std::string(utf8.begin(), utf8.end()) + " (named by " + kScenarioVariable + ")";
    std::string text;
    if (!read_file(*path, &text, error)) {
      *error = "cannot read the scenario file " + named + ": " + *error;
      return false;
    }
    if (!load_scenario(st, text, error)) {
      *error = "the scenario file " + named + " is not valid: " + *error;
      return false;
    }
    st.scenario_loaded = true;
  }
  log(st, kLogInfo, "scenario loaded from " + named);
  return true;
}

}  // namespace vessaemu
