// Small JSON builders for what the emulator writes (token claims, telemetry, client info, the
// request history) and a reader for what it is given (scenario documents).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "strings.hpp"

namespace vessaemu {

inline std::string base64url(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  if (i + 1 == bytes.size()) {
    const uint32_t n = byte(i) << 16;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
  } else if (i + 2 == bytes.size()) {
    const uint32_t n = (byte(i) << 16) | (byte(i + 1) << 8);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
  }
  return out;
}

// A JSON string literal, quotes included, of UTF-8 text.
inline std::string json_string(std::string_view utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

inline std::string json_string(const Text& text) {
  return text ? json_string(narrow(*text)) : std::string("null");
}

// A JSON string literal of UTF-16 units, in ASCII: every other unit is escaped on its own, so a
// reader gets back exactly these units, unpaired surrogates included.
inline std::string json_units(const Text& text) {
  if (!text) return "null";
  std::string out = "\"";
  for (const char16_t unit : *text) {
    if (unit == u'"' || unit == u'\\') {
      out += '\\';
      out += static_cast<char>(unit);
    } else if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
      out += escaped;
    }
  }
  out += '"';
  return out;
}

// Builds one JSON object member by member, in order.
class JsonObject {
 public:
  JsonObject& add_raw(std::string_view key, std::string_view json) {
    body_ += body_.empty() ? "{" : ",";
    body_ += json_string(key);
    body_ += ':';
    body_ += json;
    return *this;
  }
  JsonObject& add(std::string_view key, std::string_view utf8) {
    return add_raw(key, json_string(utf8));
  }
  JsonObject& add(std::string_view key, const Text& text) {
    return add_raw(key, json_string(text));
  }
  JsonObject& add(std::string_view key, int64_t number) {
    return add_raw(key, std::to_string(number));
  }
  JsonObject& add_units(std::string_view key, const Text& text) {
    return add_raw(key, json_units(text));
  }
  std::string str() const { return body_.empty() ? "{}" : body_ + "}"; }

 private:
  std::string body_;
};

// A parsed JSON value. Numbers are integers only: every number the emulator reads is a count of
// seconds, milliseconds or a status. Strings are UTF-16 units; \u escapes give their unit as it
// is, so unpaired surrogates survive.
struct JsonValue {
  enum class Type { Null, Bool, Integer, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  int64_t integer = 0;
  std::u16string string;
  std::vector<std::string> keys;  // an object's member names, in order (UTF-8)
  std::vector<JsonValue> items;   // an array's items, or an object's values beside `keys`
};

// Parses a whole document of strict UTF-8 text (RFC 8259: no overlong forms, no encoded
// surrogates, no duplicate member names, no leading zeros), of at most `max_values` values;
// throws std::runtime_error("line L, column C: ...").
JsonValue parse_json(std::string_view text, size_t max_values = SIZE_MAX);

}  // namespace vessaemu
