// The simulated CorvaneService carries the registry script byte for byte, and finds it the
// way the real program does: its own image loaded as a data file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/WinApi.h"
#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

std::string SourceFile(const char* relative) {
  std::ifstream in(std::string(CORVANE_SOURCE_DIR) + "/" + relative, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(RegistryScriptResource, IsTheFileByteForByte) {
  const std::string file = SourceFile("service/res/CorvaneService.rgs");
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(std::string(kRegistryScriptResource), file);
}

TEST(RegistryScriptResource, KeepsItsLineEndsAndTabs) {
  const std::string_view script = kRegistryScriptResource;
  EXPECT_TRUE(script.starts_with("HKCR\r\n{\r\n\tNoRemove AppID\r\n"));
  EXPECT_TRUE(script.ends_with("\t}\r\n}\r\n"));
  std::size_t lines = 0;
  for (std::size_t i = 0; i < script.size(); ++i) {
    if (script[i] == '\n') {
      ++lines;
      EXPECT_TRUE(i > 0 && script[i - 1] == '\r') << "bare LF at " << i;
    }
  }
  EXPECT_EQ(lines, 11u);
  EXPECT_NE(script.find("\t\t\tval AppID = s '%APPID%'\r\n"), std::string_view::npos);
  EXPECT_EQ(script.find('\0'), std::string_view::npos);
}

class ServiceResources : public ServiceHarness {};

// What the program reads through its own path as a data file, and what stays loaded after.
TEST_F(ServiceResources, ProgramFindsItsScriptThroughItsOwnImage) {
  std::string read;
  win::DWORD size = 0;
  machine.InstallProgram(
      u"C:\\Probe\\Reader.exe",
      sim::Program{[&]() -> win::DWORD {
                     win::HMODULE data =
                         win::LoadLibraryExW(kServiceImage, nullptr, win::LOAD_LIBRARY_AS_DATAFILE);
                     if (data == nullptr) return win::GetLastError();
                     win::HRSRC found = win::FindResourceW(
                         data, win::MAKEINTRESOURCEW(kRegistryScriptId), kRegistryScriptType);
                     if (found == nullptr) return win::GetLastError();
                     size = win::SizeofResource(data, found);
                     const auto* bytes = static_cast<const char*>(
                         win::LockResource(win::LoadResource(data, found)));
                     read.assign(bytes, size);
                     return win::FreeLibrary(data) ? 0 : win::GetLastError();
                   },
                   {}});
  EXPECT_EQ(machine.RunProgram(u"C:\\Probe\\Reader.exe", u"Reader.exe"), 0u);
  EXPECT_EQ(size, kRegistryScriptResource.size());
  EXPECT_EQ(read, kRegistryScriptResource);
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
}

TEST_F(ServiceResources, DataFileReferencesAreCountedUntilFreed) {
  const win::HMODULE first =
      win::LoadLibraryExW(kServiceImage, nullptr, win::LOAD_LIBRARY_AS_DATAFILE);
  const win::HMODULE second =
      win::LoadLibraryExW(kServiceImage, nullptr, win::LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(machine.LoadedModuleReferences(), 2);
  EXPECT_NE(win::FreeLibrary(first), 0);
  EXPECT_EQ(machine.LoadedModuleReferences(), 1);
  EXPECT_NE(win::FreeLibrary(second), 0);
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
  // A freed data module is gone: its handle no longer names one.
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::FreeLibrary(first), 0);
  EXPECT_EQ(win::GetLastError(), win::ERROR_MOD_NOT_FOUND);
}

TEST_F(ServiceResources, InjectedFailuresReachTheCaller) {
  machine.FailNext("LoadLibraryExW", win::ERROR_NOT_ENOUGH_MEMORY);
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::LoadLibraryExW(kServiceImage, nullptr, win::LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
  machine.FailNext("FindResourceW", win::ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(win::FindResourceW(nullptr, win::MAKEINTRESOURCEW(1), u"REGISTRY"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_RESOURCE_TYPE_NOT_FOUND);
}

}  // namespace
}  // namespace corvane_test
