#include "core/json_value.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace tamix::json {
namespace {

// Deeper nesting than this is refused, as the stored texts have always been parsed.
constexpr int kMaxDepth = 128;

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  std::optional<Value> parse_document() {
    Value v;
    skip_ws();
    if (!parse_value(v, kMaxDepth)) return std::nullopt;
    skip_ws();
    if (pos_ != s_.size()) return std::nullopt;  // trailing characters
    return v;
  }

 private:
  bool parse_value(Value& v, int depth) {
    if (pos_ >= s_.size()) return false;
    switch (s_[pos_]) {
      case 'n':
        return literal("null") && (v.type = Value::Type::kNull, true);
      case 't':
        return literal("true") && (v.type = Value::Type::kBool, v.boolean = true, true);
      case 'f':
        return literal("false") && (v.type = Value::Type::kBool, v.boolean = false, true);
      case '"':
        v.type = Value::Type::kString;
        return parse_string(v.str);
      case '[':
        return parse_array(v, depth - 1);
      case '{':
        return parse_object(v, depth - 1);
      default:
        return parse_number(v);
    }
  }

  bool literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool parse_array(Value& v, int depth) {
    v.type = Value::Type::kArray;
    v.array = std::make_unique<Array>();
    return depth > 0 && parse_items(']', [&] {
      v.array->emplace_back();
      return parse_value(v.array->back(), depth);
    });
  }

  bool parse_object(Value& v, int depth) {
    v.type = Value::Type::kObject;
    v.object = std::make_unique<Object>();
    return depth > 0 && parse_items('}', [&] {
      std::string key;
      if (!peek('"') || !parse_string(key)) return false;
      skip_ws();
      if (!peek(':')) return false;
      ++pos_;
      skip_ws();
      Value member;
      if (!parse_value(member, depth)) return false;
      (*v.object)[std::move(key)] = std::move(member);  // a repeated key keeps its last value
      return true;
    });
  }

  // The comma-separated items between the opening bracket at pos_ and `close`.
  template <class Item>
  bool parse_items(char close, const Item& item) {
    ++pos_;
    skip_ws();
    if (peek(close)) return ++pos_, true;
    while (true) {
      skip_ws();
      if (!item()) return false;
      skip_ws();
      if (!peek(',')) break;
      ++pos_;
    }
    return peek(close) && (++pos_, true);
  }

  bool parse_hex4(uint32_t& out) {
    if (s_.size() - pos_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      out <<= 4;
      if (c >= '0' && c <= '9')
        out |= c - '0';
      else if (c >= 'a' && c <= 'f')
        out |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        out |= c - 'A' + 10;
      else
        return false;
    }
    return true;
  }

