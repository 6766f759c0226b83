// Reads parcel.dll's version resource back with the Windows version API, as
// the module's version reader and a Windows file-properties view do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/win/win_headers.h"

namespace {

class VersionResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = parcel::platform::ExecutableDirectory() + parcel::platform::ModuleFileName("parcel");
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path_.c_str(), &ignored);
    ASSERT_GT(size, 0u) << path_ << ": error " << GetLastError();
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(path_.c_str(), 0, size, block_.data()));
  }

  // The value at `key`, or null when the resource has none.
  const void* Query(const std::string& key, UINT* length) {
    void* value = nullptr;
    *length = 0;
    if (!VerQueryValueA(block_.data(), key.c_str(), &value, length)) return nullptr;
    return value;
  }

  std::string QueryText(const std::string& key) {
    UINT length = 0;
    const void* value = Query(key, &length);
    return value != nullptr ? std::string(static_cast<const char*>(value)) : "<missing>";
  }

  std::string path_;
  std::vector<char> block_;
};

TEST_F(VersionResourceTest, GermanUnicodeBlockHoldsTheFourVersionStrings) {
  const struct {
    const char* key;
    const char* value;
  } expected[] = {
      {"FileVersion", "7000, 113, 13, 59182"},
      {"ProductVersion", "700, patch 113, changelist 911150"},
      {"Platform", "NTAMD64"},
      {"SpecialBuild", "opt"},
  };
  for (const auto& e : expected) {
    EXPECT_EQ(QueryText(std::string("\\StringFileInfo\\040704b0\\") + e.key), e.value) << e.key;
    EXPECT_EQ(QueryText(std::string("\\StringFileInfo\\040904b0\\") + e.key), "<missing>")
        << e.key << " must live in the 0407 block only";
  }
}

TEST_F(VersionResourceTest, TranslationNamesTheGermanUnicodeBlock) {
  UINT length = 0;
  const void* value = Query("\\VarFileInfo\\Translation", &length);
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(length, 4u) << "exactly one language and code page pair";
  const auto* pair = static_cast<const WORD*>(value);
  EXPECT_EQ(pair[0], 0x0407);
  EXPECT_EQ(pair[1], 0x04B0);
}

TEST_F(VersionResourceTest, FixedPartCarriesNumericVersionsOfADll) {
  UINT length = 0;
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(Query("\\", &length));
  ASSERT_NE(fixed, nullptr);
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, (7000u << 16) | 113u);
  EXPECT_EQ(fixed->dwFileVersionLS, (13u << 16) | 59182u);
  EXPECT_EQ(HIWORD(fixed->dwProductVersionMS), 700u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_NE(fixed->dwFileFlags & VS_FF_SPECIALBUILD, 0u) << "the block has a SpecialBuild string";
}

TEST_F(VersionResourceTest, ResourceIsFiledUnderLanguage0407) {
  // Resource compilers file resources under 0x0409 unless told otherwise.
  HMODULE module = LoadLibraryExA(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << "error " << GetLastError();
  auto find = [&](WORD language) {
    return FindResourceExA(module, MAKEINTRESOURCEA(16) /* RT_VERSION */, MAKEINTRESOURCEA(1),
                           language) != nullptr;
  };
  EXPECT_TRUE(find(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)));
  EXPECT_FALSE(find(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
  FreeLibrary(module);
}

}  // namespace
