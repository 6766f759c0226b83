// Tests of the host's formats: the requests it builds (read back by the
// module's own container), the job description, the response records and
// documents, and the archive directory reader.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "data/orb_data.h"
#include "host/cli/commands.h"
#include "host/cli/input_files.h"
#include "host/cli/progress.h"
#include "host/job_description.h"
#include "host/response_check.h"
#include "host/transfer_form.h"
#include "host/zip_directory.h"
#include "platform/coding.h"
#include "tests/tiny_zip.h"
#include "xml/mini_xml_parser.h"

namespace {

using parcel::host::BuildJobDescription;
using parcel::host::JobFile;
using parcel::host::OutputRecord;
using parcel::host::RequestBuilder;
using parcel::platform::PutFixed16;
using parcel::platform::PutFixed32;
using parcel::testing::TinyZip;

std::string TableBytes(OrbData& data, int table) {
  return std::string(data.GetTableData(table),
                     std::size_t(data.GetTableLineWidth(table)) * data.GetTableLineCount(table));
}

TEST(HostRequest, ContainerReadsMetaAndReservedTablesWhereBuilderPutThem) {
  RequestBuilder builder;
  ASSERT_TRUE(builder.AddTable("META", "<x/>"));
  ASSERT_TRUE(builder.ReserveTable("FILE1", 5));
  ASSERT_TRUE(builder.ReserveTable("FILE2", 0));  // an empty file: no line at all
  ASSERT_TRUE(builder.ReserveTable("FILE3", 3));
  std::string request = builder.Build();
  std::uint64_t size = 0;
  ASSERT_TRUE(builder.Size(&size));
  ASSERT_EQ(request.size(), size);
  std::memcpy(request.data() + builder.TableOffset(1), "hello", 5);
  std::memcpy(request.data() + builder.TableOffset(3), "abc", 3);

  OrbData data;
  ASSERT_EQ(data.ReadTransfer(request.data(), std::uint32_t(request.size())), 0);
  ASSERT_EQ(data.GetTableCount(), 4);
  EXPECT_EQ(data.FindTable("META"), 0);
  EXPECT_EQ(TableBytes(data, 0), "<x/>");
  EXPECT_EQ(TableBytes(data, 1), "hello");
  EXPECT_EQ(TableBytes(data, 2), "");
  EXPECT_EQ(TableBytes(data, 3), "abc");
  EXPECT_EQ(data.GetTableData(3) + 3, request.data() + request.size());
}

TEST(HostRequest, PaddedLinesKeepTheNextTableInPlace) {
  RequestBuilder builder;
  ASSERT_TRUE(builder.AddTable("A", "0123456789", 4));  // 3 lines, 2 padding bytes
  ASSERT_TRUE(builder.AddTable("B", "z"));
  std::string request = builder.Build();
  OrbData data;
  ASSERT_EQ(data.ReadTransfer(request.data(), std::uint32_t(request.size())), 0);
  EXPECT_EQ(TableBytes(data, 0), std::string("0123456789\0\0", 12));
  EXPECT_EQ(TableBytes(data, 1), "z");
}

TEST(HostRequest, WriteFillsEverythingButReservedTables) {
  // Write is Build without clearing first: every byte outside the reserved
  // tables, padding included, must be written, and the reserved bytes kept.
  RequestBuilder builder;
  ASSERT_TRUE(builder.AddTable("META", "<x/>"));
  ASSERT_TRUE(builder.ReserveTable("FILE1", 6));
  ASSERT_TRUE(builder.AddTable("PAD", "abcde", 4));  // 2 lines, 3 padding bytes
  ASSERT_TRUE(builder.ReserveTable("FILE2", 2));
  const std::string built = builder.Build();
  std::string written(built.size(), '\xAA');
  builder.Write(written.data());
  std::string expected = built;
  for (std::size_t table : {1u, 3u}) {
    const std::size_t at = builder.TableOffset(table);
    const std::size_t size = table == 1 ? 6 : 2;
    EXPECT_EQ(built.substr(at, size), std::string(size, '\0'));
    expected.replace(at, size, std::string(size, '\xAA'));
  }
  EXPECT_EQ(written, expected);
}

TEST(HostRequest, RejectsNamesAndSizesTheFormCannotCarry) {
  RequestBuilder builder;
  EXPECT_FALSE(builder.AddTable(std::string(40, 'N'), "x"));
  EXPECT_TRUE(builder.AddTable(std::string(39, 'N'), "x"));
  EXPECT_FALSE(builder.ReserveTable("F", std::uint64_t{INT32_MAX} + 1));
  EXPECT_TRUE(builder.ReserveTable("F", INT32_MAX));
  EXPECT_TRUE(builder.ReserveTable("G", INT32_MAX));
  std::uint64_t size = 0;
  EXPECT_FALSE(builder.Size(&size));  // two tables of 2 GiB outgrow 32 bits
  EXPECT_TRUE(builder.Build().empty());
}

TEST(HostJobDescription, EscapesTheFiveSpecialCharactersOnly) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain name.txt", "plain name.txt"},
      {"a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e&apos;f"},
      {"&amp;", "&amp;amp;"},
      {"tab\there  two", "tab\there  two"},
      {"gr\xC3\xBC\xC3\x9F", "gr\xC3\xBC\xC3\x9F"},
  };
  for (const Case& c : cases) EXPECT_EQ(parcel::host::EscapeAttributeValue(c.in), c.out) << c.in;
}

