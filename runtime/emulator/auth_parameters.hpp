// Auth parameters: everything a caller set on a request, kept unit for unit.
#pragma once

#include <array>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "registry.hpp"
#include "strings.hpp"

namespace vessaemu {

enum class AuthField : int {
  ClientId,
  Authority,
  Scopes,
  RedirectUri,
  Claims,
  AccessTokenToRenew,
  PopHttpMethod,
  PopUriHost,
  PopUriPath,
  PopNonce,
  Count
};

inline constexpr int kAuthFieldCount = static_cast<int>(AuthField::Count);

// "client_id", "authority", ... (the control interface's names).
const char* auth_field_name(AuthField field);

struct AuthParametersData {
  std::array<Text, kAuthFieldCount> fields;
  // In order of arrival; setting a key twice keeps both pairs.
  std::vector<std::pair<std::u16string, std::u16string>> additional;
  const Text& field(AuthField f) const { return fields[static_cast<int>(f)]; }
};

// Setters may run on several threads at once, hence the lock; readers take a snapshot.
struct AuthParametersObject : Object {
  static constexpr Kind kKind = Kind::AuthParameters;
  AuthParametersData snapshot() const {
    std::lock_guard lock(mutex);
    return data;
  }
  mutable std::mutex mutex;
  AuthParametersData data;
};

}  // namespace vessaemu
