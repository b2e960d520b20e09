#include "core/error.h"

#include <cstring>

namespace tamix {

Error Error::Message(std::string text) { return Error(Kind::kMessage, std::move(text)); }

Error Error::System(int os_code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(os_code, buf, sizeof buf);
  return Error(Kind::kSystem, std::string(text) + " (os error " + std::to_string(os_code) + ")",
               os_code);
}

Error Error::Serialization(std::string text) {
  return Error(Kind::kSerialization, std::move(text));
}

Error Error::KeyValue(std::string text) { return Error(Kind::kKeyValue, std::move(text)); }

Error Error::InvalidInput(std::string text) { return Error(Kind::kInvalidInput, std::move(text)); }

Error Error::Context(std::string message) && {
  contexts_.push_back(std::move(message));
  return std::move(*this);
}

const std::string& Error::message() const { return contexts_.empty() ? cause_ : contexts_.back(); }

std::vector<std::string> Error::chain() const {
  std::vector<std::string> out(contexts_.rbegin(), contexts_.rend());
  out.push_back(cause_);
  return out;
}

}  // namespace tamix
