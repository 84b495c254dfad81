// Result objects of the four kinds. Built whole (by the control interface or an operation) before
// their handle is registered, and never changed afterwards, so getters read them without a lock.
#pragma once

#include "ref.hpp"
#include <optional>
#include <vector>

#include "accounts.hpp"
#include "errors.hpp"

namespace vessaemu {

struct AuthResultObject : Object {
  static constexpr Kind kKind = Kind::AuthResult;
  Ref<AccountRecord> account;
  Text id_token;
  Text raw_id_token;
  Text access_token;
  Text granted_scopes;
  Text authorization_header;
  int32_t is_pop = 0;
  int64_t expiry = 0;
  std::optional<ErrorInfo> error;
  Text telemetry;
};

struct SignOutResultObject : Object {
  static constexpr Kind kKind = Kind::SignOutResult;
  std::optional<ErrorInfo> error;
  Text telemetry;
};

struct ReadAccountResultObject : Object {
  static constexpr Kind kKind = Kind::ReadAccountResult;
  Ref<AccountRecord> account;
  std::optional<ErrorInfo> error;
  Text telemetry;
};

struct DiscoverAccountsResultObject : Object {
  static constexpr Kind kKind = Kind::DiscoverAccountsResult;
  std::vector<Ref<AccountRecord>> accounts;
  std::optional<ErrorInfo> error;
  Text telemetry;
};

// Registers a finished result and returns its handle value.
template <class T>
uint64_t register_result(Registry& reg, Ref<T> result) {
  return register_object(reg, T::kKind, std::move(result));
}

}  // namespace vessaemu
