// The error value of every fallible operation: a cause plus a chain of context messages.
// Display shows only the outermost message. Values are plain; no thread-safety concerns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamix {

class Error {
 public:
  // kInvalidInput marks a refusal of the caller's input (ValueError at the Python boundary).
  enum class Kind : uint8_t { kMessage, kSystem, kSerialization, kKeyValue, kInvalidInput };

  static Error Message(std::string text);
  // Reads like "No such file or directory (os error 2)".
  static Error System(int os_code);
  static Error Serialization(std::string text);
  static Error KeyValue(std::string text);
  static Error InvalidInput(std::string text);

  // Wraps the error in one more message, which becomes the outermost.
  Error Context(std::string message) &&;

  // The outermost message: the last context added, else the cause's text.
  const std::string& message() const;
  // Every message, outermost first, the cause's text last.
  std::vector<std::string> chain() const;

  Kind kind() const { return kind_; }
  int os_code() const { return os_code_; }  // 0 unless kind() is kSystem

 private:
  Error(Kind kind, std::string cause, int os_code = 0)
      : kind_(kind), os_code_(os_code), cause_(std::move(cause)) {}

  Kind kind_;
  int os_code_;
  std::string cause_;
  std::vector<std::string> contexts_;  // innermost first
};

}  // namespace tamix
