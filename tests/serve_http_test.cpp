// Tests of the serve host's HTTP layer on byte strings: request heads,
// body framing, ranges and multipart/form-data bodies, each fed whole, a
// byte at a time and in random pieces.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "host/serve/http_message.h"
#include "host/serve/multipart.h"

namespace {

using parcel::host::BodyDecoder;
using parcel::host::HttpRequest;
using parcel::host::MultipartParser;
using parcel::host::RangeAnswer;
using parcel::host::RequestHeadParser;

// Splits of `size` bytes: whole, a byte at a time, and random pieces.
std::vector<std::vector<std::size_t>> Splits(std::size_t size) {
  std::vector<std::vector<std::size_t>> splits = {{size}, std::vector<std::size_t>(size, 1)};
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::size_t> pieces;
    for (std::size_t left = size; left > 0;) {
      std::size_t piece = std::min<std::size_t>(left, 1 + random() % 23);
      pieces.push_back(piece);
      left -= piece;
    }
    splits.push_back(pieces);
  }
  return splits;
}

// Parses `bytes` as it would arrive in `pieces`; the parser sees all bytes so far each time.
RequestHeadParser::Result ParseInPieces(RequestHeadParser& parser, const std::string& bytes,
                                        const std::vector<std::size_t>& pieces) {
  std::size_t have = 0;
  RequestHeadParser::Result result = RequestHeadParser::Result::kNeedMore;
  for (std::size_t piece : pieces) {
    have += piece;
    result = parser.Parse(std::string_view(bytes).substr(0, have));
    if (result != RequestHeadParser::Result::kNeedMore) break;
  }
  return result;
}

TEST(HttpHead, SameRequestWholeByteByByteAndInPieces) {
  const std::string head =
      "\r\nPOST http://example.org/up%20load?x=1 HTTP/1.1\r\nHost: example.org\r\n"
      "Content-Length: 12\r\nX-Parcel-Token:  abc \r\nExpect: 100-continue\n"
      "Cookie: a=b\r\nCookie: c=d\r\n\r\n";
  const std::string bytes = head + "next request";
  for (const auto& pieces : Splits(bytes.size())) {
    RequestHeadParser parser;
    ASSERT_EQ(ParseInPieces(parser, bytes, pieces), RequestHeadParser::Result::kDone);
    EXPECT_EQ(parser.consumed(), head.size());
    const HttpRequest& r = parser.request();
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/up load");
    EXPECT_EQ(r.content_length, 12u);
    EXPECT_FALSE(r.chunked);
    EXPECT_TRUE(r.keep_alive);
    EXPECT_TRUE(r.expect_continue);
    ASSERT_NE(r.Header("x-parcel-token"), nullptr);
    EXPECT_EQ(*r.Header("x-parcel-token"), "abc");
    EXPECT_EQ(r.HeaderCount("cookie"), 2u);
  }
}

