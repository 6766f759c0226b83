// Builds small Windows DLL images with version resources for the version
// reader's tests and fuzz seeds: one ".rsrc" section after 0x200 bytes of
// headers, loadable as a data file by Windows itself.
#ifndef PARCEL_TESTS_PE_IMAGE_BUILDER_H_
#define PARCEL_TESTS_PE_IMAGE_BUILDER_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/coding.h"

namespace parcel::testing {

using Bytes = std::vector<std::uint8_t>;

// Little-endian fields at `at`, growing the image as needed.
inline void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  platform::EncodeFixed16(b.data() + at, static_cast<std::uint16_t>(v));
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  platform::EncodeFixed32(b.data() + at, v);
}
inline void Pad(Bytes& b, std::size_t alignment) {
  b.resize((b.size() + alignment - 1) / alignment * alignment);
}
inline Bytes Utf16(const std::u16string& s, bool terminate = true) {
  Bytes b;
  for (char16_t c : s) Put16(b, b.size(), c);
  if (terminate) Put16(b, b.size(), 0);
  return b;
}

// One version tree node: header, key, value, children, each aligned to 4.
inline Bytes Node(const std::u16string& key, std::uint16_t type, const Bytes& value,
                  std::uint16_t value_length, const std::vector<Bytes>& children = {}) {
  Bytes b(6);
  Put16(b, 2, value_length);
  Put16(b, 4, type);
  Bytes k = Utf16(key);
  b.insert(b.end(), k.begin(), k.end());
  Pad(b, 4);
  b.insert(b.end(), value.begin(), value.end());
  for (const Bytes& child : children) {
    Pad(b, 4);
    b.insert(b.end(), child.begin(), child.end());
  }
  Put16(b, 0, std::uint32_t(b.size()));
  return b;
}

inline Bytes TextNode(const std::u16string& name, const std::u16string& value) {
  return Node(name, 1, Utf16(value), std::uint16_t(value.size() + 1));
}

struct StringTable {
  std::u16string block;  // e.g. u"040704b0"
  std::vector<std::pair<std::u16string, std::u16string>> strings;
};

// A VS_VERSIONINFO tree: fixed part, then StringFileInfo with `tables`.
inline Bytes VersionTree(const std::vector<StringTable>& tables) {
  Bytes fixed(52);
  Put32(fixed, 0, 0xFEEF04BDu);
  Put32(fixed, 4, 0x00010000u);
  std::vector<Bytes> blocks;
  for (const StringTable& table : tables) {
    std::vector<Bytes> strings;
    for (const auto& [name, value] : table.strings) strings.push_back(TextNode(name, value));
    blocks.push_back(Node(table.block, 1, {}, 0, strings));
  }
  return Node(u"VS_VERSION_INFO", 0, fixed, 52, {Node(u"StringFileInfo", 1, {}, 0, blocks)});
}

// The four values of the module's resource in the given block.
inline StringTable FourValues(std::u16string block, std::u16string suffix = u"") {
  return {std::move(block),
          {{u"FileVersion", u"1, 2, 3, 4" + suffix},
           {u"ProductVersion", u"1, patch 2" + suffix},
           {u"Platform", u"TESTAMD64" + suffix},
           {u"SpecialBuild", u"dbg" + suffix}}};
}

struct Resource {
  std::uint32_t type = 16;
  std::uint32_t name = 1;
  std::uint32_t language = 0x0407;
  Bytes data;
};

// Fixed layout of the images built here.
inline constexpr std::size_t kPeHeader = 0x40;
inline constexpr std::size_t kOptionalHeader = kPeHeader + 24;
inline constexpr std::size_t kSectionTable32Plus = kOptionalHeader + 240;
inline constexpr std::size_t kResourceSection = 0x200;
inline constexpr std::uint32_t kResourceRva = 0x1000;