TEST(HostJobDescription, ListsFilesInOrderAndOmitsEmptyPaths) {
  std::vector<JobFile> files = {{"docs\\a b", "x\"y.txt", 12}, {"", "top", 0}};
  std::string xml = BuildJobDescription(files);
  EXPECT_EQ(xml,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<REQUEST><COMPRESS format=\"zip\"><FILES>\n"
            "<FILE name=\"x&quot;y.txt\" path=\"docs\\a b\" size=\"12\"/>\n"
            "<FILE name=\"top\" size=\"0\"/>\n"
            "</FILES></COMPRESS></REQUEST>\n");
}

TEST(HostJobDescription, QuoteCharactersOnlyDelimitValues) {
  // The module's parser pairs every quote character to find the values, so
  // the document holds exactly two per attribute whatever the names contain.
  std::vector<JobFile> files = {{"it's", "\"q\" 'a'", 1}, {"p", "n'", 2}};
  std::string xml = BuildJobDescription(files);
  std::size_t quotes = 0;
  for (char c : xml) quotes += (c == '"' || c == '\'');
  EXPECT_EQ(quotes, 2u * (2 + 1 + 3 + 3));  // declaration, COMPRESS, two FILEs of three
}

// The module's own parser reads back every name and path exactly, whatever
// characters they hold.
TEST(HostJobDescription, ModuleParserReadsBackEveryNameAndPath) {
  std::vector<JobFile> files = {
      {"", "plain.txt", 1},
      {"", "it's", 2},  // one apostrophe: white space after it must stay as it is
      {"\"q\"", "'a'", 2},
      {"a&amp;b", "&lt;not an entity&gt; & <tag/>", 3},
      {"two  spaces\tand\ttabs", "  lead and trail  ", 4},
      {"x size=\"9\" path=\"y\"", "name=\"z\"", 5},
      {"gr\xC3\xBC\xC3\x9F"
       "e\\\xE6\x97\xA5\xE6\x9C\xAC",
       "\xE8\xAA\x9E.txt", 6},
      {"", "/>", 7},
  };
  const std::string xml = BuildJobDescription(files);
  CMiniXMLParser parser;
  ASSERT_TRUE(parser.Parse(xml.data(), xml.size()));
  EXPECT_STREQ(parser.GetNodeName(""), "REQUEST");
  ASSERT_EQ(parser.GetChildCount("%s%s", "COMPRESS", "FILES"), int(files.size()));
  for (int k = 0; k < int(files.size()); ++k) {
    const char* attributes = parser.GetNodeAttributes("%s%s%sd", "COMPRESS", "FILES", "FILE", k);
    ASSERT_NE(attributes, nullptr) << k;
    std::string value(std::strlen(attributes) + 1, '\0');
    ASSERT_TRUE(CMiniXMLParser::GetAttributeValue(attributes, "name", value.data())) << k;
    EXPECT_EQ(std::string(value.c_str()), files[k].name) << k;
    bool has_path = CMiniXMLParser::GetAttributeValue(attributes, "path", value.data());
    EXPECT_EQ(has_path, !files[k].path.empty()) << k;
    if (has_path) {
      EXPECT_EQ(std::string(value.c_str()), files[k].path) << k;
    }
    ASSERT_TRUE(CMiniXMLParser::GetAttributeValue(attributes, "size", value.data())) << k;
    EXPECT_EQ(std::string(value.c_str()), std::to_string(files[k].size)) << k;
  }
}

