// Small text builders for what the emulator writes in JSON: token claims, telemetry, client info.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

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
  std::string str() const { return body_.empty() ? "{}" : body_ + "}"; }

 private:
  std::string body_;
};

}  // namespace vessaemu
