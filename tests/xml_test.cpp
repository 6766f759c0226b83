// Tests of the mini XML parser: compaction, tree shape, path queries,
// attribute lookup, failures and the limits that keep hostile input safe.
#include "xml/mini_xml_parser.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "platform/alloc_hook.h"
#include "xml/mini_xml_tree.h"

namespace {

using parcel::xml::AttributeResult;
using parcel::xml::CopyAttributeValue;
using parcel::xml::kMaxNestingDepth;
using parcel::xml::detail::CompactWhitespace;

constexpr char kDecl[] = "<?xml version=\"1.0\"?>";

class XmlTest : public ::testing::Test {
 protected:
  bool Parse(const std::string& text) { return parser_.Parse(text.data(), text.size()); }
  bool ParseBody(const std::string& body) { return Parse(kDecl + body); }
  const MiniXMLNode* Node(const char* path, ...) {
    std::va_list arguments;
    va_start(arguments, path);
    const MiniXMLNode* node = parser_.FindNode(path, arguments);
    va_end(arguments);
    return node;
  }
  static std::string Str(const char* s) { return s != nullptr ? s : "(null)"; }

  CMiniXMLParser parser_;
};

std::string Compact(std::string text) {
  text.push_back('\0');
  text.resize(CompactWhitespace(text.data(), text.size() - 1));
  return text;
}

std::string Value(const char* attributes, const char* name) {
  std::vector<char> out(std::strlen(attributes) + 1, '#');
  if (!CMiniXMLParser::GetAttributeValue(attributes, name, out.data())) return "(absent)";
  return out.data();
}

TEST(XmlCompaction, CollapsesRunsOutsideQuotesOnly) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"a  \t b", "a b"},
      {" \r\n a", " a"},
      {"a \t\r\n", "a"},
      {"a\n=  \"x\"", "a = \"x\""},
      {"n=\"x  \n\ty\"  m", "n=\"x  \n\ty\" m"},
      {"it's  a", "it's  a"},  // an apostrophe in text opens a quote too
      {"'a\"  b", "'a\" b"},   // one flag, flipped by either quote
      {"<A\n\tb = 'c  d'\n/>", "<A b = 'c  d' />"},
  };
  for (const Case& c : cases) EXPECT_EQ(Compact(c.in), c.out) << c.in;
}

TEST_F(XmlTest, CompactedTextAndAttributesReachTheTree) {
  ASSERT_TRUE(ParseBody("<R>\n  <A\n   a\n=  \"x  y\"\r\n  b='1'/>\n<T>  a \n b  </T></R>"));
  EXPECT_EQ(Str(parser_.GetNodeAttributes("%s", "A")), "a = \"x  y\" b='1'");
  EXPECT_EQ(Value(parser_.GetNodeAttributes("%s", "A"), "a"), "x  y");
  EXPECT_EQ(Str(Node("%s", "T")->text), " a b ");
}

TEST_F(XmlTest, JobDescriptionAnswersTheJobsQueries) {
  ASSERT_TRUE(
      ParseBody("<REQUEST><COMPRESS format=\"zip\"><FILES><FILE name=\"a.txt\" path=\"dir\" "
                "size=\"5\"/></FILES></COMPRESS></REQUEST>"));
  EXPECT_EQ(Str(parser_.GetNodeName("")), "REQUEST");
  EXPECT_EQ(Str(parser_.GetNodeAttributes("%s", "COMPRESS")), "format=\"zip\"");
  EXPECT_EQ(parser_.GetChildCount("%s%s", "COMPRESS", "FILES"), 1);
  EXPECT_EQ(Str(parser_.GetNodeAttributes("%s%s%sd", "COMPRESS", "FILES", "FILE", 0)),
            "name=\"a.txt\" path=\"dir\" size=\"5\"");
  EXPECT_EQ(parser_.GetNodeAttributes("%s%s%sd", "COMPRESS", "FILES", "FILE", 1), nullptr);
  EXPECT_EQ(Str(parser_.GetNodeName("%s", "compress")), "COMPRESS");
}

TEST_F(XmlTest, EmptyElementAttributesAreNullWithoutBlankAndEmptyWithIt) {
  ASSERT_TRUE(ParseBody("<R><COMPRESS/><X /><Y></Y></R>"));
  EXPECT_EQ(parser_.GetNodeAttributes("%s", "COMPRESS"), nullptr);
  EXPECT_EQ(Str(parser_.GetNodeAttributes("%s", "X")), "");
  const MiniXMLNode* empty = Node("%s", "COMPRESS");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->text, nullptr);
  EXPECT_EQ(Str(Node("%s", "Y")->text), "");  // <Y></Y> has empty text, not null
}