  static void append_utf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // A \u escape; surrogates must pair up.
  bool parse_unicode_escape(std::string& out) {
    uint32_t cp;
    if (!parse_hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      uint32_t low;
      if (s_.substr(pos_, 2) != "\\u") return false;
      pos_ += 2;
      if (!parse_hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(cp, out);
    return true;
  }

  bool parse_string(std::string& out) {
    ++pos_;  // opening quote
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;  // raw control character
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) return false;
      switch (s_[pos_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u':
          if (!parse_unicode_escape(out)) return false;
          break;
        default:
          return false;
      }
    }
    return false;
  }

  bool digits(size_t& count) {
    size_t start = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    count = pos_ - start;
    return count > 0;
  }

  bool parse_number(Value& v) {
    size_t start = pos_;
    bool negative = peek('-');
    if (negative) ++pos_;
    size_t n;
    if (peek('0')) {
      ++pos_;
    } else if (!digits(n)) {
      return false;
    }
    bool integral = true;
    if (peek('.')) {
      ++pos_;
      integral = false;
      if (!digits(n)) return false;
    }
    if (peek('e') || peek('E')) {
      ++pos_;
      integral = false;
      if (peek('+') || peek('-')) ++pos_;
      if (!digits(n)) return false;
    }
    std::string_view lit = s_.substr(start, pos_ - start);
    if (integral && integer(lit, negative, v)) return true;
    // from_chars, unlike strtod, reads "1.5" the same under a comma-decimal locale.
    double d = 0;
    auto [end, ec] = std::from_chars(lit.data(), lit.data() + lit.size(), d);
    if (ec == std::errc::result_out_of_range) {
      if (!below_range(lit)) return false;
      d = negative ? -0.0 : 0.0;  // underflow reads as a zero of its sign
    } else if (ec != std::errc() || end != lit.data() + lit.size()) {
      return false;
    }
    v.type = Value::Type::kDouble;
    v.d = d;
    return true;
  }

  // For a valid literal out of the double range: true when it is too close to zero, false
  // when too large. The power of ten of its leading digit tells: past the range is >= 308,
  // short of it <= -324.
  static bool below_range(std::string_view lit) {
    if (lit.front() == '-') lit.remove_prefix(1);
    const size_t e = std::min(lit.find_first_of("eE"), lit.size());
    int64_t power = 0;
    if (e < lit.size()) {
      std::string_view exp = lit.substr(e + 1);
      const bool down = exp.front() == '-';
      if (exp.front() == '-' || exp.front() == '+') exp.remove_prefix(1);
      for (char c : exp) power = std::min<int64_t>(power * 10 + (c - '0'), int64_t{1} << 40);
      if (down) power = -power;
    }
    const std::string_view mantissa = lit.substr(0, e);
    const int64_t point = static_cast<int64_t>(std::min(mantissa.find('.'), mantissa.size()));
    const int64_t lead = static_cast<int64_t>(mantissa.find_first_not_of("0."));
    power += lead < point ? point - lead - 1 : point - lead;
    return power < 0;
  }

  // Integers keep their exact value when they fit 64 bits; "-0" is the double -0.0.
  static bool integer(std::string_view lit, bool negative, Value& v) {
    std::string_view mag = negative ? lit.substr(1) : lit;
    uint64_t u;
    auto [end, ec] = std::from_chars(mag.data(), mag.data() + mag.size(), u);
    if (ec != std::errc() || end != mag.data() + mag.size()) return false;
    if (!negative) {
      v.type = Value::Type::kUnsigned;
      v.u = u;
      return true;
    }
    if (u == 0 || u > (uint64_t{1} << 63)) return false;
    v.type = Value::Type::kSigned;
    v.i = static_cast<int64_t>(0 - u);
    return true;
  }

  bool peek(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
  void skip_ws() {
    while (pos_ < s_.size() && is_ws(s_[pos_])) ++pos_;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

void write_string(const std::string& s, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
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
          out += "\\u00";
          out += kHex[u >> 4];
          out += kHex[u & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// Shortest round-trip digits, laid out as in the stored texts ("1.0", "0.001", "1e21",
// "1.5e-7"), or always without an exponent when `plain`.
template <class T>
void write_shortest(T value, bool plain, std::string& out) {
  if (std::signbit(value)) out += '-';
  value = std::fabs(value);
  if (value == 0) {
    out += "0.0";
    return;
  }
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, res.ptr - buf);
  size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exp10 = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
  int length = static_cast<int>(digits.size());
  int kk = exp10 + 1;  // 10^(kk-1) <= value < 10^kk
  int k = kk - length;
  if (k >= 0 && (plain || kk <= 16)) {
    out += digits;
    out.append(k, '0');
    out += ".0";
  } else if (kk > 0 && (plain || kk <= 16)) {
    out += digits.substr(0, kk);
    out += '.';
    out += digits.substr(kk);
  } else if (kk <= 0 && (plain || kk > -5)) {
    out += "0.";
    out.append(-kk, '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(kk - 1);
  }
}

}  // namespace

std::optional<Value> parse(std::string_view text) { return Parser(text).parse_document(); }

void write_double(double value, std::string& out) { write_shortest(value, false, out); }

void write_plain_float(float value, std::string& out) {
  assert(std::isfinite(value));
  write_shortest(value, true, out);
}

void write(const Value& v, std::string& out) {
  switch (v.type) {
    case Value::Type::kNull:
      out += "null";
      break;
    case Value::Type::kBool:
      out += v.boolean ? "true" : "false";
      break;
    case Value::Type::kUnsigned:
      out += std::to_string(v.u);
      break;
    case Value::Type::kSigned:
      out += std::to_string(v.i);
      break;
    case Value::Type::kDouble:
      write_double(v.d, out);
      break;
    case Value::Type::kString:
      write_string(v.str, out);
      break;
    case Value::Type::kArray: {
      out += '[';
      bool first = true;
      for (const Value& item : *v.array) {
        if (!first) out += ',';
        first = false;
        write(item, out);
      }
      out += ']';
      break;
    }
    case Value::Type::kObject: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : *v.object) {
        if (!first) out += ',';
        first = false;
        write_string(key, out);
        out += ':';
        write(item, out);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace tamix::json
