// The identity store: accounts with their thirteen string properties, and account handles.
#pragma once

#include <array>
#include <cstdint>
#include "ref.hpp"
#include <optional>
#include <string>
#include <vector>

#include "registry.hpp"
#include "strings.hpp"

namespace vessaemu {

enum class AccountField : int {
  AccountId,
  HomeAccountId,
  Environment,
  Realm,
  LocalAccountId,
  UserName,
  GivenName,
  FamilyName,
  MiddleName,
  DisplayName,
  AdditionalFieldsJson,
  HomeEnvironment,
  ClientInfo,
  Count
};

inline constexpr int kAccountFieldCount = static_cast<int>(AccountField::Count);

// "account_id", "home_account_id", ... (the control interface's names).
const char* account_field_name(AccountField field);

// One account of the store. Its fields change only under the store's lock (read them with
// account_field); an account removed from the store stays readable through handles that hold it.
using AccountFields = std::array<Text, kAccountFieldCount>;

struct AccountRecord : RefCounted {
  // The identifier the account was added under; the control interface finds it by this even if
  // its account_id property is changed later.
  std::u16string key;
  AccountFields fields;
};

struct AccountObject : Object {
  static constexpr Kind kKind = Kind::Account;
  explicit AccountObject(Ref<AccountRecord> r) : record(std::move(r)) {}
  const Ref<AccountRecord> record;
};

// Adds an account with default properties; `key` absent picks a fresh identifier. Null if the key
// is already taken.
Ref<AccountRecord> add_account(const Text& key);
bool set_account_field(const std::u16string& key, AccountField field, Text value);
bool remove_account(const std::u16string& key);
Ref<AccountRecord> find_account(const std::u16string& key);
// The account whose account_id property equals `id`, for operations that look accounts up by id.
Ref<AccountRecord> find_account_by_id(const std::u16string& id);
std::vector<Ref<AccountRecord>> all_accounts();

// The account a sign-in knows without asking anyone: the stored account whose user name (ASCII
// letters compared case-insensitively) or account id equals `hint`; with no hint (absent or
// empty) the first account of the store. Null if there is none.
Ref<AccountRecord> find_known_account(const Text& hint);
// Whether this very account is in the store (a signed-out or reset one is not).
bool is_stored(const AccountRecord& record);
// Removes this very account from the store; false if it was not there.
bool remove_record(const AccountRecord& record);
// Stores an account a user signed in with: the stored account with the same account id takes
// these properties, or a new one is added (under a fresh identifier when the id is absent).
Ref<AccountRecord> store_account(const AccountFields& fields);
// The properties of the user who signs in when the emulator "shows a prompt", by default.
AccountFields default_interactive_user();
Text account_field(const AccountRecord& record, AccountField field);
void reset_accounts();

// A new live account handle for the account.
VESSARUNTIME_ACCOUNT_HANDLE new_account_handle(Ref<AccountRecord> record);

}  // namespace vessaemu