TEST(HostResponseRecords, ReadsWhatTheContainerWrites) {
  OrbData data;
  ASSERT_EQ(data.AppendOutput("<doc/>", 6, "text/xml", "META", nullptr), 0);
  std::string long_name(64, 'f');
  ASSERT_EQ(data.AppendOutput("PK\5\6", 4, "application/zip", "ZIPFILE", long_name.c_str()), 0);
  char* out = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(data.GetOutput(&out, &length), 0);

  std::vector<OutputRecord> records;
  std::string error;
  ASSERT_TRUE(parcel::host::ParseResponse(std::string_view(out, length), &records, &error))
      << error;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].mime_type, "text/xml");
  EXPECT_EQ(records[0].name, "META");
  EXPECT_EQ(records[0].file_name, "");
  EXPECT_EQ(records[0].data, "<doc/>");
  EXPECT_EQ(records[1].name, "ZIPFILE");
  EXPECT_EQ(records[1].file_name, long_name);
  EXPECT_EQ(records[1].data, std::string_view("PK\5\6", 4));
  data.ResetOutput();
}

TEST(HostResponseRecords, RejectsMalformedRecords) {
  OrbData data;
  ASSERT_EQ(data.AppendOutput("abcdef", 6, "text/xml", "META", nullptr), 0);
  char* out = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(data.GetOutput(&out, &length), 0);
  const std::string good(out, length);
  data.ResetOutput();

  std::string bad_magic = good;
  bad_magic[0] = 't';
  std::string long_length = good;
  long_length[144] = '7';  // 7 bytes announced, 6 present
  std::string negative = good;
  negative.replace(144, 2, "-6");
  std::vector<std::string> cases = {
      good.substr(0, 159), good.substr(0, 165), bad_magic, long_length, negative, good + "T"};
  for (const std::string& response : cases) {
    std::vector<OutputRecord> records;
    std::string error;
    EXPECT_FALSE(parcel::host::ParseResponse(response, &records, &error)) << response.size();
    EXPECT_FALSE(error.empty());
  }
}

TEST(HostResponseDocument, ReadsErrorsAndArchiveReports) {
  parcel::host::ResponseDocument doc;
  ASSERT_TRUE(parcel::host::ParseResponseDocument(
      "<?xml version=\"1.0\"?><RESPONSE><ERROR code=\"2\">invalid file list</ERROR></RESPONSE>",
      &doc));
  EXPECT_TRUE(doc.is_error);
  EXPECT_EQ(doc.code, 2);
  EXPECT_EQ(doc.message, "invalid file list");

  ASSERT_TRUE(parcel::host::ParseResponseDocument(
      "<?xml version=\"1.0\"?><RESPONSE><COMPRESSED_FILE name=\"ZIPFILE\" "
      "type=\"application/zip\" size=\"113\" url=\"/output/zipfile_1.zip\"/></RESPONSE>",
      &doc));
  EXPECT_FALSE(doc.is_error);
  EXPECT_EQ(doc.size, 113u);
  EXPECT_EQ(doc.url, "/output/zipfile_1.zip");
}

TEST(HostResponseDocument, RejectsDocumentsWithoutUsableContent) {
  const char* cases[] = {
      "",
      "<RESPONSE></RESPONSE>",
      "<RESPONSE><ERROR>no code</ERROR></RESPONSE>",
      "<RESPONSE><ERROR code=\"x\">bad code</ERROR></RESPONSE>",
      "<RESPONSE><ERROR code=\"2\">never closed</RESPONSE>",
      "<RESPONSE><COMPRESSED_FILE url=\"/output/a\"/></RESPONSE>",
      "<RESPONSE><COMPRESSED_FILE size=\"-1\" url=\"/output/a\"/></RESPONSE>",
      "<RESPONSE><COMPRESSED_FILEX size=\"1\" url=\"/output/a\"/></RESPONSE>",
      "<RESPONSE><COMPRESSED_FILE filesize=\"1\" url=\"/output/a\"/></RESPONSE>",
  };
  for (const char* text : cases) {
    parcel::host::ResponseDocument doc;
    EXPECT_FALSE(parcel::host::ParseResponseDocument(text, &doc)) << text;
  }
}

