// The process-level calls the programs rely on: the per-thread last-error code, waits and the
// clock, the program's own path and command line, COM initialisation, the local heap, the
// standard handles, file types and consoles.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>

#include "platform/UniqueHandle.h"
#include "tests/contract/ContractStrings.h"
#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

using ProcessContractTest = ContractTest;

// The two threads hand over through atomics alone: starting or joining a thread makes system
// calls that may leave their own last-error code, which would hide what is being checked.
TEST_F(ProcessContractTest, LastErrorIsPerThread) {
  std::atomic<int> step{0};
  win::DWORD seenOnOtherThread = 0;
  win::DWORD keptOnOtherThread = 0;
  std::thread other([&] {
    while (step.load() != 1) std::this_thread::yield();
    seenOnOtherThread = win::GetLastError();
    win::SetLastError(win::ERROR_ACCESS_DENIED);
    keptOnOtherThread = win::GetLastError();
    step.store(2);
  });
  win::SetLastError(0xdeadbeef);
  step.store(1);
  while (step.load() != 2) {
  }
  const win::DWORD mine = win::GetLastError();
  other.join();
  EXPECT_EQ(mine, 0xdeadbeefu);
  EXPECT_NE(seenOnOtherThread, 0xdeadbeefu);
  EXPECT_EQ(keptOnOtherThread, win::ERROR_ACCESS_DENIED);
}

// The service asks for the redirection trust policy, best effort: the policy with its one DWORD
// of flags is taken (here with none set, which changes nothing for the cases that follow), and a
// buffer of another size is refused.
TEST_F(ProcessContractTest, RedirectionTrustPolicyTakesItsFlags) {
  const win::DWORD none = 0;
  win::SetLastError(0xdeadbeef);
  EXPECT_TRUE(win::SetProcessMitigationPolicy(win::ProcessRedirectionTrustPolicy, &none, sizeof none));
  const std::uint64_t wide = 0;
  win::SetLastError(0xdeadbeef);
  const win::BOOL taken = win::SetProcessMitigationPolicy(win::ProcessRedirectionTrustPolicy, &wide, sizeof wide);
  const win::DWORD error = win::GetLastError();
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: SetProcessMitigationPolicy is a stub that takes anything") {
    EXPECT_FALSE(taken);
    EXPECT_EQ(error, win::ERROR_INVALID_PARAMETER);
  }
}