TEST(HttpHead, FramingAndConnectionFields) {
  struct Case {
    const char* what;
    std::string fields;  // after the request line
    const char* version;
    int status;  // 0: accepted
    std::optional<std::uint64_t> length;
    bool chunked;
    bool keep_alive;
  };
  const std::string max = "18446744073709551615";
  const std::vector<Case> cases = {
      {"no body", "Host: h\r\n", "HTTP/1.1", 0, std::nullopt, false, true},
      {"largest length", "Host: h\r\nContent-Length: " + max + "\r\n", "HTTP/1.1", 0,
       ~std::uint64_t{0}, false, true},
      {"chunked", "Host: h\r\nTransfer-Encoding: Chunked\r\n", "HTTP/1.1", 0, std::nullopt, true,
       true},
      {"close", "Host: h\r\nConnection: keep-alive, close\r\n", "HTTP/1.1", 0, std::nullopt, false,
       false},
      {"HTTP/1.0", "", "HTTP/1.0", 0, std::nullopt, false, false},
      {"HTTP/1.0 kept alive", "Connection: Keep-Alive\r\n", "HTTP/1.0", 0, std::nullopt, false,
       true},
      {"negative length", "Host: h\r\nContent-Length: -1\r\n", "HTTP/1.1", 400, std::nullopt, false,
       false},
      {"length past 2^64", "Host: h\r\nContent-Length: 18446744073709551621\r\n", "HTTP/1.1", 400,
       std::nullopt, false, false},
      {"length list", "Host: h\r\nContent-Length: 5, 5\r\n", "HTTP/1.1", 400, std::nullopt, false,
       false},
      {"length with sign", "Host: h\r\nContent-Length: +5\r\n", "HTTP/1.1", 400, std::nullopt,
       false, false},
      {"empty length", "Host: h\r\nContent-Length:\r\n", "HTTP/1.1", 400, std::nullopt, false,
       false},
      {"two lengths", "Host: h\r\nContent-Length: 5\r\nContent-Length: 6\r\n", "HTTP/1.1", 400,
       std::nullopt, false, false},
      {"the same length twice", "Host: h\r\nContent-Length: 5\r\nContent-Length: 5\r\n", "HTTP/1.1",
       400, std::nullopt, false, false},
      {"length and chunks", "Host: h\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n",
       "HTTP/1.1", 400, std::nullopt, false, false},
      {"other coding", "Host: h\r\nTransfer-Encoding: gzip, chunked\r\n", "HTTP/1.1", 501,
       std::nullopt, false, false},
      {"chunks in HTTP/1.0", "Transfer-Encoding: chunked\r\n", "HTTP/1.0", 400, std::nullopt, false,
       false},
      {"no host", "", "HTTP/1.1", 400, std::nullopt, false, false},
      {"two hosts", "Host: a\r\nHost: b\r\n", "HTTP/1.1", 400, std::nullopt, false, false},
      {"space before colon", "Host : h\r\n", "HTTP/1.1", 400, std::nullopt, false, false},
      {"folded field", "Host: h\r\nX-A: a\r\n  b\r\n", "HTTP/1.1", 400, std::nullopt, false, false},
      {"bare CR", "Host: h\r\nX-A: a\rb\r\n", "HTTP/1.1", 400, std::nullopt, false, false},
      {"NUL", std::string("Host: h\r\nX-A: a\0b\r\n", 19), "HTTP/1.1", 400, std::nullopt, false,
       false},
      {"no colon", "Host: h\r\nnonsense\r\n", "HTTP/1.1", 400, std::nullopt, false, false},
      {"HTTP/2", "Host: h\r\n", "HTTP/2.0", 505, std::nullopt, false, false},
      {"not HTTP", "Host: h\r\n", "FTP/1.1", 400, std::nullopt, false, false},
  };
  for (const Case& c : cases) {
    RequestHeadParser parser;
    const std::string head = "GET / " + std::string(c.version) + "\r\n" + c.fields + "\r\n";
    const auto result = parser.Parse(head);
    if (c.status != 0) {
      EXPECT_EQ(result, RequestHeadParser::Result::kError) << c.what;
      EXPECT_EQ(parser.status(), c.status) << c.what;
      EXPECT_FALSE(parser.message().empty()) << c.what;
      continue;
    }
    ASSERT_EQ(result, RequestHeadParser::Result::kDone) << c.what << ": " << parser.message();
    EXPECT_EQ(parser.request().content_length, c.length) << c.what;
    EXPECT_EQ(parser.request().chunked, c.chunked) << c.what;
    EXPECT_EQ(parser.request().keep_alive, c.keep_alive) << c.what;
  }
}

