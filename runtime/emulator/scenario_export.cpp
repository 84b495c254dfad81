// The emulator's state written back as a scenario document (see scenario.hpp): what a test
// built, to be loaded again after a reset or in another process.
#include <algorithm>
#include <mutex>

#include "accounts.hpp"
#include "json.hpp"
#include "scenario.hpp"
#include "settings.hpp"
#include "state.hpp"

namespace vessaemu {
namespace {

std::string json_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const auto& item : items) out.append(out.size() > 1 ? "," : "").append(item);
  return out + "]";
}

// Seconds from `now` to `at`, as a document takes them: an expired credential or token is one
// with no time left, and a clock moved back is not allowed to give more than the longest life.
int64_t seconds_left(int64_t at, int64_t now) {
  return std::clamp<int64_t>(at - now, 0, kMaxLifetime);
}

void add_fields(JsonObject& json, const AccountFields& fields) {
  for (int f = 0; f < kAccountFieldCount; ++f) {
    json.add_units(account_field_name(static_cast<AccountField>(f)), fields[f]);
  }
}

std::string settings_json(const Settings& settings) {
  const Settings defaults;
  JsonObject json;
  for (const auto& spec : Settings::specs()) {
    const int64_t value = settings.get(spec.name);
    if (value == defaults.get(spec.name)) continue;
    json.add_raw(spec.name, spec.flag ? (value ? "true" : "false") : std::to_string(value));
  }
  JsonObject latency;
  bool slow = false;
  for (int op = 0; op < kOperationCount; ++op) {
    if (const int32_t ms = settings.latency_ms[op].load(); ms > 0) {
      latency.add(python_name(static_cast<Op>(op)), int64_t{ms});
      slow = true;
    }
  }
  if (slow) json.add_raw("latency_ms", latency.str());
  return json.str();
}

std::string scopes_json(const Text& scopes) {
  std::vector<std::string> each;
  const std::u16string text = scopes.value_or(u"");
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find(u' ', start), text.size());
    if (end > start) each.push_back(json_units(text.substr(start, end - start)));
    start = end + 1;
  }
  return json_list(each);
}

// What a document keeps of a stored account, copied under the store's lock.
struct AccountCopy {
  std::u16string key;
  AccountFields fields;
  AccountState state;
  int64_t refresh_expires_at;
  std::vector<CachedToken> tokens;
};

std::vector<AccountCopy> copy_accounts(Store& store) {
  std::vector<AccountCopy> copies;
  std::lock_guard lock(store.mutex);
  for (const auto& record : store.accounts) {
    copies.push_back(AccountCopy{record->key, record->fields, record->state,
                                 record->refresh_expires_at, record->tokens.entries()});
  }
  return copies;
}

// How the document names the account for its tokens: as it will be stored again, by its account
// id, else its user name; none without either (the account then gets a new key).
Text reference(const AccountFields& fields) {
  const Text& id = fields[static_cast<int>(AccountField::AccountId)];
  return id ? id : fields[static_cast<int>(AccountField::UserName)];
}

}  // namespace

std::string export_scenario(State& st) {
  const int64_t now = st.clock.now();
  JsonObject doc;
  if (st.clock.frozen()) doc.add("now", now);
  if (st.outcomes.strict.load(std::memory_order_acquire)) doc.add_raw("strict", "true");
  doc.add_raw("settings", settings_json(st.settings));
  JsonObject interactive;
  add_fields(interactive, [&] {
    AccountFields fields;
    for (int f = 0; f < kAccountFieldCount; ++f) {
      fields[f] = interactive_user_field(st.identity, static_cast<AccountField>(f));
    }
    return fields;
  }());
  doc.add_raw("interactive_user", interactive.str());
  std::vector<std::string> untrusted;
  {
    std::lock_guard lock(st.identity.mutex);
    for (const auto& authority : st.identity.untrusted) untrusted.push_back(json_units(authority));
  }
  std::sort(untrusted.begin(), untrusted.end());
  doc.add_raw("untrusted_authorities", json_list(untrusted));
  std::vector<std::string> accounts, tokens;
  for (const auto& account : copy_accounts(st.store)) {
    JsonObject json;
    add_fields(json, account.fields);
    json.add("state", account_state_name(account.state));
    json.add("refresh_credential_expires_in", seconds_left(account.refresh_expires_at, now));
    accounts.push_back(json.str());
    const Text named = reference(account.fields);
    if (!named) continue;
    // Least recently used first: loaded in order, the cache is used in the same order again.
    for (auto token = account.tokens.rbegin(); token != account.tokens.rend(); ++token) {
      JsonObject entry;
      entry.add_units("account", named).add_units("client_id", token->client_id);
      entry.add_raw("scopes", scopes_json(token->scopes));
      entry.add("expires_in", seconds_left(token->expires_at, now));
      entry.add("access_token", token->access_token).add("id_token", token->id_token);
      tokens.push_back(entry.str());
    }
  }
  doc.add_raw("accounts", json_list(accounts)).add_raw("tokens", json_list(tokens));
  return doc.str();
}

}  // namespace vessaemu
