// A parsed JSON value with the parsing and writing rules of the stored metadata texts:
// one value, at most 127 levels of nesting, objects as sorted maps (a repeated key keeps
// its last value), integers kept exact within 64 bits, other numbers as doubles. The IVF
// index reads and writes its "config.json" with it too.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamix::json {

struct Value;
using Object = std::map<std::string, Value>;  // std::string compares by bytes
using Array = std::vector<Value>;

struct Value {
  enum class Type : uint8_t { kNull, kBool, kUnsigned, kSigned, kDouble, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;
  std::string str;
  std::unique_ptr<Array> array;
  std::unique_ptr<Object> object;
};

// None when the text is not exactly one valid JSON value.
std::optional<Value> parse(std::string_view text);

// Compact form: no whitespace, object keys in byte order.
void write(const Value& value, std::string& out);

// The shortest text that reads back as the same double, laid out as in the stored texts:
// "1.0", "0.001", "1e21", "1.5e-7".
void write_double(double value, std::string& out);

// The shortest text that reads back as the same float, always without an exponent
// ("0.001", "50.0"). The value must be finite: JSON cannot hold another.
void write_plain_float(float value, std::string& out);

}  // namespace tamix::json
