// A program's resources of a named type, found in its own module and in its image loaded as a
// data file: how the service reads its registry script.
#include <cstring>
#include <string>
#include <string_view>

#include "platform/UniqueHandle.h"
#include "tests/contract/ContractStrings.h"
#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

constexpr std::string_view kBytes = CORVANE_CONTRACT_RESOURCE;
constexpr win::DWORD kUnset = 0xdeadbeef;

std::u16string OwnPath() {
  char16_t buffer[win::MAX_PATH + 1] = {};
  const win::DWORD length = win::GetModuleFileNameW(nullptr, buffer, win::MAX_PATH + 1);
  return std::u16string(buffer, length);
}

// Finds, loads, locks and sizes the test resource of `module`; the bytes must be the known ones.
void ExpectKnownResource(win::HMODULE module, const char16_t* type) {
  win::SetLastError(kUnset);
  const win::HRSRC found =
      win::FindResourceW(module, win::MAKEINTRESOURCEW(CORVANE_CONTRACT_RESOURCE_ID), type);
  ASSERT_NE(found, nullptr) << win::GetLastError();
  win::SetLastError(kUnset);
  EXPECT_EQ(win::SizeofResource(module, found), kBytes.size());
  const win::HGLOBAL loaded = win::LoadResource(module, found);
  ASSERT_NE(loaded, nullptr) << win::GetLastError();
  const auto* bytes = static_cast<const char*>(win::LockResource(loaded));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string_view(bytes, kBytes.size()), kBytes);
  EXPECT_EQ(win::GetLastError(), kUnset);
}

class TypeSpelling : public ContractTest, public ::testing::WithParamInterface<const char16_t*> {};

// Named types are stored upper-cased and matched without regard to case.
TEST_P(TypeSpelling, OwnModuleHasTheResource) {
  ExpectKnownResource(win::GetModuleHandleW(nullptr), GetParam());
}

TEST_P(TypeSpelling, OwnImageLoadedAsDataFileHasTheResource) {
  const std::u16string path = OwnPath();
  ASSERT_FALSE(path.empty());
  win::SetLastError(kUnset);
  const win::HMODULE data =
      win::LoadLibraryExW(path.c_str(), nullptr, win::LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(data, nullptr) << win::GetLastError();
  ExpectKnownResource(data, GetParam());
  win::SetLastError(kUnset);
  EXPECT_NE(win::FreeLibrary(data), 0) << win::GetLastError();
}

INSTANTIATE_TEST_SUITE_P(Spellings, TypeSpelling,
                         ::testing::Values(u"REGISTRY", u"registry", u"Registry"));

// The running program is loaded already: a data-file load of its own path hands out its
// module again, with a reference to give back.
TEST_F(ContractTest, OwnImageAsDataFileIsTheLoadedModule) {
  const std::u16string path = OwnPath();
  const win::HMODULE data =
      win::LoadLibraryExW(path.c_str(), nullptr, win::LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data, win::GetModuleHandleW(nullptr));
  EXPECT_NE(win::FreeLibrary(data), 0);
}

struct Missing {
  const char* label;
  const char16_t* type;
  win::WORD id;
  win::DWORD error;
};

class MissingResource : public ContractTest, public ::testing::WithParamInterface<Missing> {};

TEST_P(MissingResource, IsNotFoundWithItsCode) {
  win::SetLastError(kUnset);
  EXPECT_EQ(win::FindResourceW(win::GetModuleHandleW(nullptr), win::MAKEINTRESOURCEW(GetParam().id),
                               GetParam().type),
            nullptr);
  EXPECT_EQ(win::GetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MissingResource,
    ::testing::Values(Missing{"Type", u"CORVANENOTYPE", CORVANE_CONTRACT_RESOURCE_ID,
                              win::ERROR_RESOURCE_TYPE_NOT_FOUND},
                      Missing{"Id", u"REGISTRY", CORVANE_CONTRACT_RESOURCE_ID + 1,
                              win::ERROR_RESOURCE_NAME_NOT_FOUND}),
    [](const ::testing::TestParamInfo<Missing>& c) { return std::string(c.param.label); });

TEST_F(ContractTest, DataFileLoadOfAMissingFileFails) {
  win::SetLastError(kUnset);
  EXPECT_EQ(win::LoadLibraryExW(In(u"missing.exe").c_str(), nullptr, win::LOAD_LIBRARY_AS_DATAFILE),
            nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

TEST_F(ContractTest, DataFileLoadOfAFileThatIsNoImageFails) {
  ASSERT_TRUE(MakeFile(In(u"plain.exe"), "HKCR\r\n{\r\n}\r\n"));
  win::SetLastError(kUnset);
  EXPECT_EQ(win::LoadLibraryExW(In(u"plain.exe").c_str(), nullptr, win::LOAD_LIBRARY_AS_DATAFILE),
            nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_BAD_EXE_FORMAT);
}

}  // namespace
}  // namespace contract