TEST_F(XmlTest, TreeShapeFollowsForgivingRules) {
  struct Case {
    const char* body;
    int root_children;
    const char* root_text;
  } cases[] = {
      {"<A>x<B/>y</A>", 1, "(null)"},            // text between children is lost
      {"<A><!-- c --><B/></A>", 1, "(null)"},    // a comment before the first child is skipped
      {"<A><?pi x?><B/><C/></A>", 2, "(null)"},  // so is a processing instruction
      {"<A><B></C><D/></A>", 2, "(null)"},       // end tag names are never compared
      {"<A>text</A>", 0, "text"},
      {"<A>x<![CDATA[a<b]]></A>", 0, "a<b"},  // text before CDATA is dropped
      {"<A><B/></A><Z/>", 1, "(null)"},       // anything after the document element is ignored
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(ParseBody(c.body)) << c.body;
    EXPECT_EQ(parser_.GetChildCount(""), c.root_children) << c.body;
    EXPECT_EQ(Str(Node("")->text), c.root_text) << c.body;
  }
}

TEST_F(XmlTest, CDataSectionKeepsMarkupAsTextAndClosesAtItsEndTag) {
  ASSERT_TRUE(ParseBody("<R><A><![CDATA[a<b]]></A><B/></R>"));
  const MiniXMLNode* a = Node("%s", "A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(Str(a->text), "a<b");
  EXPECT_TRUE(a->isCData);
  EXPECT_EQ(a->childCount, 0u);
  EXPECT_EQ(parser_.GetChildCount(""), 2);
}

TEST_F(XmlTest, TextElementAfterSiblingWithChildrenHasNoChildren) {
  ASSERT_TRUE(ParseBody("<R><A><B/></A><C>t</C></R>"));
  EXPECT_EQ(parser_.GetChildCount("%s", "A"), 1);
  EXPECT_EQ(parser_.GetChildCount("%s", "C"), 0);
  EXPECT_EQ(Str(Node("%s", "C")->text), "t");
  EXPECT_FALSE(Node("%s", "C")->isCData);
}

TEST_F(XmlTest, TrailingCommentClosesTheParentEarly) {
  // The comment ends A's children; A closes at the comment's '>', and its own
  // end tag then closes R, so C falls outside the document element.
  ASSERT_TRUE(ParseBody("<R><A><B/><!-- c --></A><C/></R>"));
  EXPECT_EQ(parser_.GetChildCount(""), 1);
  EXPECT_EQ(parser_.GetChildCount("%s", "A"), 1);
  EXPECT_EQ(parser_.GetNodeName("%s", "C"), nullptr);
}

TEST_F(XmlTest, GapsInsideAChildEndItsParentsChildren) {
  struct Case {
    const char* body;
    int root_children;
  } cases[] = {
      {"<R><A/><B><![CDATA[x</B><C/></R>", 1},  // CDATA without "]]>"
      {"<R><A/><B</R>", 1},                     // B's start tag runs into the end tag; no '<' after
      {"<R><A/></R>", 1},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(ParseBody(c.body)) << c.body;
    EXPECT_EQ(parser_.GetChildCount(""), c.root_children) << c.body;
    EXPECT_EQ(Str(parser_.GetNodeName("%d", 0)), "A") << c.body;
  }
}

TEST_F(XmlTest, ChildrenArrayGrowsFromTenByDoublingAndKeepsOrder) {
  for (int count : {1, 10, 11, 21, 41}) {
    std::string body = "<R>";
    for (int i = 0; i < count; ++i) body += "<C" + std::to_string(i) + "/>";
    ASSERT_TRUE(ParseBody(body + "</R>"));
    const MiniXMLNode* root = Node("");
    ASSERT_EQ(root->childCount, std::uint64_t(count));
    const std::uint64_t expected_capacity = count <= 10   ? 10
                                            : count <= 20 ? 20
                                            : count <= 40 ? 40
                                                          : 80;
    EXPECT_EQ(root->childCapacity, expected_capacity) << count;
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(Str(parser_.GetNodeName("%d", i)), std::string(1, 'C').append(std::to_string(i)));
    }
  }
}