TEST(HttpHead, RequestLinesAndLimits) {
  struct Case {
    std::string line;
    int status;  // 0: accepted
    const char* path;
  };
  const std::vector<Case> cases = {
      {"GET /a%2Fb%20c?q=%zz HTTP/1.1", 0, "/a/b c"},
      {"GET https://h:8080 HTTP/1.1", 0, "/"},
      {"GET  / HTTP/1.1", 400, ""},
      {"GET / HTTP/1.1 x", 400, ""},
      {"G(T / HTTP/1.1", 400, ""},
      {"GET * HTTP/1.1", 400, ""},
      {"GET /a%zz HTTP/1.1", 400, ""},
      {"GET /a%0 HTTP/1.1", 400, ""},
      {"GET /a%00b HTTP/1.1", 400, ""},
  };
  for (const Case& c : cases) {
    RequestHeadParser parser;
    const auto result = parser.Parse(c.line + "\r\nHost: h\r\n\r\n");
    EXPECT_EQ(result == RequestHeadParser::Result::kError ? parser.status() : 0, c.status)
        << c.line;
    if (c.status == 0) EXPECT_EQ(parser.request().path, c.path) << c.line;
  }
  // A head of exactly the limit passes; one byte more, or one field more, does not.
  const std::string start = "GET / HTTP/1.1\r\nHost: h\r\nX-Pad: ";
  const std::string exact =
      start + std::string(parcel::host::kMaxHeadBytes - start.size() - 4, 'p');
  RequestHeadParser at_limit;
  EXPECT_EQ(at_limit.Parse(exact + "\r\n\r\n"), RequestHeadParser::Result::kDone);
  RequestHeadParser over;
  EXPECT_EQ(over.Parse(exact + "p\r\n\r\n"), RequestHeadParser::Result::kError);
  EXPECT_EQ(over.status(), 431);
  RequestHeadParser endless;
  EXPECT_EQ(endless.Parse(start + std::string(parcel::host::kMaxHeadBytes, 'p')),
            RequestHeadParser::Result::kError);
  EXPECT_EQ(endless.status(), 431);
  std::string fields = "GET / HTTP/1.1\r\nHost: h\r\n";
  for (std::size_t i = 1; i < parcel::host::kMaxHeaderFields; ++i) fields += "X-A: a\r\n";
  RequestHeadParser hundred;
  EXPECT_EQ(hundred.Parse(fields + "\r\n"), RequestHeadParser::Result::kDone);
  RequestHeadParser hundred_one;
  EXPECT_EQ(hundred_one.Parse(fields + "X-A: a\r\n\r\n"), RequestHeadParser::Result::kError);
  EXPECT_EQ(hundred_one.status(), 431);
}

// Decodes `in` as it would arrive in `pieces`; returns the content, and
// the bytes left after the body in `*rest`; "<error>" on an error.
std::string DecodeInPieces(BodyDecoder decoder, const std::string& in,
                           const std::vector<std::size_t>& pieces, std::string* rest) {
  std::string content, pending;
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    pending += in.substr(at, piece);
    at += piece;
    std::string_view data = pending;
    for (;;) {
      std::string_view out;
      std::size_t used = 0;
      const auto result = decoder.Decode(data, &out, &used);
      if (result == BodyDecoder::Result::kError) return "<error>";
      content.append(out);
      data.remove_prefix(used);
      if (result == BodyDecoder::Result::kDone) {
        *rest = std::string(data) + in.substr(at);
        return content;
      }
      if (data.empty()) break;
    }
    pending = std::string(data);
  }
  *rest = "<unfinished>";
  return content;
}

TEST(HttpBody, ChunksAndLengthsDecodeTheSameInEverySplit) {
  const std::string chunked =
      "4\r\nWiki\r\n5;name=value\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nTrailer: x\r\n\r\n";
  for (const auto& pieces : Splits(chunked.size() + 4)) {
    std::string rest;
    EXPECT_EQ(DecodeInPieces(BodyDecoder::Chunked(), chunked + "NEXT", pieces, &rest),
              "Wikipedia in\r\n\r\nchunks.");
    EXPECT_EQ(rest, "NEXT");
  }
  for (const auto& pieces : Splits(14)) {
    std::string rest;
    EXPECT_EQ(DecodeInPieces(BodyDecoder::WithLength(10), "0123456789GET ", pieces, &rest),
              "0123456789");
    EXPECT_EQ(rest, "GET ");
  }
  std::string rest;
  EXPECT_EQ(DecodeInPieces(BodyDecoder::WithLength(0), "GET", {3}, &rest), "");
  EXPECT_EQ(rest, "GET");
}

TEST(HttpBody, MalformedChunksAreErrors) {
  const std::vector<std::string> bodies = {
      "g\r\nxxxx\r\n0\r\n\r\n",                                     // not hex
      "\r\n",                                                       // no size
      "12345678901234567\r\n",                                      // 17 digits
      "4 x\r\nWiki\r\n0\r\n\r\n",                                   // junk after the size
      "4\r\nWikiX\r\n0\r\n\r\n",                                    // no CRLF after the data
      "4\r\nWiki\r\n0\r\n" + std::string(20000, 't') + "\r\n\r\n",  // endless trailer
      std::string(20000, '0'),                                      // endless size line
      "4\rx\nWiki\r\n0\r\n\r\n",                                    // a bare CR
  };
  for (const std::string& body : bodies) {
    for (const auto& pieces :
         {std::vector<std::size_t>{body.size()}, std::vector<std::size_t>(body.size(), 1)}) {
      std::string rest;
      EXPECT_EQ(DecodeInPieces(BodyDecoder::Chunked(), body, pieces, &rest), "<error>")
          << body.substr(0, 40);
    }
  }
}

