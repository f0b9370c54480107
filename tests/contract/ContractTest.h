// Contract tests run the same cases against the simulated machine (native build) and against
// real Win32 under Wine (Windows build). Each test gets a fresh scratch directory on C:.
#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/WinApi.h"

namespace contract {

// What the backend under test is; used only to mark measured gaps. It keeps the thread's
// last-error code, as do the marks below: they stand between a call and the check of its code.
enum class Backend { Simulation, Wine, Windows };
Backend CurrentBackend();
// Called where a case goes on past Wine's answer to Windows' own: what follows has been read in
// the documentation, not yet seen on a Windows runner. The case's XML carries the mark, so that
// the runner's first run is read as the measurement.
inline void DocumentedNotMeasured() {
  if (CurrentBackend() == Backend::Windows) {
    const win::DWORD saved = win::GetLastError();
    ::testing::Test::RecordProperty("windows", "documented, not measured");
    win::SetLastError(saved);
  }
}

// A known gap of Wine's, marked the way Wine's own tests mark one with todo_wine: the checks in
// the block are Windows' answer.
//
//   TODO_WINE("Wine 8: SetProcessMitigationPolicy takes any buffer") {
//     EXPECT_EQ(error, win::ERROR_INVALID_PARAMETER);
//   }
//
// On the simulation and on Windows they are ordinary checks. Under Wine they still run and are
// expected to fail: the case passes and its output says "known gap: REASON" with what Wine
// answered. Should every check in the block pass under Wine, the case fails with "now passes
// under Wine: remove the marker", so that the day Wine closes the gap is seen. TODO_WINE_IF marks
// the block only when its condition holds (a table's rows where Wine differs). Use EXPECT_ checks
// in it: a failing ASSERT_ also ends the case there, under Wine too. Where a call cannot be made
// under Wine at all (it ends the process, or breaks the session for later cases), the case
// asserts what Wine answers and skips instead.
class KnownWineGap {
 public:
  KnownWineGap(bool marked, std::string reason, const char* file, int line);
  ~KnownWineGap();
  KnownWineGap(const KnownWineGap&) = delete;
  KnownWineGap& operator=(const KnownWineGap&) = delete;

  // For the macros' one pass through the block.
  bool Pending() const { return pending_; }
  void Done() { pending_ = false; }

 private:
  std::string reason_;
  const char* file_;
  int line_;
  bool pending_ = true;
  ::testing::TestPartResultArray results_;
  // Set under Wine only: what the block reports goes to results_ instead of the case.
  std::unique_ptr<::testing::ScopedFakeTestPartResultReporter> capture_;
};

#define TODO_WINE_IF(condition, reason)                                                   \
  for (::contract::KnownWineGap knownWineGap_((condition), (reason), __FILE__, __LINE__); \
       knownWineGap_.Pending(); knownWineGap_.Done())
#define TODO_WINE(reason) TODO_WINE_IF(true, reason)

// Whatever the backend needs alive during one test (the simulated machine, for instance).
std::shared_ptr<void> MakeBackendState();
// The ANSI code page of the machine the cases run on, for cases that hold for one code page only.
// A question of the harness, not of the programs: each backend answers it on its own.
win::UINT AnsiCodePage();
// Makes `path` the current directory of the process the cases run in; false when it cannot.
bool ChangeCurrentDirectory(const std::u16string& path);
// Makes DeleteFileW and RemoveDirectoryW on C: take the name of an open file away at once
// (`posix`) or leave it delete pending until the last handle closes. False where the backend
// cannot choose: Windows and Wine delete as they do.
bool ChooseDeleteSemantics(bool posix);

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
