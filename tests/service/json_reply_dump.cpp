// Reads replies as "<length>\n<bytes>" records from standard input and writes one line for each: "invalid"
// when the reply parser gives no value, otherwise the value as compact JSON with every object's members
// after the first of each name dropped and every control character escaped. Numbers come out as strings,
// since the parser keeps them as their text. json_differential.py compares these lines with Python's json.
#include <iostream>
#include <iterator>
#include <set>
#include <string>

#include "service/json.h"

namespace {

void WriteString(std::string_view AText, std::string& AOut) {
  static constexpr char kHex[] = "0123456789abcdef";
  AOut += '"';
  for (const char c : AText) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      AOut += '\\';
      AOut += c;
    } else if (byte < 0x20) {
      AOut += "\\u00";
      AOut += kHex[byte >> 4];
      AOut += kHex[byte & 0xF];
    } else {
      AOut += c;
    }
  }
  AOut += '"';
}

void Write(const rapidjson::Value& AValue, std::string& AOut) {
  switch (AValue.GetType()) {
    case rapidjson::kObjectType: {
      AOut += '{';
      std::set<std::string_view> seen;
      for (auto member = AValue.MemberBegin(); member != AValue.MemberEnd(); ++member) {
        const std::string_view name(member->name.GetString(), member->name.GetStringLength());
        if (!seen.insert(name).second) continue;
        if (seen.size() > 1) AOut += ',';
        WriteString(name, AOut);
        AOut += ':';
        Write(member->value, AOut);
      }
      AOut += '}';
      break;
    }
    case rapidjson::kArrayType: {
      AOut += '[';
      bool first = true;
      for (const auto& element : AValue.GetArray()) {
        if (!first) AOut += ',';
        first = false;
        Write(element, AOut);
      }
      AOut += ']';
      break;
    }
    case rapidjson::kStringType:
      WriteString(std::string_view(AValue.GetString(), AValue.GetStringLength()), AOut);
      break;
    case rapidjson::kTrueType:
      AOut += "true";
      break;
    case rapidjson::kFalseType:
      AOut += "false";
      break;
    case rapidjson::kNullType:
      AOut += "null";
      break;
    case rapidjson::kNumberType:  // never made: numbers are kept as text
      AOut += "\"?number\"";
      break;
  }
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  while (std::getline(std::cin, line)) {
    std::string reply(std::stoul(line), '\0');
    if (!std::cin.read(reply.data(), static_cast<std::streamsize>(reply.size()))) return 1;
    const auto document = zvq::json::Document::Parse(reply);
    std::string out;
    if (document)
      Write(document->Root().Raw(), out);
    else
      out = "invalid";
    std::cout << out << '\n';
  }
  return 0;
}