TEST_F(XmlTest, PathConversionsSelectAsDocumented) {
  ASSERT_TRUE(
      ParseBody("<R><A id=\"1\"/><B id=\"2\"><C id=\"3\"/></B><a id=\"4\"/><A id=\"5\"/></R>"));
  auto id = [](const char* attributes) { return attributes ? Value(attributes, "id") : "none"; };
  EXPECT_EQ(id(parser_.GetNodeAttributes("%s", "A")), "1");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%s", "a")), "1");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%sd", "A", 1)), "4");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%SI", "a", 2)), "5");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%sD", "A", 3)), "none");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%si", "A", -1)), "none");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%d", 1)), "2");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%D", 3)), "5");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%i", 4)), "none");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%I", -1)), "none");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%s%s", "b", "C")), "3");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%d%d", 1, 0)), "3");
  EXPECT_EQ(id(parser_.GetNodeAttributes("#s/S", "B", "c")), "3");  // any introducer
  EXPECT_EQ(id(parser_.GetNodeAttributes("%s%s", "Z", "C")), "none");
  EXPECT_EQ(id(parser_.GetNodeAttributes("%s", nullptr)), "none");
  EXPECT_EQ(parser_.GetNodeName("%x", "A"), nullptr);
  EXPECT_EQ(parser_.GetNodeName("%"), nullptr);
  EXPECT_EQ(parser_.GetNodeName("%s%", "B"), nullptr);
  EXPECT_EQ(parser_.GetNodeName(nullptr), nullptr);
  EXPECT_EQ(parser_.GetChildCount("%s", "B"), 1);
  EXPECT_EQ(parser_.GetChildCount("%s", "Z"), 0);
}

TEST_F(XmlTest, IndexedNameQuerySkipsOtherChildren) {
  ASSERT_TRUE(ParseBody(
      "<REQUEST><COMPRESS format=\"zip\"><FILES><FILE name=\"1\"/><NOTE/>junk<X><FILE/></X>"
      "<file name=\"2\"/></FILES></COMPRESS></REQUEST>"));
  EXPECT_EQ(parser_.GetChildCount("%s%s", "COMPRESS", "FILES"), 4);
  EXPECT_EQ(Str(parser_.GetNodeAttributes("%s%s%sd", "COMPRESS", "FILES", "FILE", 1)),
            "name=\"2\"");
}

// Walks the children by name in orders that do and do not let a search resume
// where the previous one stopped; each answer must match the document.
TEST_F(XmlTest, RepeatedIndexedQueriesGiveTheSameAnswersInAnyOrder) {
  constexpr int kPerList = 60;
  std::string body = "<R><C>";
  std::vector<std::vector<std::string>> expected(2);
  for (int list = 0; list < 2; ++list) {
    body += "<FILES>";
    for (int i = 0; i < kPerList; ++i) {
      if (i % (3 + list) == list) body += "<OTHER/>";  // the lists differ in layout
      const std::string name = std::to_string(list) + "-" + std::to_string(i);
      body += (i % 2 ? "<file n=\"" : "<FILE n=\"") + name + "\"/>";
      expected[list].push_back("n=\"" + name + "\"");
    }
    body += "</FILES>";
  }
  ASSERT_TRUE(ParseBody(body + "</C></R>"));
  auto query = [&](int list, int k) {
    return Str(
        parser_.GetNodeAttributes("%s%sd%sd", "C", "FILES", list, k % 2 ? "FILE" : "file", k));
  };
  std::vector<int> order;
  for (int k = 0; k < kPerList; ++k) order.push_back(k);                    // ascending
  for (int k = kPerList - 1; k >= 0; --k) order.push_back(k);               // descending
  for (int k = 0; k < kPerList; ++k) order.push_back((k * 37) % kPerList);  // scattered
  for (std::size_t q = 0; q < order.size(); ++q) {
    const int list = int(q / 7 % 2);  // runs under one parent, then a switch
    ASSERT_EQ(query(list, order[q]), expected[list][order[q]]) << q;
  }
  EXPECT_EQ(parser_.GetNodeAttributes("%s%sd%sd", "C", "FILES", 0, "FILE", kPerList), nullptr);
  EXPECT_EQ(Str(parser_.GetNodeName("%s%s%s", "C", "FILES", "OTHER")), "OTHER");
  EXPECT_EQ(parser_.GetNodeName("%s%s%sd", "C", "FILES", "OTHERS", 1), nullptr);
}

