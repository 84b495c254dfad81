// The identity store: accounts with their thirteen string properties, their state, their refresh
// credential and their cached tokens; and account handles.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ref.hpp"
#include "registry.hpp"
#include "strings.hpp"

namespace vessaemu {

struct State;

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
std::optional<AccountField> find_account_field(std::string_view name);

// What the runtime can do for an account without asking its user.
enum class AccountState : int {
  Ready,                // tokens are acquired silently while the refresh credential lasts
  InteractionRequired,  // silent operations answer Status_InteractionRequired (2)
  Unusable,             // every token operation answers Status_AccountUnusable (13)
  AccountSwitch,        // silent operations answer Status_AccountSwitch (18)
  Removed,              // gone from the store, as if removed outside the application
  Count
};
inline constexpr int kAccountStateCount = static_cast<int>(AccountState::Count);
const char* account_state_name(AccountState state);

using AccountFields = std::array<Text, kAccountFieldCount>;

// An access token issued for one client and one set of scopes, kept while it is valid.
struct CachedToken {
  Text client_id;
  Text scopes;
  std::string access_token;
  std::string id_token;
  int64_t expires_at = 0;
};

// The scopes of a request as the cache keys them: a set, so "a b" and "b a" are one entry.
std::u16string scope_set(const Text& scopes);

// An account's cached tokens by client and scope set, the least recently used dropped first once
// there are `limit` (Settings::token_cache_size): a long run asking for ever new scopes must not
// grow without bound, nor slow down with a linear search.
class TokenCache {
 public:
  std::optional<CachedToken> find(const std::u16string& key);
  void put(std::u16string key, CachedToken token, size_t limit);
  void clear();
  size_t size() const { return index_.size(); }
  // The tokens, the most recently used first.
  std::vector<CachedToken> entries() const;

 private:
  using Entry = std::pair<std::u16string, CachedToken>;
  std::list<Entry> recent_;  // most recently used first
  std::unordered_map<std::u16string, std::list<Entry>::iterator> index_;
};

// One account of the store. Its fields change only under the store's lock (read them with
// account_field or view); an account removed from the store stays readable through handles that
// hold it.
struct AccountRecord : RefCounted {
  // The identifier the account was added under; the control interface finds it by this even if
  // its account_id property is changed later.
  std::u16string key;
  AccountFields fields;
  AccountState state = AccountState::Ready;
  int64_t refresh_expires_at = 0;  // Unix seconds of the emulator's clock
  TokenCache tokens;
  // The applications (client ids) the account is signed in to, for the store's per-application
  // mode (Settings::accounts_per_application). A seeded account is known to every application
  // but those that signed it out.
  bool seeded = false;
  std::unordered_set<std::u16string> applications;
  std::unordered_set<std::u16string> signed_out_by;
};

// A consistent copy of what an operation needs of an account.
struct AccountView {
  AccountFields fields;
  AccountState state = AccountState::Ready;
  int64_t refresh_expires_at = 0;
};

struct AccountObject : Object {
  static constexpr Kind kKind = Kind::Account;
  explicit AccountObject(Ref<AccountRecord> r) : record(std::move(r)) {}
  const Ref<AccountRecord> record;
};

// The store's part of the emulator's state (state.hpp); every field is guarded by `mutex`.
struct Store {
  std::mutex mutex;
  // Insertion order is the order accounts are listed and discovered in. Removed accounts (signed
  // out, or set so) stay here, unlisted, so that they come back under their own id.
  std::vector<Ref<AccountRecord>> accounts;
  std::unordered_map<std::u16string, Ref<AccountRecord>> by_key;
  int serial = 0;

