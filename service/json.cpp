#include "service/json.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace zvq::json {

namespace {

bool IsDigit(char AChar) { return AChar >= '0' && AChar <= '9'; }

bool IsHexDigit(char AChar) {
  return IsDigit(AChar) || (AChar >= 'a' && AChar <= 'f') || (AChar >= 'A' && AChar <= 'F');
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsNumber(std::string_view AText) {
  std::size_t at = 0;
  auto digits = [&] {
    const std::size_t start = at;
    while (at < AText.size() && IsDigit(AText[at])) ++at;
    return at > start;
  };
  if (at < AText.size() && AText[at] == '-') ++at;
  if (at < AText.size() && AText[at] == '0') {
    ++at;
  } else if (!digits()) {
    return false;
  }
  if (at < AText.size() && AText[at] == '.' && (++at, !digits())) return false;
  if (at < AText.size() && (AText[at] == 'e' || AText[at] == 'E')) {
    ++at;
    if (at < AText.size() && (AText[at] == '+' || AText[at] == '-')) ++at;
    if (!digits()) return false;
  }
  return at == AText.size();
}

// The \u escape at AAt (a backslash, "u", four hex digits), when there is one.
std::optional<unsigned> EscapedUnit(std::string_view AText, std::size_t AAt) {
  if (AAt + 6 > AText.size() || AText[AAt] != '\\' || AText[AAt + 1] != 'u') return std::nullopt;
  unsigned unit = 0;
  for (std::size_t i = AAt + 2; i < AAt + 6; ++i) {
    if (!IsHexDigit(AText[i])) return std::nullopt;
    unit = unit * 16 + static_cast<unsigned>(IsDigit(AText[i]) ? AText[i] - '0' : (AText[i] | 0x20) - 'a' + 10);
  }
  return unit;
}

// Text the library refuses although it is valid JSON, rewritten before it parses: a number beyond a double
// (we keep numbers as their text, so their size does not matter) becomes the placeholder kNumberPlaceholder,
// its text set aside in order; a lone surrogate escape becomes \uFFFD, as an unpaired surrogate does
// everywhere in the launcher's text. Whether the text is JSON is still the library's decision: a token that
// is not valid is left as it stands.
constexpr std::string_view kNumberPlaceholder = "0e0";

struct PreparedText {
  std::string Text;
  std::vector<std::string_view> Numbers;
};

PreparedText Prepare(std::string_view AText) {
  // Numbers the library reads without fault; longer ones, and any with an exponent, are set aside.
  constexpr std::size_t kSafeNumberLength = 300;
  PreparedText prepared;
  std::string& out = prepared.Text;
  out.reserve(AText.size());
  std::size_t at = 0;
  while (at < AText.size()) {
    const char c = AText[at];
    if (c == '"') {
      out += c;
      ++at;
      while (at < AText.size() && AText[at] != '"') {
        if (AText[at] != '\\') {
          out += AText[at++];
          continue;
        }
        const std::optional<unsigned> unit = EscapedUnit(AText, at);
        if (!unit || *unit < 0xD800 || *unit > 0xDFFF) {
          out.append(AText.substr(at, 2));  // the backslash and what it escapes
          at += 2;
          continue;
        }
        const std::optional<unsigned> next = *unit <= 0xDBFF ? EscapedUnit(AText, at + 6) : std::nullopt;
        if (next && *next >= 0xDC00 && *next <= 0xDFFF) {
          out.append(AText.substr(at, 12));
          at += 12;
        } else {
          out += "\\uFFFD";
          at += 6;
        }
      }
      if (at < AText.size()) out += AText[at++];
    } else if (c == '-' || IsDigit(c)) {
      const std::size_t end = std::min(AText.find_first_not_of("0123456789+-.eE", at), AText.size());
      const std::string_view run = AText.substr(at, end - at);
      if (IsNumber(run) && (run.size() > kSafeNumberLength || run.find_first_of("eE") != std::string_view::npos)) {
        prepared.Numbers.push_back(run);
        out += kNumberPlaceholder;
      } else {
        out += run;
      }
      at = end;
    } else {
      out += c;
      ++at;
    }
  }
  return prepared;
}

// Forwards the reader's events to the document being built and stops the parse past the nesting limit;
// the iterative reader keeps the stack flat however deep the text tries to go.
template <class Handler>
class DepthLimitedHandler {
 public:
  DepthLimitedHandler(Handler& AHandler, const std::vector<std::string_view>& ANumbers)
      : FHandler(AHandler), FNumbers(ANumbers) {}

  bool Null() { return FHandler.Null(); }
  bool Bool(bool AValue) { return FHandler.Bool(AValue); }
  bool Int(int AValue) { return FHandler.Int(AValue); }
  bool Uint(unsigned AValue) { return FHandler.Uint(AValue); }
  bool Int64(std::int64_t AValue) { return FHandler.Int64(AValue); }
  bool Uint64(std::uint64_t AValue) { return FHandler.Uint64(AValue); }
  bool Double(double AValue) { return FHandler.Double(AValue); }
  bool RawNumber(const char* AText, rapidjson::SizeType ALength, bool ACopy) {
    // Only placeholders have an exponent: the numbers that had one were all set aside.
    if (std::string_view(AText, ALength) != kNumberPlaceholder) return FHandler.RawNumber(AText, ALength, ACopy);
    if (FNextNumber >= FNumbers.size()) return false;
    const std::string_view number = FNumbers[FNextNumber++];
    return FHandler.RawNumber(number.data(), static_cast<rapidjson::SizeType>(number.size()), true);
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
  const std::vector<std::string_view>& FNumbers;
  std::size_t FNextNumber = 0;
  int FDepth = 0;
};

class ReplyParser {
 public:
  explicit ReplyParser(const PreparedText& AText) : FText(AText) {}

  template <class Handler>
  bool operator()(Handler& ADocument) {
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::MemoryStream stream(FText.Text.data(), FText.Text.size());
    DepthLimitedHandler<Handler> limited(ADocument, FText.Numbers);
    rapidjson::Reader reader;
    FSucceeded = !reader.Parse<kFlags>(stream, limited).IsError();
    return FSucceeded;
  }

  bool Succeeded() const { return FSucceeded; }

 private:
  const PreparedText& FText;
  bool FSucceeded = false;
};

}  // namespace

std::optional<Document> Document::Parse(std::string_view AText) {
  // The library takes a NUL for the end of the text, so one would hide whatever follows it. JSON has no
  // place for a raw NUL: such a text is not JSON.
  if (AText.find('\0') != std::string_view::npos) return std::nullopt;
  const PreparedText prepared = Prepare(AText);
  auto document = std::make_unique<rapidjson::Document>();
  ReplyParser parser(prepared);
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
