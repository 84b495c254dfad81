// The identity store, the thirteen account getters and ReleaseAccount.
#include "accounts.hpp"

#include <algorithm>
#include <cstdio>

#include "call.hpp"
#include "json.hpp"
#include "state.hpp"
#include "string_protocol.hpp"

namespace vessaemu {
namespace {

constexpr std::array<const char*, kAccountFieldCount> kFieldNames = {"account_id",
                                                                     "home_account_id",
                                                                     "environment",
                                                                     "realm",
                                                                     "local_account_id",
                                                                     "user_name",
                                                                     "given_name",
                                                                     "family_name",
                                                                     "middle_name",
                                                                     "display_name",
                                                                     "additional_fields_json",
                                                                     "home_environment",
                                                                     "client_info"};

constexpr std::array<const char*, kAccountStateCount> kStateNames = {
    "ready", "interaction_required", "unusable", "account_switch", "removed"};

constexpr const char* kDefaultRealm = "11111111-2222-4333-8444-555555555555";
constexpr const char* kDefaultEnvironment = "login.vessa.example";

int64_t fresh_refresh_expiry(const State& st) {
  return st.clock.now() + st.settings.refresh_credential_lifetime.load();
}

bool listed(const AccountRecord& record) {
  return record.state != AccountState::Removed;
}

Ref<AccountRecord> find_locked(Store& s, const std::u16string& key) {
  const auto found = s.by_key.find(key);
  return found == s.by_key.end() ? nullptr : found->second;
}

bool per_application(const Settings& settings) {
  return settings.accounts_per_application.load();
}

bool known_locked(const Settings& settings, const AccountRecord& record, const Text& client_id) {
  if (!client_id || !per_application(settings)) return true;
  if (record.applications.contains(*client_id)) return true;
  return record.seeded && !record.signed_out_by.contains(*client_id);
}

const Text& id_of(const AccountRecord& record) {
  return record.fields[static_cast<int>(AccountField::AccountId)];
}

// The account (listed, or removed as well) whose account id equals `id`; lock held.
Ref<AccountRecord> find_by_id_locked(Store& s, const std::u16string& id, bool removed_too) {
  for (auto& record : s.accounts) {
    if ((removed_too || listed(*record)) && id_of(*record) == id) return record;
  }
  return nullptr;
}

// A complete, self-consistent account: every property present except the middle name.
void fill_defaults(AccountFields& fields, int n) {
  char local[64];
  std::snprintf(local, sizeof local, "00000000-0000-4000-8000-%012d", n);
  const std::string id = std::string(local) + "." + kDefaultRealm;
  const std::string number = std::to_string(n);
  auto set = [&](AccountField field, const std::string& text) {
    fields[static_cast<int>(field)] = widen(text);
  };
  set(AccountField::AccountId, id);
  set(AccountField::HomeAccountId, id);
  set(AccountField::Environment, kDefaultEnvironment);
  set(AccountField::Realm, kDefaultRealm);
  set(AccountField::LocalAccountId, local);
  set(AccountField::UserName, "user" + number + "@example.com");
  set(AccountField::GivenName, "Test");
  set(AccountField::FamilyName, "User " + number);
  set(AccountField::DisplayName, "Test User " + number);
  set(AccountField::AdditionalFieldsJson, "{}");
  set(AccountField::HomeEnvironment, kDefaultEnvironment);
  set(AccountField::ClientInfo,
      base64url(std::string("{\"uid\":\"") + local + "\",\"utid\":\"" + kDefaultRealm + "\"}"));
}

// Defaults under an identifier no stored account uses as its key; lock held.
AccountFields fresh_fields_locked(Store& s) {
  AccountFields fields;
  do {
    fill_defaults(fields, ++s.serial);
  } while (find_locked(s, *fields[0]));
  return fields;
}

// Adds an account (see add_account); the store's lock is held.
Ref<AccountRecord> add_locked(Store& s, const Text& key, int64_t refresh_expires_at) {
  if (key && find_locked(s, *key)) return nullptr;
  auto record = make_ref<AccountRecord>();
  record->fields = fresh_fields_locked(s);
  if (key) {
    record->key = *key;
    record->fields[static_cast<int>(AccountField::AccountId)] = *key;
    record->fields[static_cast<int>(AccountField::HomeAccountId)] = *key;
  } else {
    record->key = *record->fields[static_cast<int>(AccountField::AccountId)];
  }
  record->refresh_expires_at = refresh_expires_at;
  s.by_key.emplace(record->key, record);
  s.accounts.push_back(record);
  return record;
}

}  // namespace

const char* account_field_name(AccountField field) {
  return kFieldNames[static_cast<int>(field)];
}

std::optional<AccountField> find_account_field(std::string_view name) {
  for (int i = 0; i < kAccountFieldCount; ++i) {
    if (name == kFieldNames[i]) return static_cast<AccountField>(i);
  }
  return std::nullopt;
}

const char* account_state_name(AccountState state) {
  return kStateNames[static_cast<int>(state)];
}

void Store::reset() {
  std::vector<Ref<AccountRecord>> dropped;  // die outside the lock
  std::lock_guard lock(mutex);
  dropped.swap(accounts);
  by_key.clear();
  serial = 0;
}

Ref<AccountRecord> add_account(State& st, const Text& key) {
  const int64_t refresh = fresh_refresh_expiry(st);
  Store& s = st.store;
  std::lock_guard lock(s.mutex);
  auto record = add_locked(s, key, refresh);
  if (record) record->seeded = true;
  return record;
}

bool set_account_field(Store& s, const std::u16string& key, AccountField field, Text value) {
  std::lock_guard lock(s.mutex);
  auto record = find_locked(s, key);
  if (!record) return false;
  record->fields[static_cast<int>(field)] = std::move(value);
  return true;
}

bool set_account_state(Store& s, const std::u16string& key, AccountState value) {
  std::lock_guard lock(s.mutex);
  auto record = find_locked(s, key);
  if (!record) return false;
  record->state = value;
  return true;
}

std::optional<AccountState> account_state(Store& s, const std::u16string& key) {
  std::lock_guard lock(s.mutex);
  auto record = find_locked(s, key);
  if (!record) return std::nullopt;
  return record->state;
}

bool remove_account(Store& s, const std::u16string& key) {
  Ref<AccountRecord> removed;
  std::lock_guard lock(s.mutex);
  auto found = s.by_key.find(key);
  if (found == s.by_key.end()) return false;
  removed = std::move(found->second);
  s.by_key.erase(found);
  s.accounts.erase(std::find(s.accounts.begin(), s.accounts.end(), removed));
  return true;
}

Ref<AccountRecord> find_account(Store& s, const std::u16string& key) {
  std::lock_guard lock(s.mutex);
  return find_locked(s, key);
}

Ref<AccountRecord> find_named_account(Store& s, const std::u16string& named) {
  if (auto record = find_account(s, named)) return record;
  return find_user(s, named);
}

bool set_refresh_expiry(Store& s, const std::u16string& key, int64_t expires_at) {
  std::lock_guard lock(s.mutex);
  auto record = find_locked(s, key);
  if (!record) return false;
  record->refresh_expires_at = expires_at;
  return true;
}

Ref<AccountRecord> find_account_by_id(Store& s, const std::u16string& id) {
  std::lock_guard lock(s.mutex);
  return find_by_id_locked(s, id, false);
}

std::vector<Ref<AccountRecord>> all_accounts(Store& s) {
  std::vector<Ref<AccountRecord>> out;
  std::lock_guard lock(s.mutex);
  for (auto& record : s.accounts) {
    if (listed(*record)) out.push_back(record);
  }
  return out;
}

Text account_field(Store& s, const AccountRecord& record, AccountField field) {
  std::lock_guard lock(s.mutex);
  return record.fields[static_cast<int>(field)];
}

AccountView view(Store& s, const AccountRecord& record) {
  std::lock_guard lock(s.mutex);
  return AccountView{record.fields, record.state, record.refresh_expires_at};
}

bool answers_to(const AccountFields& fields, const std::u16string& hint) {
  const Text& id = fields[static_cast<int>(AccountField::AccountId)];
  const Text& user = fields[static_cast<int>(AccountField::UserName)];
  return (id && *id == hint) || (user && equal_ignoring_case(*user, hint));
}

Ref<AccountRecord> find_known_account(State& st, const Text& hint, const Text& client_id) {
  Store& s = st.store;
  std::lock_guard lock(s.mutex);
  for (auto& record : s.accounts) {
    if (!listed(*record) || !known_locked(st.settings, *record, client_id)) continue;
    if (!hint || hint->empty() || answers_to(record->fields, *hint)) return record;
  }
  return nullptr;
}

Ref<AccountRecord> find_user(Store& s, const std::u16string& hint) {
  std::lock_guard lock(s.mutex);
  Ref<AccountRecord> removed;
  for (auto& record : s.accounts) {
    if (!answers_to(record->fields, hint)) continue;
    if (listed(*record)) return record;
    if (!removed) removed = record;
  }
  return removed;
}

bool known_to(State& st, const AccountRecord& record, const Text& client_id) {
  std::lock_guard lock(st.store.mutex);
  return known_locked(st.settings, record, client_id);
}

Ref<AccountRecord> resolve_account(Store& s, const AccountRecord& given) {
  std::lock_guard lock(s.mutex);
  for (auto& record : s.accounts) {
    if (record.get() == &given) return listed(*record) ? record : nullptr;
  }
  const Text& id = id_of(given);
  return id ? find_by_id_locked(s, *id, false) : nullptr;
}

bool sign_out_record(State& st, const AccountRecord& given, const Text& client_id) {
  Store& s = st.store;
  std::lock_guard lock(s.mutex);
  const auto found = s.by_key.find(given.key);
  if (found == s.by_key.end() || found->second.get() != &given) return false;
  AccountRecord& record = *found->second;
  if (!listed(record) || !known_locked(st.settings, record, client_id)) return false;
  if (client_id && per_application(st.settings)) {
    record.applications.erase(*client_id);
    if (record.seeded) record.signed_out_by.insert(*client_id);
    // Still signed in to another application: only this one forgets it.
    if (!record.applications.empty() || record.seeded) return true;
  }
  // The account stays in the store, unlisted, so the user's next sign-in finds it again.
  record.state = AccountState::Removed;
  record.tokens.clear();
  return true;
}

Ref<AccountRecord> sign_in_account(Store& s, const AccountFields& fields,
                                   int64_t refresh_expires_at, const Text& client_id) {
  const Text& id = fields[static_cast<int>(AccountField::AccountId)];
  // One critical section from the look-up to the addition: two sign-ins completing at once on
  // two workers would otherwise both find no account and both add one with the same id.
  std::lock_guard lock(s.mutex);
  Ref<AccountRecord> record = id ? find_by_id_locked(s, *id, true) : nullptr;
  if (record && record->state == AccountState::Unusable) return nullptr;
  if (!record) {
    // Added under its id, or under a fresh one when it has none (or when that id is another
    // account's key).
    record = add_locked(s, id, refresh_expires_at);
    if (!record) record = add_locked(s, std::nullopt, refresh_expires_at);
  }
  record->fields = fields;
  record->state = AccountState::Ready;
  record->refresh_expires_at = refresh_expires_at;
  record->tokens.clear();
  if (client_id) {
    record->applications.insert(*client_id);
    record->signed_out_by.erase(*client_id);
  }
  return record;
}

AccountFields default_interactive_user() {
  AccountFields fields;
  fill_defaults(fields, 0);
  auto set = [&](AccountField field, const char* text) {
    fields[static_cast<int>(field)] = widen(text);
  };
  set(AccountField::UserName, "interactive.user@example.com");
  set(AccountField::GivenName, "Interactive");
  set(AccountField::FamilyName, "User");
  set(AccountField::DisplayName, "Interactive User");
  return fields;
}

AccountFields new_user(Store& s, const std::u16string& user_name) {
  std::lock_guard lock(s.mutex);
  AccountFields fields = fresh_fields_locked(s);
  fields[static_cast<int>(AccountField::UserName)] = user_name;
  return fields;
}

std::u16string scope_set(const Text& scopes) {
  std::vector<std::u16string> each;
  if (scopes) {
    size_t start = 0;
    while (start < scopes->size()) {
      size_t end = scopes->find(u' ', start);
      if (end == std::u16string::npos) end = scopes->size();
      if (end > start) each.push_back(scopes->substr(start, end - start));
      start = end + 1;
    }
  }
  std::sort(each.begin(), each.end());
  each.erase(std::unique(each.begin(), each.end()), each.end());
  std::u16string joined;
  for (const auto& scope : each) joined += (joined.empty() ? u"" : u" ") + scope;
  return joined;
}

namespace {

// The cache key: the client id (absent and empty apart) and the set of scopes.
std::u16string cache_key(const Text& client_id, const Text& scopes) {
  return (client_id ? u"+" + *client_id : u"-") + u'\0' + scope_set(scopes);
}

}  // namespace

std::optional<CachedToken> TokenCache::find(const std::u16string& key) {
  const auto found = index_.find(key);
  if (found == index_.end()) return std::nullopt;
  recent_.splice(recent_.begin(), recent_, found->second);
  return found->second->second;
}

void TokenCache::put(std::u16string key, CachedToken token, size_t limit) {
  if (const auto found = index_.find(key); found != index_.end()) {
    found->second->second = std::move(token);
    recent_.splice(recent_.begin(), recent_, found->second);
    return;
  }
  while (!recent_.empty() && index_.size() >= limit) {
    index_.erase(recent_.back().first);
    recent_.pop_back();
  }
  recent_.emplace_front(key, std::move(token));
  index_.emplace(std::move(key), recent_.begin());
}

std::vector<CachedToken> TokenCache::entries() const {
  std::vector<CachedToken> tokens;
  for (const auto& entry : recent_) tokens.push_back(entry.second);
  return tokens;
}

void TokenCache::clear() {
  recent_.clear();
  index_.clear();
}

std::optional<CachedToken> reusable_token(State& st, AccountRecord& record, const Text& client_id,
                                          const Text& scopes) {
  const std::u16string key = cache_key(client_id, scopes);
  std::optional<CachedToken> cached;
  {
    std::lock_guard lock(st.store.mutex);
    cached = record.tokens.find(key);
  }
  if (!cached || st.settings.refresh_margin.load() >= cached->expires_at - st.clock.now()) {
    return std::nullopt;
  }
  return cached;
}

void cache_token(State& st, AccountRecord& record, CachedToken token) {
  std::u16string key = cache_key(token.client_id, token.scopes);
  const auto limit = static_cast<size_t>(std::max<int64_t>(1, st.settings.token_cache_size));
  std::lock_guard lock(st.store.mutex);
  record.tokens.put(std::move(key), std::move(token), limit);
}

VESSARUNTIME_ACCOUNT_HANDLE new_account_handle(Registry& reg, Ref<AccountRecord> record) {
  return as_handle<VESSARUNTIME_ACCOUNT_HANDLE>(
      register_object(reg, Kind::Account, make_ref<AccountObject>(std::move(record))));
}

namespace {

VESSARUNTIME_ERROR_HANDLE get_field(Op op, AccountField field, VESSARUNTIME_ACCOUNT_HANDLE account,
                                    os_char* buffer, int32_t* bufferSize) {
  return guarded(op, [&](Call& call) {
    auto object = call.object<AccountObject>(account);
    if (!object) return call.error();
    return write_text(call, account_field(call.state().store, *object->record, field), buffer,
                      bufferSize);
  });
}

}  // namespace
}  // namespace vessaemu