TEST(HostZipDirectory, ListsEntriesOfWellFormedArchives) {
  TinyZip zip;
  zip.Add("docs\\a.txt", "hello");
  zip.Add("b", "");
  // A comment that itself holds an end-record signature must not mislead.
  for (const std::string& comment : {std::string(), std::string("PK\5\6 comment")}) {
    std::vector<parcel::host::ZipEntry> entries;
    std::string error;
    ASSERT_TRUE(parcel::host::ReadZipDirectory(zip.Finish(comment), &entries, &error)) << error;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "docs\\a.txt");
    EXPECT_EQ(entries[0].size, 5u);
    EXPECT_EQ(entries[0].crc, 0x3610A686u);
    EXPECT_EQ(entries[1].name, "b");
    EXPECT_EQ(entries[1].local_header_offset, 45u);
  }
  std::vector<parcel::host::ZipEntry> entries;
  std::string error;
  EXPECT_TRUE(parcel::host::ReadZipDirectory(TinyZip().Finish(), &entries, &error));
  EXPECT_TRUE(entries.empty());
}

TEST(HostZipDirectory, RejectsDamagedArchives) {
  TinyZip zip;
  zip.Add("a", "xyz");
  const std::string good = zip.Finish();
  const std::size_t end = good.size() - 22;
  auto with = [&](std::size_t at, char value, std::size_t at2 = 0, char value2 = 0) {
    std::string copy = good;
    copy[at] = value;
    if (at2 != 0) copy[at2] = value2;
    return copy;
  };
  std::vector<std::pair<std::string, std::string>> cases = {
      {"truncated end record", good.substr(0, good.size() - 1)},
      {"no end record", good.substr(0, end)},
      {"two entries announced", with(end + 8, 2, end + 10, 2)},
      {"counts disagree", with(end + 10, 2)},
      {"second disk", with(end + 4, 1)},
      {"directory offset off", with(end + 16, 1)},
      {"central signature", with(34, 'X')},
      {"local header offset", with(34 + 42, 1)},
      {"local signature", with(0, 'X')},
      {"name runs past directory", with(34 + 28, 9)},
  };
  for (const auto& [what, archive] : cases) {
    std::vector<parcel::host::ZipEntry> entries;
    std::string error;
    EXPECT_FALSE(parcel::host::ReadZipDirectory(archive, &entries, &error)) << what;
    EXPECT_FALSE(error.empty()) << what;
  }
}

TEST(HostZipDirectory, FindsTheDirectoryFromAnyTailHoldingTheEndRecord) {
  TinyZip zip;
  zip.Add("docs\\a.txt", "hello");
  zip.Add("b", "bee");
  const std::string comment = "note";
  const std::string whole = zip.Finish(comment);
  parcel::host::ZipDirectoryPlace expected;
  std::string error;
  ASSERT_TRUE(parcel::host::FindZipDirectory(whole, whole.size(), &expected, &error)) << error;
  EXPECT_EQ(expected.count, 2u);
  EXPECT_EQ(expected.offset, zip.bytes.size());
  EXPECT_EQ(expected.size, zip.directory.size());
  for (std::size_t length = 0; length <= whole.size(); ++length) {
    parcel::host::ZipDirectoryPlace place;
    const bool found = parcel::host::FindZipDirectory(whole.substr(whole.size() - length),
                                                      whole.size(), &place, &error);
    ASSERT_EQ(found, length >= 22 + comment.size()) << length;
    if (!found) continue;
    EXPECT_EQ(place.offset, expected.offset) << length;
    EXPECT_EQ(place.size, expected.size) << length;
  }
  // A tail longer than the archive it claims to end cannot be one.
  parcel::host::ZipDirectoryPlace place;
  EXPECT_FALSE(parcel::host::FindZipDirectory(whole, whole.size() - 1, &place, &error));

  std::vector<parcel::host::ZipEntry> entries;
  ASSERT_TRUE(parcel::host::ReadZipDirectoryRecords(whole.substr(expected.offset, expected.size),
                                                    expected, &entries, &error))
      << error;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "docs\\a.txt");
  EXPECT_EQ(entries[1].name, "b");
  EXPECT_EQ(entries[1].size, 3u);
}