TEST(HttpRange, ResolvesAsRfc9110Says) {
  using enum RangeAnswer::Kind;
  struct Case {
    std::string value;
    RangeAnswer::Kind kind;
    std::uint64_t first, length;
  };
  std::string hundred = "bytes=";
  for (int i = 0; i < 100; ++i) hundred += i ? ",0-9" : "0-9";
  const std::vector<Case> cases = {
      {"bytes=10-20", kPart, 10, 11},
      {"bytes=0-100000", kPart, 0, 119},
      {"bytes=118-118", kPart, 118, 1},
      {"bytes=100-", kPart, 100, 19},
      {"bytes=-10", kPart, 109, 10},
      {"bytes=-200", kPart, 0, 119},
      {"BYTES = 1-2", kPart, 1, 2},
      {"bytes=0-18446744073709551616", kPart, 0, 119},
      {"bytes=119-", kUnsatisfiable, 0, 0},
      {"bytes=999999-", kUnsatisfiable, 0, 0},
      {"bytes=18446744073709551616-", kUnsatisfiable, 0, 0},
      {"bytes=-0", kUnsatisfiable, 0, 0},
      {"bytes=0-1,5-9", kWhole, 0, 0},
      {hundred, kWhole, 0, 0},
      {"bytes=5-4", kWhole, 0, 0},
      {"bytes=abc", kWhole, 0, 0},
      {"bytes=", kWhole, 0, 0},
      {"items=0-5", kWhole, 0, 0},
      {"bytes=1-2x", kWhole, 0, 0},
  };
  for (const Case& c : cases) {
    const RangeAnswer answer = parcel::host::ResolveRange(c.value, 119);
    EXPECT_EQ(answer.kind, c.kind) << c.value;
    if (c.kind == kPart) {
      EXPECT_EQ(answer.range.first, c.first) << c.value;
      EXPECT_EQ(answer.range.length, c.length) << c.value;
    }
  }
}

