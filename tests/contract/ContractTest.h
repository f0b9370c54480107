// Contract tests run the same cases against the simulated machine (native build) and against
// real Win32 under Wine (Windows build). Each test gets a fresh scratch directory on C:.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/WinApi.h"

namespace contract {

// What the backend under test is; used only to record measured gaps as skips.
enum class Backend { Simulation, Wine, Windows };
Backend CurrentBackend();
// Called where a case goes on past Wine's answer to Windows' own: what follows has been read in
// the documentation, not yet seen on a Windows runner. The case's XML carries the mark, so that
// the runner's first run is read as the measurement.
inline void DocumentedNotMeasured() {
  if (CurrentBackend() == Backend::Windows) {
    ::testing::Test::RecordProperty("windows", "documented, not measured");
  }
}
// Whatever the backend needs alive during one test (the simulated machine, for instance).
std::shared_ptr<void> MakeBackendState();
// The ANSI code page of the machine the cases run on, for cases that hold for one code page only.
// A question of the harness, not of the programs: each backend answers it on its own.
win::UINT AnsiCodePage();
// Makes `path` the current directory of the process the cases run in; false when it cannot.
bool ChangeCurrentDirectory(const std::u16string& path);

class ContractTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The scratch directory (absolute, no trailing backslash) and a path inside it.
  const std::u16string& Dir() const { return dir_; }
  std::u16string In(std::u16string_view name) const { return dir_ + u"\\" + std::u16string(name); }

  // Small file helpers built on the seam itself.
  bool MakeFile(std::u16string_view path, std::string_view content = "data");
  std::string ReadAll(std::u16string_view path);                   // empty when it cannot be opened
  win::BY_HANDLE_FILE_INFORMATION Info(std::u16string_view path);  // zeroed when missing
  bool Exists(std::u16string_view path);

 private:
  std::shared_ptr<void> backend_;
  std::u16string dir_;
};

// For messages: a UTF-16 string as ASCII.
std::string Narrow(std::u16string_view text);

}  // namespace contract