// The document element is the same node object across parses, so a search
// remembered under it must not survive into the next document.
TEST_F(XmlTest, NewParseForgetsEarlierSearches) {
  ASSERT_TRUE(ParseBody("<R><F a=\"1\"/><F a=\"2\"/><F a=\"3\"/></R>"));
  ASSERT_EQ(Str(parser_.GetNodeAttributes("%sd", "F", 1)), "a=\"2\"");
  ASSERT_TRUE(ParseBody("<R><G/><F a=\"x\"/><G/><F a=\"y\"/><F a=\"z\"/></R>"));
  EXPECT_EQ(Str(parser_.GetNodeAttributes("%sd", "F", 2)), "a=\"z\"");
  EXPECT_EQ(Str(parser_.GetNodeAttributes("%sd", "F", 1)), "a=\"y\"");
}

TEST(XmlAttribute, LookupMatchesWholeNamesThroughToLower) {
  struct Case {
    const char* attributes;
    const char* name;
    const char* value;
  } cases[] = {
      {"format=\"zip\"", "format", "zip"},
      {"filename=\"x\" name=\"y\"", "name", "y"},
      {"filename=\"x\" name=\"y\"", "NAME", "y"},
      {"names=\"x\" NAME=\"y\"", "name", "y"},
      {"nam=\"x\"", "name", "(absent)"},
      {"name = \"y\"", "name", "y"},
      {"name='y'", "name", "(absent)"},  // only double quotes delimit
      {"name=\"unterminated", "name", "(absent)"},
      {"a=\"1\" name", "name", "(absent)"},
      {"q=\"a=b\" name=\"c\"", "name", "c"},
      {"name=\"\"", "name", ""},
      {"name=\"a b  c\"", "name", "a b  c"},
      {"", "name", "(absent)"},
      {"  ", "name", "(absent)"},
      {"path=\"a&amp;b&#65;\"", "path", "a&b&#65;"},
      {"x=\"&lt;&gt;&apos;&quot;&amp;amp;&am&\"", "x", "<>'\"&amp;&am&"},
  };
  for (const Case& c : cases) EXPECT_EQ(Value(c.attributes, c.name), c.value) << c.attributes;
  char out[8] = "keep";
  EXPECT_FALSE(CMiniXMLParser::GetAttributeValue(nullptr, "a", out));
  EXPECT_FALSE(CMiniXMLParser::GetAttributeValue("a=\"b\"", nullptr, out));
  EXPECT_FALSE(CMiniXMLParser::GetAttributeValue("a=\"b\"", "c", out));
  EXPECT_STREQ(out, "keep");
}

TEST(XmlAttribute, BoundedCopyNeverWritesPastTheBufferOrTruncates) {
  struct Case {
    const char* attributes;
    std::size_t size;
    AttributeResult result;
    const char* out;
  } cases[] = {
      {"n=\"abc\"", 4, AttributeResult::kFound, "abc"},
      {"n=\"abc\"", 3, AttributeResult::kTooLong, ""},
      {"n=\"&amp;&amp;\"", 3, AttributeResult::kFound, "&&"},  // the decoded length counts
      {"n=\"&amp;&amp;\"", 2, AttributeResult::kTooLong, ""},
      {"n=\"\"", 1, AttributeResult::kFound, ""},
      {"m=\"abc\"", 8, AttributeResult::kAbsent, ""},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer(c.size + 1, '#');  // one guard byte
    EXPECT_EQ(CopyAttributeValue(c.attributes, "n", buffer.data(), c.size), c.result)
        << c.attributes << " " << c.size;
    EXPECT_STREQ(buffer.data(), c.out);
    EXPECT_EQ(buffer[c.size], '#') << c.attributes << " " << c.size;
  }
  EXPECT_EQ(CopyAttributeValue("n=\"\"", "n", nullptr, 0), AttributeResult::kTooLong);
  EXPECT_EQ(CopyAttributeValue(nullptr, "n", nullptr, 0), AttributeResult::kAbsent);
}

TEST(XmlAttribute, DecodeEntitiesReturnsAnOwnedCopy) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""}, {"&amp;lt;", "&lt;"}, {"&", "&"}, {"a&gt", "a&gt"}, {"&#38;&quot;", "&#38;\""},
  };
  for (const Case& c : cases) {
    char* decoded = CMiniXMLParser::DecodeEntities(c.in);
    ASSERT_NE(decoded, nullptr);
    EXPECT_STREQ(decoded, c.out);
    delete[] decoded;
  }
  EXPECT_EQ(CMiniXMLParser::DecodeEntities(nullptr), nullptr);
}