TEST(HttpText, DatesAndPercentEscapes) {
  EXPECT_EQ(parcel::host::HttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(parcel::host::HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(parcel::host::PercentEncode("docs\\caf\xc3\xa9 1,2.txt"),
            "docs%5Ccaf%C3%A9%201%2C2.txt");
  std::string decoded;
  EXPECT_TRUE(parcel::host::PercentDecode("docs%5Ccaf%C3%a9%201%2C2.txt", &decoded));
  EXPECT_EQ(decoded, "docs\\caf\xc3\xa9 1,2.txt");
  for (const char* bad : {"%", "%4", "%g0", "a%00"}) {
    EXPECT_FALSE(parcel::host::PercentDecode(bad, &decoded)) << bad;
  }
}

// Records what the parser hands over, as text.
class Recorder : public parcel::host::MultipartSink {
 public:
  bool BeginPart(std::string_view field, std::string_view file_name) override {
    log += "[" + std::string(field) + "|" + std::string(file_name) + "]";
    return refuse_part.empty() || field != refuse_part;
  }
  bool AddContent(std::string_view bytes) override {
    log.append(bytes);
    return true;
  }
  std::string log;
  std::string refuse_part;
};

MultipartParser::Result FeedInPieces(MultipartParser& parser, Recorder& sink,
                                     const std::string& body,
                                     const std::vector<std::size_t>& pieces) {
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    const auto result = parser.Feed(std::string_view(body).substr(at, piece), sink);
    at += piece;
    if (result == MultipartParser::Result::kMalformed ||
        result == MultipartParser::Result::kRefused) {
      return result;
    }
  }
  return parser.Finish();
}

TEST(Multipart, SamePartsWholeByteByByteAndInPieces) {
  const std::string body =
      "preamble\r\n--XyZ\r\nContent-Disposition: form-data; name=\"path\"\r\n\r\ndocs\r\n"
      "--XyZ  \r\ncontent-disposition: Form-Data; name=file; filename=\"C:\\dir\\a;b.txt\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n"
      "line\r\n--XyNot a delimiter\r\n--Xy\r\n\r\n--XyZ\r\n"
      "Content-Disposition: form-data; name=\"file\"; filename=\"\"\r\n\r\n"
      "\r\n--XyZ--\r\nepilogue";
  const std::string expected =
      "[path|]docs[file|C:\\dir\\a;b.txt]line\r\n--XyNot a delimiter\r\n--Xy\r\n[file|]";
  for (const auto& pieces : Splits(body.size())) {
    MultipartParser parser("XyZ");
    Recorder sink;
    EXPECT_EQ(FeedInPieces(parser, sink, body, pieces), MultipartParser::Result::kDone);
    EXPECT_EQ(sink.log, expected);
  }
}

TEST(Multipart, MalformedBodiesAndRefusals) {
  const std::string part = "Content-Disposition: form-data; name=\"f\"\r\n\r\nx\r\n";
  struct Case {
    const char* what;
    std::string body;
    MultipartParser::Result result;
  };
  const std::vector<Case> cases = {
      {"no part at all", "--b--\r\n", MultipartParser::Result::kMalformed},
      {"cut short", "--b\r\n" + part, MultipartParser::Result::kMalformed},
      {"no delimiter", "just text", MultipartParser::Result::kMalformed},
      {"no disposition", "--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--",
       MultipartParser::Result::kMalformed},
      {"not form-data", "--b\r\nContent-Disposition: attachment; name=\"f\"\r\n\r\nx\r\n--b--",
       MultipartParser::Result::kMalformed},
      {"no name", "--b\r\nContent-Disposition: form-data; filename=\"a\"\r\n\r\nx\r\n--b--",
       MultipartParser::Result::kMalformed},
      {"unclosed quote", "--b\r\nContent-Disposition: form-data; name=\"f\r\n\r\nx\r\n--b--",
       MultipartParser::Result::kMalformed},
      {"a part without fields", "--b\r\n\r\nx\r\n--b--", MultipartParser::Result::kMalformed},
      {"junk after a delimiter", "--b junk\r\n" + part + "--b--",
       MultipartParser::Result::kMalformed},
      {"endless part head", "--b\r\nX-A: " + std::string(20000, 'a'),
       MultipartParser::Result::kMalformed},
      {"refused by the sink",
       "--b\r\n" + part + "--b\r\n" +
           "Content-Disposition: form-data; name=\"stop\"\r\n\r\nx\r\n--b--",
       MultipartParser::Result::kRefused},
      {"a part, closed", "--b\r\n" + part + "--b--", MultipartParser::Result::kDone},
  };
  for (const Case& c : cases) {
    for (const auto& pieces :
         {std::vector<std::size_t>{c.body.size()}, std::vector<std::size_t>(c.body.size(), 1)}) {
      MultipartParser parser("b");
      Recorder sink;
      sink.refuse_part = "stop";
      EXPECT_EQ(FeedInPieces(parser, sink, c.body, pieces), c.result) << c.what;
    }
  }
}

TEST(Multipart, BoundaryOfTheContentType) {
  const std::vector<std::tuple<std::string, bool, std::string>> cases = {
      {"multipart/form-data; boundary=abc", true, "abc"},
      {"Multipart/Form-Data ; charset=utf-8; boundary=\"a b;c\"", true, "a b;c"},
      {"multipart/form-data", true, ""},
      {"multipart/form-data; boundary=", true, ""},
      {"multipart/form-data; boundary=" + std::string(71, 'b'), true, ""},
      {"multipart/form-data; boundary=" + std::string(70, 'b'), true, std::string(70, 'b')},
      {"multipart/mixed; boundary=abc", false, ""},
      {"text/plain", false, ""},
  };
  for (const auto& [type, multipart, boundary] : cases) {
    std::string got = "unchanged";
    EXPECT_EQ(parcel::host::MultipartBoundary(type, &got), multipart) << type;
    EXPECT_EQ(got, boundary) << type;
  }
}

}  // namespace