using namespace vessaemu;

#define VESSAEMU_ACCOUNT_GETTER(name, field)                                       \
  extern "C" VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_##name(      \
      VESSARUNTIME_ACCOUNT_HANDLE account, os_char* buffer, int32_t* bufferSize) { \
    return get_field(Op::name, AccountField::field, account, buffer, bufferSize);  \
  }
VESSAEMU_ACCOUNT_GETTER(GetAccountId, AccountId)
VESSAEMU_ACCOUNT_GETTER(GetHomeAccountId, HomeAccountId)
VESSAEMU_ACCOUNT_GETTER(GetEnvironment, Environment)
VESSAEMU_ACCOUNT_GETTER(GetRealm, Realm)
VESSAEMU_ACCOUNT_GETTER(GetLocalAccountId, LocalAccountId)
VESSAEMU_ACCOUNT_GETTER(GetUserName, UserName)
VESSAEMU_ACCOUNT_GETTER(GetGivenName, GivenName)
VESSAEMU_ACCOUNT_GETTER(GetFamilyName, FamilyName)
VESSAEMU_ACCOUNT_GETTER(GetMiddleName, MiddleName)
VESSAEMU_ACCOUNT_GETTER(GetDisplayName, DisplayName)
VESSAEMU_ACCOUNT_GETTER(GetAdditionalFieldsJson, AdditionalFieldsJson)
VESSAEMU_ACCOUNT_GETTER(GetHomeEnvironment, HomeEnvironment)
VESSAEMU_ACCOUNT_GETTER(GetClientInfo, ClientInfo)
#undef VESSAEMU_ACCOUNT_GETTER

extern "C" VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseAccount(VESSARUNTIME_ACCOUNT_HANDLE account) {
  return release<AccountObject>(Op::ReleaseAccount, account);
}