TEST_F(XmlTest, ParseFailsOnStructuralGaps) {
  const char* cases[] = {
      "<A><B/></A>",  // no "xml"
      "<?xml?>",      // no element after the declaration
      "<?xml?></R>",  // only an end tag
      "<?xml?><!-- only a comment -->",
      "<?xml?><R",                   // start tag without '>'
      "<?xml?><R>text",              // no '<' after the start tag
      "<?xml?><R><![CDATA[abc</R>",  // CDATA without "]]>"
      "<?xml?><R><A/>",              // no closing '>' after the children
      "xml <R",                      // no '>' at all
  };
  for (const char* text : cases) EXPECT_FALSE(Parse(text)) << text;
  EXPECT_FALSE(parser_.Parse(nullptr, 5));
}

// Each prefix sits in a buffer of exactly its size, so AddressSanitizer sees
// any read past it. A prefix may still parse: a child cut short ends the
// children, and the document element closes at the next '>'.
TEST_F(XmlTest, PrefixesOfADocumentStaySafeAndKeepTheirRoot) {
  const std::string text =
      std::string(kDecl) + "<R a=\"1\"><B>t</B><C><![CDATA[x]]></C><D/><E><F/></E></R>";
  int parsed = 0;
  for (std::size_t n = 1; n < text.size(); ++n) {
    const std::vector<char> cut(text.begin(), text.begin() + std::ptrdiff_t(n));
    if (parser_.Parse(cut.data(), cut.size())) {
      ++parsed;
      EXPECT_EQ(Str(parser_.GetNodeName("")), "R") << n;
      EXPECT_LT(parser_.GetChildCount(""), 4) << n;
    } else {
      EXPECT_EQ(parser_.GetNodeName(""), nullptr) << n;  // a failed parse leaves no tree
    }
  }
  EXPECT_GT(parsed, 0);
  EXPECT_TRUE(Parse(text));
  EXPECT_EQ(parser_.GetChildCount(""), 4);
}

TEST_F(XmlTest, SizeZeroKeepsTheTreeAndAFailedParseClearsIt) {
  ASSERT_TRUE(ParseBody("<R><A/></R>"));
  EXPECT_FALSE(parser_.Parse("<?xml?><S/>", 0));
  EXPECT_EQ(Str(parser_.GetNodeName("")), "R");
  EXPECT_FALSE(Parse("<?xml?><S"));
  EXPECT_EQ(parser_.GetNodeName(""), nullptr);
  EXPECT_EQ(parser_.GetChildCount(""), 0);
}

TEST_F(XmlTest, EmptyParserSelectsOnlyAnEmptyRoot) {
  EXPECT_EQ(parser_.GetNodeName(""), nullptr);
  EXPECT_EQ(parser_.GetNodeAttributes(""), nullptr);
  EXPECT_EQ(parser_.GetChildCount(""), 0);
  EXPECT_EQ(parser_.GetNodeName("%d", 0), nullptr);
  EXPECT_EQ(parser_.GetNodeName("%s", "A"), nullptr);
}

TEST_F(XmlTest, NulByteEndsTheDocument) {
  const std::string complete = std::string(kDecl) + "<R><A/></R>" + '\0' + "<<garbage";
  ASSERT_TRUE(Parse(complete));
  EXPECT_EQ(parser_.GetChildCount(""), 1);
  const std::string cut = std::string(kDecl) + "<R><A/>" + '\0' + "</R>";
  EXPECT_FALSE(Parse(cut));
  EXPECT_FALSE(Parse(std::string(1, '\0') + kDecl + "<R/>"));
}

TEST_F(XmlTest, NestingIsBoundedAndDeeperInputFails) {
  auto nested = [](int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
      open += "<e>";
      close += "</e>";
    }
    return kDecl + open + close;
  };
  ASSERT_TRUE(Parse(nested(kMaxNestingDepth)));
  const MiniXMLNode* node = Node("");
  int depth = 1;
  for (; node->childCount == 1; node = &node->children[0]) ++depth;
  EXPECT_EQ(depth, kMaxNestingDepth);

  EXPECT_FALSE(Parse(nested(kMaxNestingDepth + 1)));
  EXPECT_EQ(parser_.GetNodeName(""), nullptr);
  EXPECT_FALSE(Parse(kDecl + std::string(1'000'000, '<') + "x>"));  // one start tag, no content
  std::string deep = kDecl;
  for (int i = 0; i < 200'000; ++i) deep += "<e>";
  EXPECT_FALSE(Parse(deep));
}