// The clock a start's budget is measured with moves on with the time a wait takes.
TEST_F(ProcessContractTest, TickCountMovesOnWithAWait) {
  const std::uint64_t before = win::GetTickCount64();
  win::Sleep(50);
  const std::uint64_t after = win::GetTickCount64();
  EXPECT_GE(after - before, 40u);  // the tick is 10 to 16 ms on Windows
  EXPECT_LT(after - before, 10'000u);
}

// The front end tells the shell of a drive change; queued, the call waits for no window.
TEST_F(ProcessContractTest, ShellNotificationReturnsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  win::SHChangeNotify(win::SHCNE_DRIVEADD, win::SHCNF_PATHW, u"C:\\", nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(ProcessContractTest, ModuleFileNameIsTheFullPath) {
  char16_t buffer[win::MAX_PATH + 1];
  win::SetLastError(0xdeadbeef);
  const win::DWORD length = win::GetModuleFileNameW(nullptr, buffer, win::MAX_PATH + 1);
  ASSERT_GT(length, 0u) << win::GetLastError();
  ASSERT_LE(length, win::MAX_PATH);
  const std::u16string path(buffer, length);
  EXPECT_EQ(buffer[length], u'\0');
  EXPECT_EQ(std::char_traits<char16_t>::length(buffer), length);
  // A drive path (X:\...) or a UNC one (\\server\...), never relative.
  const bool drive = path.size() > 3 && path[1] == u':' && path[2] == u'\\';
  const bool unc = path.size() > 2 && path[0] == u'\\' && path[1] == u'\\';
  EXPECT_TRUE(drive || unc) << Narrow(path);
  std::u16string extension = path.substr(path.size() - 4);
  for (char16_t& c : extension) c = (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
  EXPECT_EQ(extension, u".exe") << Narrow(path);
}

TEST_F(ProcessContractTest, ModuleFileNameTruncatesToTheBuffer) {
  char16_t full[win::MAX_PATH + 1];
  const win::DWORD fullLength = win::GetModuleFileNameW(nullptr, full, win::MAX_PATH + 1);
  ASSERT_GT(fullLength, 5u);

  char16_t small[8];
  std::fill(std::begin(small), std::end(small), u'#');
  win::SetLastError(0xdeadbeef);
  const win::DWORD length = win::GetModuleFileNameW(nullptr, small, 5);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::u16string(small, 4), std::u16string(full, 4));
  EXPECT_EQ(small[5], u'#');  // nothing past the given size
  DocumentedNotMeasured();
  // Measured on Wine 8: the fifth character is copied, unterminated, as Windows XP did. Callers
  // must take a result equal to the size as truncation, not look for the NUL.
  TODO_WINE("Wine 8 does not NUL-terminate a truncated module name") {
    EXPECT_EQ(small[4], u'\0');
  }
}

// The program's own string table (tests/contract/ContractStrings.rc).
TEST_F(ProcessContractTest, LoadStringReadsTheProgramsStringTable) {
  const std::u16string expected = u"" CORVANE_CONTRACT_STRING;
  const win::HINSTANCE self = win::GetModuleHandleW(nullptr);
  char16_t buffer[64];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::LoadStringW(self, CORVANE_CONTRACT_STRING_ID, buffer, 64),
            static_cast<int>(expected.size()));
  EXPECT_EQ(std::u16string(buffer), expected);

  // Too short a buffer: as much as fits, then a NUL; the count excludes the NUL.
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(win::LoadStringW(self, CORVANE_CONTRACT_STRING_ID, buffer, 8), 7);
  EXPECT_EQ(std::u16string(buffer), expected.substr(0, 7));
  EXPECT_EQ(buffer[8], u'#');

  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::LoadStringW(self, CORVANE_CONTRACT_MISSING_ID, buffer, 64), 0);
  EXPECT_EQ(win::GetLastError(), win::ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST_F(ProcessContractTest, CommandLineIsNotEmpty) {
  const win::LPWSTR commandLine = win::GetCommandLineW();
  ASSERT_NE(commandLine, nullptr);
  EXPECT_GT(std::char_traits<char16_t>::length(commandLine), 0u);
}

// On a thread of its own, so the test runner's thread keeps whatever COM state it has.
TEST_F(ProcessContractTest, CoInitializeCountsPerThread) {
  win::HRESULT first = -1, second = -1, afterBalancedUninit = -1;
  std::thread worker([&] {
    first = win::CoInitialize(nullptr);
    second = win::CoInitialize(nullptr);
    win::CoUninitialize();
    win::CoUninitialize();
    afterBalancedUninit = win::CoInitialize(nullptr);
    if (afterBalancedUninit >= 0) win::CoUninitialize();
  });
  worker.join();
  EXPECT_EQ(first, win::S_OK);
  EXPECT_EQ(second, win::S_FALSE);
  EXPECT_EQ(afterBalancedUninit, win::S_OK);
}

TEST_F(ProcessContractTest, LocalAllocZeroFillsAndLocalFreeGivesNull) {
  win::SetLastError(0xdeadbeef);
  const win::HLOCAL memory = win::LocalAlloc(win::LPTR, 268);
  ASSERT_NE(memory, nullptr) << win::GetLastError();
  const auto* bytes = static_cast<const unsigned char*>(memory);
  EXPECT_TRUE(std::all_of(bytes, bytes + 268, [](unsigned char b) { return b == 0; }));
  EXPECT_EQ(win::LocalFree(memory), nullptr) << win::GetLastError();
  EXPECT_EQ(win::LocalFree(nullptr), nullptr);
}

TEST_F(ProcessContractTest, UndefinedStandardHandleIsAnInvalidHandle) {
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::GetStdHandle(static_cast<win::DWORD>(-13)), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

// A front end asks whether a handle is a console before writing characters to it.
TEST_F(ProcessContractTest, DiskFileIsNoConsole) {
  ASSERT_TRUE(MakeFile(In(u"console.txt")));
  win::UniqueFile file(win::CreateFileW(In(u"console.txt").c_str(), win::GENERIC_READ,
                                        win::FILE_SHARE_READ, nullptr, win::OPEN_EXISTING,
                                        win::FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file) << win::GetLastError();
  win::DWORD mode = 0xdeadbeef;
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::GetConsoleMode(file.Get(), &mode), win::FALSE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

enum class TypedHandle { DiskFile, Directory, InvalidHandleValue, Null };

struct FileTypeCase {
  const char* label;
  TypedHandle handle;
  win::DWORD type;
  win::DWORD error;  // 0xdeadbeef: left as it was
};

class FileTypeTest : public ContractTest, public ::testing::WithParamInterface<FileTypeCase> {};

TEST_P(FileTypeTest, IsTheDevicesOrAnInvalidHandle) {
  const FileTypeCase& c = GetParam();
  win::UniqueFile file;
  if (c.handle == TypedHandle::DiskFile || c.handle == TypedHandle::Directory) {
    const bool directory = c.handle == TypedHandle::Directory;
    ASSERT_TRUE(directory || MakeFile(In(u"typed.txt")));
    file.Reset(win::CreateFileW(directory ? Dir().c_str() : In(u"typed.txt").c_str(),
                                win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(file) << win::GetLastError();
  }
  const win::HANDLE handle = file ? file.Get()
                             : c.handle == TypedHandle::InvalidHandleValue
                                 ? win::INVALID_HANDLE_VALUE
                                 : nullptr;
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::GetFileType(handle), c.type);
  EXPECT_EQ(win::GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Handles, FileTypeTest,
    ::testing::Values(
        FileTypeCase{"DiskFile", TypedHandle::DiskFile, win::FILE_TYPE_DISK, 0xdeadbeef},
        FileTypeCase{"Directory", TypedHandle::Directory, win::FILE_TYPE_DISK, 0xdeadbeef},
        FileTypeCase{"InvalidHandleValue", TypedHandle::InvalidHandleValue, win::FILE_TYPE_UNKNOWN,
                     win::ERROR_INVALID_HANDLE},
        FileTypeCase{"Null", TypedHandle::Null, win::FILE_TYPE_UNKNOWN, win::ERROR_INVALID_HANDLE}),
    [](const ::testing::TestParamInfo<FileTypeCase>& c) { return std::string(c.param.label); });

}  // namespace
}  // namespace contract
