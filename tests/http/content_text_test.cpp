#include <gtest/gtest.h>
#include <zlib.h>

#include <clocale>
#include <string>

#include "service/ascii.h"
#include "service/http_client.h"

namespace zvq::http {
namespace {

std::string Gzip(const std::string& AText) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string output(deflateBound(&stream, AText.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(AText.data()));
  stream.avail_in = static_cast<uInt>(AText.size());
  stream.next_out = reinterpret_cast<Bytef*>(output.data());
  stream.avail_out = static_cast<uInt>(output.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

ByteStream Body(const std::string& ABytes) {
  ByteStream stream;
  EXPECT_TRUE(stream.Append(ABytes.data(), ABytes.size()));
  return stream;
}

Response With(std::vector<Header> AHeaders) {
  Response response;
  response.StatusCode = 200;
  response.Headers = std::move(AHeaders);
  return response;
}

TEST(ContentAsText, OnlyTheExactContentEncodingGzipIsInflated) {
  const std::string text = R"({"response":{"url":"https://example.test/a"}})";
  const std::string packed = Gzip(text);
  EXPECT_EQ(ContentAsText(With({{"Content-Encoding", "gzip"}}), Body(packed), 1 << 20), text);
  for (const char* encoding : {"GZIP", "x-gzip", "deflate", ""}) {
    SCOPED_TRACE(encoding);
    // Left as received: the raw gzip bytes, decoded as UTF-8 with replacements, are not the text.
    EXPECT_NE(ContentAsText(With({{"Content-Encoding", encoding}}), Body(packed), 1 << 20), text);
  }
  // Several gzip members make one text.
  EXPECT_EQ(ContentAsText(With({{"Content-Encoding", "gzip"}}), Body(Gzip("ab") + Gzip("cd")), 100), "abcd");
}

TEST(ContentAsText, InflatingStopsAtTheLimit) {
  const std::string text(10'000, 'z');
  EXPECT_EQ(ContentAsText(With({{"Content-Encoding", "gzip"}}), Body(Gzip(text)), 10'000).size(), 10'000u);
  EXPECT_THROW(ContentAsText(With({{"Content-Encoding", "gzip"}}), Body(Gzip(text)), 9'999), EResponseTooLarge);
}

TEST(ContentAsText, TheDecodedTextStopsAtTheLimitToo) {
  // Latin-1 doubles in UTF-8: a small gzip body within the limit must not become a text beyond it.
  const auto latin1 = With({{"Content-Type", "text/plain; charset=iso-8859-1"}, {"Content-Encoding", "gzip"}});
  EXPECT_EQ(ContentAsText(latin1, Body(Gzip(std::string(200'000, '\xE9'))), 400'000).size(), 400'000u);
  EXPECT_THROW(ContentAsText(latin1, Body(Gzip(std::string(200'001, '\xE9'))), 400'000), EResponseTooLarge);
}

TEST(ContentAsText, CorruptOrTruncatedGzipIsAClientError) {
  const std::string packed = Gzip("some reply text that is long enough");
  std::string flipped = packed;
  flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x55);
  for (const std::string& bad : {packed.substr(0, packed.size() - 6), flipped, std::string("not gzip at all"),
                                 std::string()}) {
    try {
      ContentAsText(With({{"Content-Encoding", "gzip"}}), Body(bad), 1 << 20);
      ADD_FAILURE() << "accepted " << bad.size() << " bytes";
    } catch (const EResponseTooLarge&) {
      ADD_FAILURE() << "reported as too large";
    } catch (const ENetHTTPClientException& error) {
      EXPECT_TRUE(error.Message().starts_with("The reply's gzip content is corrupt")) << error.Message();
    }
  }
}

TEST(ContentAsText, TheContentTypeCharsetDecidesTheDecoding) {
  struct Row {
    const char* Name;
    const char* ContentType;
    std::string Bytes;
    std::string Text;
  };
  const Row rows[] = {
      {"no charset means UTF-8", "application/json", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"no Content-Type at all", nullptr, "caf\xC3\xA9", "caf\xC3\xA9"},
      {"latin-1", "text/plain; charset=iso-8859-1", "caf\xE9", "caf\xC3\xA9"},
      {"quoted, upper-case parameter name", "text/plain; CHARSET=\"ISO-8859-1\"", "caf\xE9", "caf\xC3\xA9"},
      {"charset after another parameter", "text/plain; format=flowed; charset=windows-1252", "\x80", "\xE2\x82\xAC"},
      {"a quoted semicolon in an earlier parameter", "text/plain; x=\"a;charset=utf-16\"; charset=iso-8859-1", "\xE9",
       "\xC3\xA9"},
      {"empty charset means UTF-8", "text/plain; charset=", "ok", "ok"},
      {"invalid UTF-8 becomes U+FFFD", "application/json; charset=utf-8", "a\xFF" "b", "a\xEF\xBF\xBD" "b"},
      {"a UTF-8 byte-order mark is dropped", "application/json", "\xEF\xBB\xBF{}", "{}"},
      {"a UTF-16 byte-order mark is dropped", "application/json; charset=UTF-16LE", std::string("\xFF\xFE{\0}\0", 6),
       "{}"},
      {"only the first byte-order mark", nullptr, "\xEF\xBB\xBF\xEF\xBB\xBF", "\xEF\xBB\xBF"},
      {"an upper-case parameter name holding an I", "text/plain; CHARSET=iso-8859-1", "\xE9", "\xC3\xA9"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    std::vector<Header> headers;
    if (row.ContentType != nullptr) headers.push_back({"Content-Type", row.ContentType});
    EXPECT_EQ(ContentAsText(With(headers), Body(row.Bytes), 1 << 20), row.Text);
  }
}

TEST(ContentAsText, AnUnknownCharsetIsAnEncodingError) {
  try {
    ContentAsText(With({{"Content-Type", "application/json; charset=x-no-such-set"}}), Body("{}"), 100);
    FAIL() << "decoded with an unknown charset";
  } catch (const EEncodingError& error) {
    EXPECT_EQ(error.Message(), "Invalid encoding name");
  }
}

// The window toolkit sets the process locale from the user's environment.
class TurkishLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::setlocale(LC_ALL, "tr_TR.UTF-8") == nullptr) GTEST_SKIP() << "no tr_TR.UTF-8 locale here";
  }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(TurkishLocale, HeaderNamesMatchByAsciiCaseOnly) {
  const Response response = With({{"CONTENT-ENCODING", "gzip"}, {"LOCATION", "/next"}, {"Content-Type", "x"}});
  EXPECT_EQ(response.HeaderValue("Content-Encoding"), "gzip");
  EXPECT_EQ(response.HeaderValue("location"), "/next");
  EXPECT_EQ(ContentAsText(With({{"CONTENT-ENCODING", "gzip"}}), Body(Gzip("{}")), 100), "{}");
  // Letters beyond ASCII are never folded, whatever the locale says of them.
  EXPECT_TRUE(ascii::EqualsIgnoringCase("LOCATION", "location"));
  EXPECT_FALSE(ascii::EqualsIgnoringCase("\xC4", "\xE4"));
  EXPECT_FALSE(ascii::EqualsIgnoringCase("\xC4\xB0", "i"));
}

TEST(ContentAsText, GzipIsInflatedBeforeTheCharsetDecodes) {
  EXPECT_EQ(ContentAsText(With({{"Content-Type", "text/plain; charset=iso-8859-1"}, {"Content-Encoding", "gzip"}}),
                          Body(Gzip("caf\xE9")), 100),
            "caf\xC3\xA9");
}

}  // namespace
}  // namespace zvq::http