TEST(HostZipDirectory, RecordsAloneStillRejectDamage) {
  TinyZip zip;
  zip.Add("a", "xyz");
  const std::string whole = zip.Finish();
  parcel::host::ZipDirectoryPlace place;
  std::string error;
  ASSERT_TRUE(parcel::host::FindZipDirectory(whole, whole.size(), &place, &error));
  const std::string directory = whole.substr(place.offset, place.size);
  auto with = [&](std::size_t at, char value) {
    std::string copy = directory;
    copy[at] = value;
    return copy;
  };
  parcel::host::ZipDirectoryPlace two = place;
  two.count = 2;
  parcel::host::ZipDirectoryPlace none = place;
  none.count = 0;
  const std::vector<std::tuple<const char*, std::string, parcel::host::ZipDirectoryPlace>> cases = {
      {"cut short", directory.substr(0, directory.size() - 1), place},
      {"signature", with(0, 'X'), place},
      {"local header past the directory", with(45, 1), place},
      {"a record missing", directory, two},
      {"a record too many", directory, none},
  };
  for (const auto& [what, bytes, where] : cases) {
    std::vector<parcel::host::ZipEntry> entries;
    error.clear();
    EXPECT_FALSE(parcel::host::ReadZipDirectoryRecords(bytes, where, &entries, &error)) << what;
    EXPECT_FALSE(error.empty()) << what;
  }
}

// Output records as the module's container writes them.
struct Record {
  std::string name, mime_type, data;
};
Record Meta(std::string document) { return {"META", "text/xml", std::move(document)}; }
Record Zip(std::string archive) { return {"ZIPFILE", "application/zip", std::move(archive)}; }

std::string ResponseOf(const std::vector<Record>& records) {
  OrbData data;
  for (const Record& r : records) {
    EXPECT_EQ(data.AppendOutput(r.data.data(), std::uint32_t(r.data.size()), r.mime_type.c_str(),
                                r.name.c_str(), "zipfile_1.zip"),
              0);
  }
  char* out = nullptr;
  std::uint32_t length = 0;
  EXPECT_EQ(data.GetOutput(&out, &length), 0);
  std::string response(out != nullptr ? out : "", length);
  data.ResetOutput();
  return response;
}

std::string Report(std::size_t size) {
  return "<?xml version=\"1.0\"?><RESPONSE><COMPRESSED_FILE name=\"ZIPFILE\" "
         "type=\"application/zip\" size=\"" +
         std::to_string(size) + "\" url=\"/output/zipfile_1.zip\"/></RESPONSE>";
}

constexpr char kErrorDocument[] =
    "<?xml version=\"1.0\"?><RESPONSE><ERROR code=\"3\">no zip</ERROR></RESPONSE>";

TEST(HostResponseCheck, EachFaultStopsTheChainWithItsStatus) {
  using enum parcel::host::ResponseStatus;
  TinyZip zip;
  zip.Add("a.txt", "abc");
  const std::string archive = zip.Finish();
  const std::size_t size = archive.size();
  struct Case {
    const char* what;
    std::string response;
    parcel::host::ResponseStatus status;
    const char* reason;  // a part of it; "" for none
  } cases[] = {
      {"nothing", "", kNoResponse, "no response"},
      {"no records", "not a response", kMalformed, "malformed"},
      {"archive alone", ResponseOf({Zip(archive)}), kNoDocument, "no META record"},
      {"no document", ResponseOf({Meta("<x/>")}), kUnreadableDocument, "unreadable: <x/>"},
      {"error document", ResponseOf({Meta(kErrorDocument)}), kJobError, ""},
      {"report alone", ResponseOf({Meta(Report(size))}), kNoArchive, "no ZIPFILE record"},
      {"size differs", ResponseOf({Meta(Report(size + 1)), Zip(archive)}), kSizeMismatch,
       "archive bytes, the ZIPFILE record holds"},
      {"no directory", ResponseOf({Meta(Report(22)), Zip(std::string(22, 'x'))}), kDamagedArchive,
       "damaged: no end of central directory record"},
      {"archive", ResponseOf({Meta(Report(size)), Zip(archive)}), kArchive, ""},
  };
  for (const Case& c : cases) {
    const parcel::host::ResponseCheck check = parcel::host::CheckResponse(c.response);
    EXPECT_EQ(check.status, c.status) << c.what;
    EXPECT_NE(check.reason.find(c.reason), std::string::npos) << c.what << ": " << check.reason;
    EXPECT_EQ(check.reason.empty(), *c.reason == '\0') << c.what;
  }
}

