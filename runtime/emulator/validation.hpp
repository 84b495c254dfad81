// What a runtime refuses in a request before it signs anybody in: the checks every start the
// emulator accepts goes through when it completes normally. A refusal completes the operation
// with Status_IncorrectConfiguration (9) and a context naming what was wrong, as a runtime that
// checks its configuration against the identity service would, and is never a contract
// violation: the call itself was well formed.
#pragma once

#include <optional>
#include <string>

#include "strings.hpp"

namespace vessaemu {

struct Request;

// What is wrong with the request, or nothing.
std::optional<std::string> refusal(const Request& request);

// The scheme and authority of an absolute https URL ("https://login.example.test"), or nothing
// when `authority` is not one.
std::optional<std::string> https_origin(const Text& authority);

// The form authorities are compared in: ASCII letters in lower case, no trailing slash.
std::u16string normal_authority(std::u16string_view authority);

}  // namespace vessaemu