// A DLL whose ".rsrc" section holds `resources` (directories first, then
// the data entries, then the data, so the last resource's data ends the
// section); PE32+ unless `pe32`.
inline Bytes PeImage(std::vector<Resource> resources, bool pe32 = false) {
  std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
    return a.type != b.type ? a.type < b.type : a.name < b.name;
  });
  // Directory tree: one directory per level and distinct key.
  Bytes rsrc;
  auto directory = [&](std::size_t count) {
    std::size_t at = rsrc.size();
    rsrc.resize(at + 16 + 8 * count);
    Put16(rsrc, at + 14, std::uint32_t(count));
    return at;
  };
  std::vector<std::size_t> data_entry_fields;  // where each resource's data-entry offset goes
  std::vector<std::uint32_t> types;
  for (const Resource& r : resources) {
    if (std::find(types.begin(), types.end(), r.type) == types.end()) types.push_back(r.type);
  }
  std::size_t root = directory(types.size());
  for (std::size_t t = 0; t < types.size(); ++t) {
    std::vector<std::uint32_t> names;
    for (const Resource& r : resources) {
      if (r.type == types[t] && std::find(names.begin(), names.end(), r.name) == names.end()) {
        names.push_back(r.name);
      }
    }
    std::size_t type_dir = directory(names.size());
    Put32(rsrc, root + 16 + 8 * t, types[t]);
    Put32(rsrc, root + 20 + 8 * t, 0x80000000u | std::uint32_t(type_dir));
    for (std::size_t n = 0; n < names.size(); ++n) {
      std::size_t languages = 0;
      for (const Resource& r : resources) languages += r.type == types[t] && r.name == names[n];
      std::size_t name_dir = directory(languages);
      Put32(rsrc, type_dir + 16 + 8 * n, names[n]);
      Put32(rsrc, type_dir + 20 + 8 * n, 0x80000000u | std::uint32_t(name_dir));
      std::size_t l = 0;
      for (const Resource& r : resources) {
        if (r.type != types[t] || r.name != names[n]) continue;
        Put32(rsrc, name_dir + 16 + 8 * l, r.language);
        data_entry_fields.push_back(name_dir + 20 + 8 * l++);
      }
    }
  }
  std::vector<std::size_t> data_entries;
  for (std::size_t field : data_entry_fields) {
    data_entries.push_back(rsrc.size());
    Put32(rsrc, field, std::uint32_t(rsrc.size()));
    rsrc.resize(rsrc.size() + 16);
  }
  for (std::size_t i = 0; i < resources.size(); ++i) {
    Pad(rsrc, 8);
    Put32(rsrc, data_entries[i], kResourceRva + std::uint32_t(rsrc.size()));
    Put32(rsrc, data_entries[i] + 4, std::uint32_t(resources[i].data.size()));
    rsrc.insert(rsrc.end(), resources[i].data.begin(), resources[i].data.end());
  }
  const std::uint32_t virtual_size = std::uint32_t(rsrc.size());
  Pad(rsrc, 0x200);

  const std::size_t optional_size = pe32 ? 224 : 240;
  const std::size_t directories = pe32 ? 96 : 112;
  const std::size_t sections = kOptionalHeader + optional_size;
  Bytes image(kResourceSection);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, kPeHeader);
  Put32(image, kPeHeader, 0x00004550);                  // "PE\0\0"
  Put16(image, kPeHeader + 4, pe32 ? 0x014C : 0x8664);  // machine
  Put16(image, kPeHeader + 6, 1);                       // sections
  Put16(image, kPeHeader + 20, std::uint32_t(optional_size));
  Put16(image, kPeHeader + 22, pe32 ? 0x2102 : 0x2022);  // DLL, executable
  const std::size_t o = kOptionalHeader;
  Put16(image, o, pe32 ? 0x10B : 0x20B);
  Put32(image, o + 8, std::uint32_t(rsrc.size()));  // initialised data
  if (pe32) {
    Put32(image, o + 28, 0x10000000u);  // image base
  } else {
    Put32(image, o + 24, 0x80000000u);  // image base 0x180000000
    Put32(image, o + 28, 0x1u);
  }
  Put32(image, o + 32, 0x1000);  // section alignment
  Put32(image, o + 36, 0x200);   // file alignment
  Put16(image, o + 40, 6);       // operating system version
  Put16(image, o + 48, 6);       // subsystem version
  Put32(image, o + 56, kResourceRva + (virtual_size + 0xFFF) / 0x1000 * 0x1000);
  Put32(image, o + 60, kResourceSection);  // size of headers
  Put16(image, o + 68, 2);                 // GUI subsystem
  Put32(image, o + 72, 0x100000);          // stack reserve
  Put32(image, o + directories - 4, 16);
  Put32(image, o + directories + 16, kResourceRva);
  Put32(image, o + directories + 20, virtual_size);
  const char name[8] = {'.', 'r', 's', 'r', 'c'};
  std::copy(name, name + 8, image.begin() + std::ptrdiff_t(sections));
  Put32(image, sections + 8, virtual_size);
  Put32(image, sections + 12, kResourceRva);
  Put32(image, sections + 16, std::uint32_t(rsrc.size()));
  Put32(image, sections + 20, kResourceSection);
  Put32(image, sections + 36, 0x40000040u);  // initialised data, readable
  image.insert(image.end(), rsrc.begin(), rsrc.end());
  return image;
}

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_PE_IMAGE_BUILDER_H_
