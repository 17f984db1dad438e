#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

namespace zvq::json {

// A view into a parsed reply; valid while its Document lives.
class Value {
 public:
  explicit Value(const rapidjson::Value& AValue) : FValue(&AValue) {}
  const rapidjson::Value& Raw() const { return *FValue; }

 private:
  const rapidjson::Value* FValue;
};

// A parsed validation reply. Numbers are kept as the text they stood as, whatever their size; an escaped
// surrogate without its partner is U+FFFD; a member name that occurs twice is found at its first occurrence.
class Document {
 public:
  static constexpr int kMaxDepth = 512;

  // A value only when the whole text (surrounding whitespace aside; a NUL is no end) is exactly one JSON
  // value nested no deeper than kMaxDepth; any other text gives none and raises nothing.
  static std::optional<Document> Parse(std::string_view AText);

  Value Root() const { return Value(*FDocument); }

 private:
  explicit Document(std::unique_ptr<rapidjson::Document> ADocument) : FDocument(std::move(ADocument)) {}
  std::unique_ptr<rapidjson::Document> FDocument;
};

// The member's value when AValue is an object that has it.
std::optional<Value> FindMember(const Value& AValue, std::string_view AName);

// A JSON string's value, a number's literal text, "true"/"false", "" for null; nothing for objects and arrays.
std::optional<std::string> AsText(const Value& AValue);

// {"code":"<ACode>"} in 7-bit ASCII: the control characters with short escapes use them, the quote, solidus and
// backslash are escaped, and every other unit below 0x20 or above 0x7F becomes \u with upper-case hex digits.
std::string SerializeCodeRequest(std::u16string_view ACode);

}  // namespace zvq::json
