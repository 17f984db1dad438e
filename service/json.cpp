#include "service/json.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace zvq::json {

namespace {

// Forwards the reader's events to the document being built and stops the parse past the nesting limit;
// the iterative reader keeps the stack flat however deep the text tries to go.
template <class Handler>
class DepthLimitedHandler {
 public:
  explicit DepthLimitedHandler(Handler& AHandler) : FHandler(AHandler) {}

  bool Null() { return FHandler.Null(); }
  bool Bool(bool AValue) { return FHandler.Bool(AValue); }
  bool Int(int AValue) { return FHandler.Int(AValue); }
  bool Uint(unsigned AValue) { return FHandler.Uint(AValue); }
  bool Int64(std::int64_t AValue) { return FHandler.Int64(AValue); }
  bool Uint64(std::uint64_t AValue) { return FHandler.Uint64(AValue); }
  bool Double(double AValue) { return FHandler.Double(AValue); }
  bool RawNumber(const char* AText, rapidjson::SizeType ALength, bool ACopy) {
    return FHandler.RawNumber(AText, ALength, ACopy);
  }
  bool String(const char* AText, rapidjson::SizeType ALength, bool ACopy) {
    return FHandler.String(AText, ALength, ACopy);
  }
  bool Key(const char* AText, rapidjson::SizeType ALength, bool ACopy) {
    return FHandler.Key(AText, ALength, ACopy);
  }
  bool StartObject() { return Enter() && FHandler.StartObject(); }
  bool EndObject(rapidjson::SizeType ACount) { return Leave() && FHandler.EndObject(ACount); }
  bool StartArray() { return Enter() && FHandler.StartArray(); }
  bool EndArray(rapidjson::SizeType ACount) { return Leave() && FHandler.EndArray(ACount); }

 private:
  bool Enter() { return ++FDepth <= Document::kMaxDepth; }
  bool Leave() {
    --FDepth;
    return true;
  }

  Handler& FHandler;
  int FDepth = 0;
};

class ReplyParser {
 public:
  explicit ReplyParser(std::string_view AText) : FText(AText) {}

  template <class Handler>
  bool operator()(Handler& ADocument) {
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::MemoryStream stream(FText.data(), FText.size());
    DepthLimitedHandler<Handler> limited(ADocument);
    rapidjson::Reader reader;
    FSucceeded = !reader.Parse<kFlags>(stream, limited).IsError();
    return FSucceeded;
  }

  bool Succeeded() const { return FSucceeded; }

 private:
  std::string_view FText;
  bool FSucceeded = false;
};

}  // namespace

std::optional<Document> Document::Parse(std::string_view AText) {
  auto document = std::make_unique<rapidjson::Document>();
  ReplyParser parser(AText);
  document->Populate(parser);
  if (!parser.Succeeded()) return std::nullopt;
  return Document(std::move(document));
}

std::optional<Value> FindMember(const Value& AValue, std::string_view AName) {
  const rapidjson::Value& raw = AValue.Raw();
  if (!raw.IsObject()) return std::nullopt;
  // Linear from the front, so that the first of duplicated names is the one found.
  for (auto member = raw.MemberBegin(); member != raw.MemberEnd(); ++member) {
    std::string_view name(member->name.GetString(), member->name.GetStringLength());
    if (name == AName) return Value(member->value);
  }
  return std::nullopt;
}

std::optional<std::string> AsText(const Value& AValue) {
  const rapidjson::Value& raw = AValue.Raw();
  switch (raw.GetType()) {
    case rapidjson::kStringType:  // numbers are parsed as their literal text, so they land here too
      return std::string(raw.GetString(), raw.GetStringLength());
    case rapidjson::kTrueType:
      return std::string("true");
    case rapidjson::kFalseType:
      return std::string("false");
    case rapidjson::kNullType:
      return std::string();
    case rapidjson::kNumberType:
    case rapidjson::kObjectType:
    case rapidjson::kArrayType:
      break;
  }
  return std::nullopt;
}

std::string SerializeCodeRequest(std::u16string_view ACode) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string body = "{\"code\":\"";
  for (char16_t unit : ACode) {
    switch (unit) {
      case u'\b': body += "\\b"; break;
      case u'\t': body += "\\t"; break;
      case u'\n': body += "\\n"; break;
      case u'\f': body += "\\f"; break;
      case u'\r': body += "\\r"; break;
      case u'"': body += "\\\""; break;
      case u'/': body += "\\/"; break;
      case u'\\': body += "\\\\"; break;
      default:
        if (unit < 0x20 || unit > 0x7F) {
          body += "\\u";
          for (int shift = 12; shift >= 0; shift -= 4) body += kHex[(unit >> shift) & 0xF];
        } else {
          body += static_cast<char>(unit);
        }
    }
  }
  body += "\"}";
  return body;
}

}  // namespace zvq::json
