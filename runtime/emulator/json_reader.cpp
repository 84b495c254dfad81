// The JSON reader of scenario documents (json.hpp).
#include <stdexcept>
#include <unordered_set>

#include "json.hpp"

namespace vessaemu {
namespace {

constexpr int kMaxDepth = 64;

class Reader {
 public:
  Reader(std::string_view text, size_t max_values) : text_(text), values_left_(max_values) {}

  JsonValue document() {
    JsonValue value = parse(0);
    skip_space();
    if (at_ < text_.size()) fail("unexpected text after the document");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    int line = 1, column = 1;
    for (size_t i = 0; i < at_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    throw std::runtime_error("line " + std::to_string(line) + ", column " + std::to_string(column) +
                             ": " + what);
  }

  void skip_space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  bool take(char c) {
    skip_space();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  void expect(char c) {
    if (!take(c)) fail(std::string("expected '") + c + "'");
  }

  bool take_word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  JsonValue parse(int depth) {
    if (depth > kMaxDepth) fail("nested too deeply");
    skip_space();
    if (at_ >= text_.size()) fail("unexpected end of the document");
    if (values_left_ == 0) fail("too many values");
    --values_left_;
    JsonValue value;
    const char c = text_[at_];
    if (c == '{') {
      ++at_;
      value.type = JsonValue::Type::Object;
      if (take('}')) return value;
      std::unordered_set<std::string> names;
      do {
        skip_space();
        if (at_ >= text_.size() || text_[at_] != '"') fail("expected a member name in quotes");
        const size_t name_at = at_;
        value.keys.push_back(narrow(string()));
        if (!names.insert(value.keys.back()).second) {
          at_ = name_at;
          fail("the member \"" + value.keys.back() + "\" appears twice");
        }
        expect(':');
        value.items.push_back(parse(depth + 1));
      } while (take(','));
      expect('}');
    } else if (c == '[') {
      ++at_;
      value.type = JsonValue::Type::Array;
      if (take(']')) return value;
      do {
        value.items.push_back(parse(depth + 1));
      } while (take(','));
      expect(']');
    } else if (c == '"') {
      value.type = JsonValue::Type::String;
      value.string = string();
    } else if (take_word("true") || take_word("false")) {
      value.type = JsonValue::Type::Bool;
      value.boolean = c == 't';
    } else if (take_word("null")) {
      value.type = JsonValue::Type::Null;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      value.type = JsonValue::Type::Integer;
      value.integer = integer();
    } else {
      fail("expected a value");
    }
    return value;
  }

  int64_t integer() {
    const bool negative = text_[at_] == '-';
    if (negative) ++at_;
    if (at_ >= text_.size() || text_[at_] < '0' || text_[at_] > '9') fail("expected a digit");
    if (text_[at_] == '0' && at_ + 1 < text_.size() && text_[at_ + 1] >= '0' &&
        text_[at_ + 1] <= '9') {
      fail("a number with a leading zero");
    }
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      const unsigned digit = static_cast<unsigned>(text_[at_++] - '0');
      if (magnitude > (limit - digit) / 10) fail("the number does not fit in 64 bits");
      magnitude = magnitude * 10 + digit;
    }
    if (at_ < text_.size() && (text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E')) {
      fail("only whole numbers are accepted");
    }
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  }

  unsigned hex_digit() {
    if (at_ >= text_.size()) fail("unexpected end in a \\u escape");
    const char c = text_[at_++];
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    fail("expected a hexadecimal digit");
  }

  // A string at `at_` (its opening quote); UTF-8 between escapes becomes UTF-16.
  std::u16string string() {
    ++at_;
    std::u16string out;
    size_t run = at_;
    auto flush = [&] { out += widen(text_.substr(run, at_ - run)); };
    for (;;) {
      if (at_ >= text_.size()) fail("unterminated string");
      const char c = text_[at_];
      if (c == '"') {
        flush();
        ++at_;
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20) fail("a control character in a string");
      if (static_cast<unsigned char>(c) >= 0x80) {
        at_ += utf8_sequence();
        continue;
      }
      if (c != '\\') {
        ++at_;
        continue;
      }
      flush();
      if (++at_ >= text_.size()) fail("unterminated string");
      const char e = text_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += static_cast<char16_t>(e);
          break;
        case 'b':
          out += u'\b';
          break;
        case 'f':
          out += u'\f';
          break;
        case 'n':
          out += u'\n';
          break;
        case 'r':
          out += u'\r';
          break;
        case 't':
          out += u'\t';
          break;
        case 'u': {
          unsigned unit = 0;
          for (int k = 0; k < 4; ++k) unit = unit * 16 + hex_digit();
          out += static_cast<char16_t>(unit);
          break;
        }
        default:
          --at_;
          fail("unknown escape");
      }
      run = at_;
    }
  }

  // The length of the UTF-8 sequence of one character at `at_`, checked strictly: no overlong
  // form (C0 80 for U+0000), no surrogate (ED A0 80), nothing above U+10FFFF, nothing cut short.
  size_t utf8_sequence() {
    const auto byte = [&](size_t k) {
      return at_ + k < text_.size() ? static_cast<unsigned char>(text_[at_ + k]) : 0u;
    };
    const unsigned lead = byte(0);
    size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
      if (lead == 0xED) high = 0x9F;  // U+D800..U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong below U+10000
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      fail("invalid UTF-8 (an overlong form or a stray byte)");
    }
    for (size_t k = 1; k < length; ++k) {
      const unsigned next = byte(k);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
        fail("invalid UTF-8 (an overlong form, a surrogate or a cut sequence)");
      }
    }
    return length;
  }

  std::string_view text_;
  size_t at_ = 0;
  size_t values_left_;
};

}  // namespace

JsonValue parse_json(std::string_view text, size_t max_values) {
  return Reader(text, max_values).document();
}

}  // namespace vessaemu