  void reset();
};

// Adds an account with default properties, ready, with a fresh refresh credential; `key` absent
// picks a fresh identifier. Null if the key is already taken.
Ref<AccountRecord> add_account(State& st, const Text& key);
bool set_account_field(Store& s, const std::u16string& key, AccountField field, Text value);
// False for an unknown key. Leaving Removed puts the account back in the listed store.
bool set_account_state(Store& s, const std::u16string& key, AccountState state);
std::optional<AccountState> account_state(Store& s, const std::u16string& key);
// Forgets the account entirely; handles already given out stay readable.
bool remove_account(Store& s, const std::u16string& key);
// The account with this key, listed or removed.
Ref<AccountRecord> find_account(Store& s, const std::u16string& key);
// The account with this key, else the account (listed or removed) whose account id or user
// name `named` is: how a scenario names an account.
Ref<AccountRecord> find_named_account(Store& s, const std::u16string& named);
// The account's refresh credential lasts until `expires_at` (Unix seconds); false for an
// unknown key.
bool set_refresh_expiry(Store& s, const std::u16string& key, int64_t expires_at);
// The listed account whose account_id property equals `id`, for operations that look accounts
// up by id.
Ref<AccountRecord> find_account_by_id(Store& s, const std::u16string& id);
// The listed accounts, in order.
std::vector<Ref<AccountRecord>> all_accounts(Store& s);

// The account a sign-in knows without asking anyone: the listed account whose user name (ASCII
// letters compared case-insensitively) or account id equals `hint`; with no hint (absent or
// empty) the first listed account. In the per-application mode only accounts known to
// `client_id` count. Null if there is none.
Ref<AccountRecord> find_known_account(State& st, const Text& hint,
                                      const Text& client_id = std::nullopt);
// The account, listed or removed, whose user name or account id equals `hint`: a user keeps one
// account for the life of the store, so a prompt for a signed-out user brings that account back.
Ref<AccountRecord> find_user(Store& s, const std::u16string& hint);
// Whether the application `client_id` knows the account (always, unless the store is in the
// per-application mode).
bool known_to(State& st, const AccountRecord& record, const Text& client_id);
// Whether a user name or account id of `fields` answers to the hint, as find_known_account reads.
bool answers_to(const AccountFields& fields, const std::u16string& hint);
// The listed account behind one an operation was given: the record itself, or the listed record
// with its account id (the application may hold an account from before a sign-out and a new
// sign-in). Null when the runtime no longer has it.
Ref<AccountRecord> resolve_account(Store& s, const AccountRecord& given);
// A sign-out of the application `client_id`: the account leaves the listed store (in the
// per-application mode, once no application knows it any more) and its tokens go; false if it
// was not listed (or not known to that application).
bool sign_out_record(State& st, const AccountRecord& record, const Text& client_id);
// An interactive sign-in of a user with these properties: the account with the same account id
// (listed or removed) takes them, or a new one is added (under a fresh identifier when the id is
// absent or is another account's key); it is listed and ready, gets a refresh credential valid
// until `refresh_expires_at`, and its cached tokens go. An unusable account is left as it is and
// null is returned.
Ref<AccountRecord> sign_in_account(Store& s, const AccountFields& fields,
                                   int64_t refresh_expires_at, const Text& client_id);
// The properties of the user who signs in when the emulator "shows a prompt", by default.
AccountFields default_interactive_user();
// A new user, as the store would add one, whose user name is `user_name`.
AccountFields new_user(Store& s, const std::u16string& user_name);
Text account_field(Store& s, const AccountRecord& record, AccountField field);
AccountView view(Store& s, const AccountRecord& record);

// The record's cached token for this client and this set of scopes while, by the state's clock,
// it stays valid for longer than the refresh margin; else none.
std::optional<CachedToken> reusable_token(State& st, AccountRecord& record, const Text& client_id,
                                          const Text& scopes);
// Keeps the token under its client and set of scopes, in place of one cached there.
void cache_token(State& st, AccountRecord& record, CachedToken token);

// A new live account handle for the account.
VESSARUNTIME_ACCOUNT_HANDLE new_account_handle(Registry& reg, Ref<AccountRecord> record);

}  // namespace vessaemu
