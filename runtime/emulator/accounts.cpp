// The identity store, the thirteen account getters and ReleaseAccount.
#include "accounts.hpp"

#include <cstdio>
#include <mutex>

#include "call.hpp"
#include "json.hpp"
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

constexpr const char* kDefaultRealm = "11111111-2222-4333-8444-555555555555";
constexpr const char* kDefaultEnvironment = "login.vessa.example";

struct Store {
  std::mutex mutex;
  // Insertion order is the order accounts are listed and discovered in.
  std::vector<Ref<AccountRecord>> accounts;
  int serial = 0;
};

Store& store() {
  static Store* instance = new Store();
  return *instance;
}

Ref<AccountRecord> find_locked(Store& s, const std::u16string& key) {
  for (auto& record : s.accounts) {
    if (record->key == key) return record;
  }
  return nullptr;
}

// A complete, self-consistent account: every property present except the middle name.
void fill_defaults(AccountRecord& record, int n) {
  char local[64];
  std::snprintf(local, sizeof local, "00000000-0000-4000-8000-%012d", n);
  const std::string id = std::string(local) + "." + kDefaultRealm;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%d", n);
  const std::string number = digits;
  auto set = [&](AccountField field, const std::string& text) {
    record.fields[static_cast<int>(field)] = widen(text);
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

// Adds an account (see add_account); the store's lock is held.
Ref<AccountRecord> add_locked(Store& s, const Text& key) {
  auto record = make_ref<AccountRecord>();
  const int n = ++s.serial;
  fill_defaults(*record, n);
  if (key) {
    if (find_locked(s, *key)) return nullptr;
    record->key = *key;
    record->fields[static_cast<int>(AccountField::AccountId)] = *key;
    record->fields[static_cast<int>(AccountField::HomeAccountId)] = *key;
  } else {
    // A generated identifier must not collide with one a caller chose.
    int extra = n;
    while (find_locked(s, *record->fields[0])) {
      extra = ++s.serial;
      fill_defaults(*record, extra);
    }
    record->key = *record->fields[static_cast<int>(AccountField::AccountId)];
  }
  s.accounts.push_back(record);
  return record;
}

}  // namespace

const char* account_field_name(AccountField field) {
  return kFieldNames[static_cast<int>(field)];
}

Ref<AccountRecord> add_account(const Text& key) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return add_locked(s, key);
}

bool set_account_field(const std::u16string& key, AccountField field, Text value) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  auto record = find_locked(s, key);
  if (!record) return false;
  record->fields[static_cast<int>(field)] = std::move(value);
  return true;
}

bool remove_account(const std::u16string& key) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  for (auto it = s.accounts.begin(); it != s.accounts.end(); ++it) {
    if ((*it)->key == key) {
      s.accounts.erase(it);
      return true;
    }
  }
  return false;
}

Ref<AccountRecord> find_account(const std::u16string& key) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return find_locked(s, key);
}

Ref<AccountRecord> find_account_by_id(const std::u16string& id) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  for (auto& record : s.accounts) {
    const Text& value = record->fields[static_cast<int>(AccountField::AccountId)];
    if (value && *value == id) return record;
  }
  return nullptr;
}

std::vector<Ref<AccountRecord>> all_accounts() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.accounts;
}

Text account_field(const AccountRecord& record, AccountField field) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return record.fields[static_cast<int>(field)];
}

namespace {

bool same_user_name(const Text& stored, const std::u16string& hint) {
  if (!stored || stored->size() != hint.size()) return false;
  for (size_t i = 0; i < hint.size(); ++i) {
    char16_t a = (*stored)[i], b = hint[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

Ref<AccountRecord> find_known_account(const Text& hint) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  if (!hint || hint->empty()) return s.accounts.empty() ? nullptr : s.accounts.front();
  for (auto& record : s.accounts) {
    const Text& id = record->fields[static_cast<int>(AccountField::AccountId)];
    if ((id && *id == *hint) ||
        same_user_name(record->fields[static_cast<int>(AccountField::UserName)], *hint)) {
      return record;
    }
  }
  return nullptr;
}

bool is_stored(const AccountRecord& record) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  for (auto& stored : s.accounts) {
    if (stored.get() == &record) return true;
  }
  return false;
}

bool remove_record(const AccountRecord& record) {
  Ref<AccountRecord> removed;  // dies outside the lock
  Store& s = store();
  std::lock_guard lock(s.mutex);
  for (auto it = s.accounts.begin(); it != s.accounts.end(); ++it) {
    if (it->get() == &record) {
      removed = std::move(*it);
      s.accounts.erase(it);
      return true;
    }
  }
  return false;
}

Ref<AccountRecord> store_account(const AccountFields& fields) {
  const Text& id = fields[static_cast<int>(AccountField::AccountId)];
  // One critical section from the look-up to the addition: two sign-ins completing at once on
  // two workers would otherwise both find no account and both add one with the same id.
  Store& s = store();
  std::lock_guard lock(s.mutex);
  if (id) {
    for (auto& record : s.accounts) {
      const Text& stored = record->fields[static_cast<int>(AccountField::AccountId)];
      if (stored && *stored == *id) {
        record->fields = fields;
        return record;
      }
    }
  }
  // Not stored yet: added under its id, or under a fresh one when it has none (or when that id
  // is another account's key).
  auto record = add_locked(s, id);
  if (!record) record = add_locked(s, std::nullopt);
  record->fields = fields;
  return record;
}

AccountFields default_interactive_user() {
  AccountRecord record;
  fill_defaults(record, 0);
  auto set = [&](AccountField field, const char* text) {
    record.fields[static_cast<int>(field)] = widen(text);
  };
  set(AccountField::UserName, "interactive.user@example.com");
  set(AccountField::GivenName, "Interactive");
  set(AccountField::FamilyName, "User");
  set(AccountField::DisplayName, "Interactive User");
  return record.fields;
}

void reset_accounts() {
  std::vector<Ref<AccountRecord>> dropped;
  Store& s = store();
  std::lock_guard lock(s.mutex);
  dropped.swap(s.accounts);
  s.serial = 0;
}

VESSARUNTIME_ACCOUNT_HANDLE new_account_handle(Ref<AccountRecord> record) {
  return as_handle<VESSARUNTIME_ACCOUNT_HANDLE>(
      register_object(Kind::Account, make_ref<AccountObject>(std::move(record))));
}

namespace {

VESSARUNTIME_ERROR_HANDLE get_field(Op op, AccountField field, VESSARUNTIME_ACCOUNT_HANDLE account,
                                    os_char* buffer, int32_t* bufferSize) {
  return guarded(op, [&](Call& call) {
    auto object = call.object<AccountObject>(account);
    if (!object) return call.error();
    return write_text(call, account_field(*object->record, field), buffer, bufferSize);
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