TEST_F(XmlTest, AnEndTagAtTheDepthLimitIsNotTooDeep) {
  // The innermost element reads children; its end tag is the attempt one
  // level further down and must end the children as usual.
  std::string open, close;
  for (int i = 0; i < kMaxNestingDepth; ++i) {
    open += "<e>";
    close += "</e>";
  }
  ASSERT_TRUE(Parse(kDecl + open + "<!--c-->" + close));
}

// Unclosed start tags ending in a tag without '>' make every level fail after
// its children; read naively, each level doubles the work (2^500 reads here).
TEST_F(XmlTest, NestedFailingChildrenDoNotMultiplyTheWork) {
  std::string chain;
  for (int i = 0; i < 1000; ++i) chain += "<a>";
  EXPECT_FALSE(ParseBody("<R>" + chain + "<c"));
  // With an odd number of levels and siblings below them, R survives (as a
  // naive reader also finds at this size).
  std::string siblings;
  for (int i = 0; i < 50; ++i) siblings += "<b/>";
  EXPECT_TRUE(ParseBody("<R>" + chain.substr(0, 3 * 23) + siblings + "<c"));
  EXPECT_EQ(Str(parser_.GetNodeName("")), "R");
  EXPECT_EQ(parser_.GetChildCount(""), 0);
}

// Every node's name, attributes and text, depth first.
std::string Describe(const MiniXMLNode& node) {
  std::string out = "<";
  for (const char* field : {node.name, node.attributes, node.text}) {
    out += field != nullptr ? field : "(null)";
    out += '|';
  }
  for (std::uint64_t i = 0; i < node.childCount; ++i) out += Describe(node.children[i]);
  return out + ">";
}

TEST_F(XmlTest, EachAllocationFailingAloneGivesNoTreeOrTheWholeTree) {
  using parcel::platform::AllocSite;
  std::string children;
  for (int i = 0; i < 11; ++i) children += "<C n=\"" + std::to_string(i) + "\"/>";
  std::string siblings;
  for (int i = 0; i < 5; ++i) siblings += "<b/>";
  const std::string chain = "<a><a><a>";
  const std::string documents[] = {
      // A copy per name, attribute and text, and a children array that grows.
      "<R a=\"1\">" + children + "<D><E>te&amp;xt</E></D></R>",
      // Children that fail leave a record of the failed starts behind, whose
      // allocation only saves work.
      "<R>" + chain + siblings + "<c",
  };
  int survived = 0;  // runs that parsed although an allocation failed
  for (const std::string& document : documents) {
    ASSERT_TRUE(ParseBody(document));
    const std::string whole = Describe(*Node(""));
    for (std::int64_t k = 0;; ++k) {
      parcel::platform::SetAllocFailure({.site = AllocSite::kXml, .after = k, .once = true});
      const bool parsed = ParseBody(document);
      const bool failed = parcel::platform::AllocationsCounted() > k;
      parcel::platform::ClearAllocFailure();
      if (parsed) {
        EXPECT_EQ(Describe(*Node("")), whole) << k;
        survived += failed;
      } else {
        EXPECT_TRUE(failed) << k;
        EXPECT_EQ(parser_.GetNodeName(""), nullptr) << k;
      }
      if (!failed) break;
      ASSERT_LT(k, 1000);
    }
  }
  EXPECT_GT(survived, 0);
  parcel::platform::SetAllocFailure({.site = AllocSite::kXml, .after = 0, .once = false});
  EXPECT_EQ(CMiniXMLParser::DecodeEntities("&amp;"), nullptr);
  parcel::platform::ClearAllocFailure();
}

TEST(XmlReader, ReportsWhyTheDocumentElementFailed) {
  using parcel::xml::detail::ReadDocument;
  using parcel::xml::detail::ReadStatus;
  auto repeat = [](const std::string& unit, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += unit;
    return text;
  };
  struct Case {
    std::string text;
    ReadStatus status;
  } cases[] = {
      {"<R><A/></R>", ReadStatus::kOk},
      {"<R>", ReadStatus::kFailed},
      {repeat("<e>", kMaxNestingDepth + 1), ReadStatus::kTooDeep},
      // Each level re-reads the 20000 siblings left by the failing level below.
      {"<R>" + repeat("<a>", 200) + repeat("<b/>", 20000) + "<c", ReadStatus::kTooMuchWork},
  };
  for (const Case& c : cases) {
    MiniXMLNode root{};
    EXPECT_EQ(ReadDocument(c.text.c_str(), c.text.size(), c.text.c_str(), &root), c.status)
        << c.text.substr(0, 40);
    parcel::xml::detail::FreeNode(&root);
  }
}

}  // namespace
