// The checks of requests (see validation.hpp).
#include "validation.hpp"

#include "auth_parameters.hpp"
#include "flows.hpp"
#include "json.hpp"

namespace vessaemu {
namespace {

bool blank(const Text& text) {
  return !text || text->empty();
}

bool has_space(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// RFC 3986: a scheme (a letter, then letters, digits, "+", "-", "."), a colon and more.
bool absolute_uri(const Text& uri) {
  const std::string text = narrow(*uri);
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  if (!ascii_letter(text[0]) || has_space(text)) return false;
  for (size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!ascii_letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  return true;
}

bool json_object(const Text& text) {
  try {
    return parse_json(narrow(*text)).type == JsonValue::Type::Object;
  } catch (const std::runtime_error&) {
    return false;
  }
}

bool token_operation(Op op) {
  return op == Op::AcquireTokenSilentlyAsync || op == Op::AcquireTokenInteractivelyAsync;
}

std::optional<std::string> auth_refusal(const Request& r) {
  const auto& p = r.params;
  if (blank(p.field(AuthField::ClientId))) return "the client id is empty";
  if (!https_origin(p.field(AuthField::Authority))) {
    return "the authority is not an absolute https URL";
  }
  const Text& redirect = p.field(AuthField::RedirectUri);
  if (redirect && !absolute_uri(redirect)) return "the redirect URI is not an absolute URI";
  if (token_operation(r.op) && scope_set(p.field(AuthField::Scopes)).empty()) {
    return "no scopes were requested for the token";
  }
  const Text& claims = p.field(AuthField::Claims);
  if (claims && !claims->empty() && !json_object(claims)) {
    return "the claims are not a JSON object";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> https_origin(const Text& authority) {
  if (!authority) return std::nullopt;
  const std::string text = narrow(*authority);
  constexpr std::string_view kScheme = "https://";
  if (text.size() <= kScheme.size() || has_space(text)) return std::nullopt;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    const char c = text[i];
    if ((ascii_letter(c) ? static_cast<char>(c | 0x20) : c) != kScheme[i]) return std::nullopt;
  }
  const size_t end = text.find_first_of("/?#", kScheme.size());
  const std::string host = text.substr(kScheme.size(), end - kScheme.size());
  if (host.empty() || host.find('@') != std::string::npos) return std::nullopt;
  return "https://" + host;
}

std::u16string normal_authority(std::u16string_view authority) {
  std::u16string out(authority);
  for (auto& unit : out) {
    if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
  }
  while (!out.empty() && out.back() == u'/') out.pop_back();
  return out;
}

std::optional<std::string> refusal(const Request& r) {
  if (r.correlation_id.empty()) return "the correlation id is empty";
  switch (r.op) {
    case Op::DiscoverAccountsAsync:
    case Op::SignOutSilentlyAsync:
      if (r.client_id.empty()) return "the client id is empty";
      return std::nullopt;
    case Op::ReadAccountByIdAsync:
      return std::nullopt;
    default:
      return auth_refusal(r);
  }
}

}  // namespace vessaemu
