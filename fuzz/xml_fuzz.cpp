// Feeds arbitrary bytes to the XML parser, then asks what the compression job
// asks and looks up attributes in every attribute text that comes back. The
// answers of the indexed name queries are checked against a plain walk.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "xml/mini_xml_parser.h"
#include "xml/mini_xml_tree.h"

namespace {

// Structural invariants of every node reachable from `node`.
void CheckTree(const MiniXMLNode& node, int depth) {
  if (depth > parcel::xml::kMaxNestingDepth) std::abort();
  if (node.name == nullptr || node.childCount > node.childCapacity) std::abort();
  if (node.childCapacity != 0 && node.childCapacity % 10 != 0) std::abort();
  if (node.isCData && node.text == nullptr) std::abort();
  if (node.text != nullptr && node.childCount != 0) std::abort();
  for (std::uint64_t i = 0; i < node.childCount; ++i) CheckTree(node.children[i], depth + 1);
}

// Looks up the job's attribute names with a buffer of exactly the documented
// size, and with the job's fixed buffers through the bounded copy; both must
// agree whenever the value fits.
void LookUp(const char* attributes) {
  if (attributes == nullptr) return;
  static const char* kNames[] = {"format", "name", "path", "size", "", "NAME"};
  const std::size_t length = std::strlen(attributes);
  for (const char* name : kNames) {
    std::vector<char> exact(length + 1);
    const bool found = CMiniXMLParser::GetAttributeValue(attributes, name, exact.data());
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(80), std::size_t(256)}) {
      std::vector<char> bounded(size);
      const parcel::xml::AttributeResult result =
          parcel::xml::CopyAttributeValue(attributes, name, bounded.data(), size);
      if (!found) {
        if (result != parcel::xml::AttributeResult::kAbsent) std::abort();
      } else if (result == parcel::xml::AttributeResult::kFound) {
        if (std::strcmp(bounded.data(), exact.data()) != 0) std::abort();
      } else if (result != parcel::xml::AttributeResult::kTooLong ||
                 std::strlen(exact.data()) < size) {
        std::abort();
      }
    }
  }
  char* decoded = CMiniXMLParser::DecodeEntities(attributes);
  if (decoded == nullptr || std::strlen(decoded) > length) std::abort();
  delete[] decoded;
}

const MiniXMLNode* Find(const CMiniXMLParser& parser, const char* path, ...) {
  std::va_list arguments;
  va_start(arguments, path);
  const MiniXMLNode* node = parser.FindNode(path, arguments);
  va_end(arguments);
  return node;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  // An exact-size copy, so any read past the end is caught by AddressSanitizer.
  std::vector<char> input(bytes, bytes + size);
  CMiniXMLParser parser;
  if (!parser.Parse(input.data(), input.size())) {
    if (parser.GetNodeName("") != nullptr) std::abort();
    return 0;
  }
  CheckTree(*Find(parser, ""), 1);

  LookUp(parser.GetNodeAttributes("%s", "COMPRESS"));
  const int count = parser.GetChildCount("%s%s", "COMPRESS", "FILES");
  // Walk the FILE children as the job does and compare each answer with the
  // child found by position.
  int k = 0;
  for (int position = 0; position < count; ++position) {
    const char* name = parser.GetNodeName("%s%s%d", "COMPRESS", "FILES", position);
    if (name == nullptr) std::abort();
    if (!parcel::xml::detail::NamesEqual(name, "file")) continue;
    const char* by_name = parser.GetNodeAttributes("%s%s%sd", "COMPRESS", "FILES", "FILE", k++);
    const char* by_position = parser.GetNodeAttributes("%s%s%d", "COMPRESS", "FILES", position);
    if (by_name != by_position) std::abort();
    LookUp(by_name);
  }
  if (parser.GetNodeAttributes("%s%s%sd", "COMPRESS", "FILES", "FILE", k) != nullptr) std::abort();
  return 0;
}