TEST(HostResponseCheck, KeepsWhatTheHostsActOn) {
  TinyZip zip;
  zip.Add("a.txt", "abc");
  const std::string archive = zip.Finish();
  const std::string refused_response = ResponseOf({Meta(kErrorDocument)});
  const auto refused = parcel::host::CheckResponse(refused_response);
  EXPECT_EQ(refused.document.code, 3);
  EXPECT_EQ(refused.document.message, "no zip");
  EXPECT_EQ(refused.meta()->data, kErrorDocument);
  const std::string good_response = ResponseOf({Meta(Report(archive.size())), Zip(archive)});
  const auto good = parcel::host::CheckResponse(good_response);
  ASSERT_EQ(good.entries.size(), 1u);
  EXPECT_EQ(good.entries[0].name, "a.txt");
  EXPECT_EQ(good.archive()->data, archive);
}

// Raw deflate at the module's settings, as the zip writer runs it.
std::size_t DeflatedSize(const std::string& data) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, -1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(data.size() + 1024, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = uInt(data.size());
  std::size_t total = 0;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    status = deflate(&stream, Z_FINISH);
    EXPECT_TRUE(status == Z_OK || status == Z_STREAM_END);
    total += out.size() - stream.avail_out;
  }
  deflateEnd(&stream);
  return total;
}

TEST(HostLimits, WorstCaseBoundsIncompressibleData) {
  std::mt19937 random(7);
  for (std::size_t size : {0u, 1u, 100u, 16384u, 65536u, 1u << 20}) {
    std::string data(size, '\0');
    for (char& c : data) c = char(random());
    parcel::host::InputFile file{{}, {"dir", "name", size}};
    std::uint64_t bound = parcel::host::WorstCaseArchiveSize({&file, 1});
    // Local header and central record each hold the entry name "dir\name".
    std::uint64_t exact = 22 + 30 + 46 + 2 * 8 + DeflatedSize(data);
    EXPECT_GE(bound, exact) << size;
    EXPECT_LE(bound, exact + size / 1000 + 64) << size;  // and stays close
  }
}

TEST(HostLimits, RejectsSetsWhoseArchiveCouldOutgrowTheResponse) {
  std::string error;
  std::vector<parcel::host::InputFile> files(2, {{}, {"", "f", 1'000'000'000}});
  EXPECT_TRUE(parcel::host::CheckRequestLimits(files, &error));
  files.push_back({{}, {"", "g", 200'000'000}});
  EXPECT_FALSE(parcel::host::CheckRequestLimits(files, &error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
  std::vector<parcel::host::InputFile> one = {{{}, {"", "f", std::uint64_t{INT32_MAX}}}};
  EXPECT_FALSE(parcel::host::CheckRequestLimits(one, &error));
}

TEST(HostOutputNames, StayInsideTheDirectoryAndDoNotCollide) {
  struct Case {
    OutputRecord record;
    std::string name;
  } cases[] = {
      {{"text/xml", "META", "", {}}, "META.xml"},
      {{"application/zip", "ZIPFILE", "zipfile_12345.zip", {}}, "zipfile_12345.zip"},
      {{"application/zip", "ZIPFILE", "", {}}, "ZIPFILE.zip"},
      {{"image/png", "", "", {}}, "record.bin"},
      {{"text/xml", "x", "../../etc/passwd", {}}, "_.._.._etc_passwd"},
      {{"text/xml", "x", "C:\\w\\a b.zip", {}}, "C__w_a_b.zip"},
      {{"text/xml", "x", "..", {}}, "_.."},
  };
  for (const Case& c : cases) {
    std::vector<std::string> taken;
    EXPECT_EQ(parcel::host::OutputFileName(c.record, 0, &taken), c.name);
  }
  std::vector<std::string> taken;
  OutputRecord meta{"text/xml", "META", "", {}};
  EXPECT_EQ(parcel::host::OutputFileName(meta, 0, &taken), "META.xml");
  EXPECT_EQ(parcel::host::OutputFileName(meta, 2, &taken), "META-2.xml");
}

TEST(HostProgress, BarFillsWithThePercentage) {
  using parcel::host::ProgressBar;
  EXPECT_EQ(ProgressBar::Render("r", 0, 1 << 20),
            "r [                              ]   0%  0.0 of 1.0 MiB");
  EXPECT_EQ(ProgressBar::Render("r", 1 << 19, 1 << 20),
            "r [###############               ]  50%  0.5 of 1.0 MiB");
  EXPECT_EQ(ProgressBar::Render("r", 3 << 20, 1 << 20),
            "r [##############################] 100%  1.0 of 1.0 MiB");
}

}  // namespace
