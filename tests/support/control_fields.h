#pragma once

// The framing of the scripted service's control channel, shared by the service and its clients. A message
// is a sequence of fields, each written as its decimal length, ":", the bytes and ",", so bodies and
// header values travel byte for byte. One message goes each way per connection: the client sends its
// fields and shuts down its sending side; the service answers and closes. The first field of a request
// names the command; the first field of an answer is "ok" or "error" (then the reason).
//
//   info                                     -> ok, valid port, wrong-name port, expired port, CA PEM
//   reply, path, status, fault, interval ms, count, body, then name and value of each header
//                                            -> ok
//   requests                                 -> ok, then the raw bytes of each request received
//   clear                                    -> ok

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zvq::testing::control {

inline void AppendField(std::string& AMessage, std::string_view AField) {
  AMessage += std::to_string(AField.size());
  AMessage += ':';
  AMessage += AField;
  AMessage += ',';
}

inline std::string Message(const std::vector<std::string>& AFields) {
  std::string message;
  for (const auto& field : AFields) AppendField(message, field);
  return message;
}

inline std::vector<std::string> Fields(std::string_view AMessage) {
  std::vector<std::string> fields;
  while (!AMessage.empty()) {
    const auto colon = AMessage.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 19)
      throw std::runtime_error("control: bad length");
    std::size_t length = 0;
    for (char digit : AMessage.substr(0, colon)) {
      if (digit < '0' || digit > '9') throw std::runtime_error("control: bad length");
      length = length * 10 + static_cast<std::size_t>(digit - '0');
    }
    AMessage.remove_prefix(colon + 1);
    if (AMessage.size() <= length || AMessage[length] != ',')
      throw std::runtime_error("control: truncated field");
    fields.emplace_back(AMessage.substr(0, length));
    AMessage.remove_prefix(length + 1);
  }
  return fields;
}

}  // namespace zvq::testing::control
