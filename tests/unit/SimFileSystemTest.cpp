// Simulation-only file-system behaviour: second volumes, subst drives, junctions, the Machine
// helpers, and what Wine cannot show (read-only files, the hard-link limit).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ReparseRecord.h"
#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"
#include "platform/sim/Machine.h"
#include "tests/HardLinks.h"

namespace {

using corvane_test::MakeHardLink;

constexpr win::DWORD kUnset = 0xdeadbeef;
constexpr win::DWORD kShareAll =
    win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE;
constexpr win::DWORD kWineFlags = 0xA;  // case-preserving, persistent ACLs, no Unicode on disk

std::u16string Digits(int value) {
  const std::string text = std::to_string(value);
  return std::u16string(text.begin(), text.end());
}

struct LabelOf {
  template <typename T>
  std::string operator()(const ::testing::TestParamInfo<T>& param) const {
    return param.param.label;
  }
};

win::UniqueFile Open(std::u16string_view path, win::DWORD access, win::DWORD disposition,
                     win::DWORD flags = 0, win::DWORD share = kShareAll) {
  return win::UniqueFile(win::CreateFileW(std::u16string(path).c_str(), access, share, nullptr,
                                          disposition, flags, nullptr));
}

bool Write(std::u16string_view path, std::string_view content) {
  auto file = Open(path, win::GENERIC_WRITE, win::CREATE_ALWAYS);
  win::DWORD written = 0;
  return file && win::WriteFile(file.Get(), content.data(), static_cast<win::DWORD>(content.size()),
                                &written, nullptr);
}

std::vector<std::uint8_t> MountPointRecord(std::u16string_view target) {
  std::vector<std::uint8_t> record(reparse::MountPointSize(target.size()));
  reparse::WriteMountPoint(record.data(), target);
  return record;
}

win::DWORD Control(win::HANDLE handle, win::DWORD code, std::vector<std::uint8_t> in,
                   std::vector<std::uint8_t>* out = nullptr, win::DWORD* returned = nullptr) {
  win::DWORD count = 0;
  win::SetLastError(kUnset);
  const win::BOOL ok = win::DeviceIoControl(
      handle, code, in.empty() ? nullptr : in.data(), static_cast<win::DWORD>(in.size()),
      out ? out->data() : nullptr, out ? static_cast<win::DWORD>(out->size()) : 0, &count, nullptr);
  if (returned) *returned = count;
  return ok ? 0 : win::GetLastError();
}

win::UniqueFile OpenLink(std::u16string_view path, win::DWORD access = win::GENERIC_WRITE) {
  return Open(path, access, win::OPEN_EXISTING,
              win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, 0);
}

class SimFileSystemTest : public ::testing::Test {
 protected:
  sim::Machine machine;
};

// ---- Machine helpers ----

TEST_F(SimFileSystemTest, HelpersBuildAndInspectTheTree) {
  machine.PutFile(u"C:\\a\\b\\file.txt", "hello");
  machine.MakeDirectories(u"C:\\a\\Empty\\deeper");
  EXPECT_EQ(machine.FileContent(u"c:\\A\\B\\FILE.TXT"), "hello");
  EXPECT_EQ(machine.FileContent(u"C:\\a\\b"), std::nullopt);
  EXPECT_EQ(machine.FileContent(u"C:\\a\\missing"), std::nullopt);
  EXPECT_TRUE(machine.Exists(u"C:\\a\\Empty\\deeper"));
  EXPECT_TRUE(machine.IsDirectory(u"C:\\a\\b"));
  EXPECT_FALSE(machine.IsDirectory(u"C:\\a\\b\\file.txt"));
  EXPECT_EQ(machine.LinkCount(u"C:\\a\\b\\file.txt"), 1u);
  EXPECT_EQ(machine.LinkCount(u"C:\\nothing"), 0u);
  EXPECT_EQ(machine.List(u"C:\\a"), (std::vector<std::u16string>{u"Empty", u"b"}));
  EXPECT_TRUE(machine.List(u"C:\\missing").empty());
  machine.PutFile(u"C:\\a\\b\\file.txt", "again");
  EXPECT_EQ(machine.FileContent(u"C:\\a\\b\\file.txt"), "again");
}

TEST_F(SimFileSystemTest, HelpersSeeWhatWinCallsDid) {
  machine.MakeDirectories(u"C:\\work");
  ASSERT_TRUE(Write(u"C:\\work\\a", "x"));
  ASSERT_TRUE(MakeHardLink(u"C:\\work\\b", u"C:\\work\\a"));
  EXPECT_EQ(machine.LinkCount(u"C:\\work\\a"), 2u);
  EXPECT_EQ(machine.FileContent(u"C:\\work\\b"), "x");
}

TEST_F(SimFileSystemTest, SetCurrentDirectoryDrivesRelativeNames) {
  machine.MakeDirectories(u"C:\\base\\inner");
  machine.SetCurrentDirectory(u"C:\\base\\");
  win::WCHAR buffer[64];
  ASSERT_EQ(win::GetFullPathNameW(u".", 64, buffer, nullptr), 7u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\base");
  ASSERT_TRUE(Write(u"inner\\rel.txt", "r"));
  EXPECT_EQ(machine.FileContent(u"C:\\base\\inner\\rel.txt"), "r");
}

// Started without a directory of its own, as CreateProcessW starts one.
TEST_F(SimFileSystemTest, ProgramStartsInItsStartersCurrentDirectory) {
  machine.MakeDirectories(u"C:\\base");
  machine.SetCurrentDirectory(u"C:\\base");
  std::u16string seen;
  const auto entry = [&seen] {
    win::WCHAR buffer[64] = {};
    win::GetFullPathNameW(u".", 64, buffer, nullptr);
    seen = buffer;
    return win::DWORD{0};
  };
  machine.InstallProgram(u"C:\\p.exe", sim::Program{entry, {}});
  EXPECT_EQ(machine.RunProgram(u"C:\\p.exe", u"p"), 0u);
  EXPECT_EQ(seen, u"C:\\base");
}

// ---- A second volume, like Wine's ----

TEST_F(SimFileSystemTest, SecondVolumeReportsItsOwnSerialAndFlags) {
  machine.AddVolume(u'D', 0x0BADF00D, kWineFlags);
  win::DWORD serial = 0;
  win::DWORD flags = 0;
  win::WCHAR name[8];
  win::SetLastError(kUnset);
  ASSERT_TRUE(win::GetVolumeInformationW(u"D:\\", nullptr, 0, &serial, nullptr, &flags, name, 8));
  EXPECT_EQ(serial, 0x0BADF00Du);
  EXPECT_EQ(flags, kWineFlags);
  EXPECT_EQ(flags & win::FILE_UNICODE_ON_DISK, 0u);
  ASSERT_TRUE(
      win::GetVolumeInformationW(u"C:\\", nullptr, 0, &serial, nullptr, &flags, nullptr, 0));
  EXPECT_EQ(serial, 0x1234ABCDu);
  EXPECT_NE(flags & win::FILE_UNICODE_ON_DISK, 0u);
  EXPECT_NE(flags & win::FILE_SUPPORTS_REPARSE_POINTS, 0u);

  machine.PutFile(u"D:\\f", "on d");
  auto file = Open(u"D:\\f", win::GENERIC_READ, win::OPEN_EXISTING);
  win::BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(win::GetFileInformationByHandle(file.Get(), &info));
  EXPECT_EQ(info.dwVolumeSerialNumber, 0x0BADF00Du);
}

TEST_F(SimFileSystemTest, LinksAndMovesAcrossVolumes) {
  machine.AddVolume(u'D', 0x0BADF00D, kWineFlags);
  machine.PutFile(u"C:\\src", "moving");
  machine.MakeDirectories(u"D:\\dst");
  machine.MakeDirectories(u"C:\\dir");

  win::SetLastError(kUnset);
  EXPECT_FALSE(MakeHardLink(u"D:\\dst\\l", u"C:\\src"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_SAME_DEVICE);
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::MoveFileExW(u"C:\\src", u"D:\\dst\\f", 0));
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_SAME_DEVICE);
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::MoveFileExW(u"C:\\dir", u"D:\\dst\\dir", win::MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_SAME_DEVICE);

  ASSERT_TRUE(win::MoveFileExW(u"C:\\src", u"D:\\dst\\f", win::MOVEFILE_COPY_ALLOWED));
  EXPECT_FALSE(machine.Exists(u"C:\\src"));
  EXPECT_EQ(machine.FileContent(u"D:\\dst\\f"), "moving");
}

// ---- The MS-DOS device table and subst drives ----

TEST_F(SimFileSystemTest, SubstDriveReachesItsTarget) {
  machine.AddVolume(u'D', 0x0BADF00D, kWineFlags);
  machine.MakeDirectories(u"D:\\Data");
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\X:", u"D:\\Data"));
  EXPECT_EQ(machine.DosDevice(u"x:"), std::vector<std::u16string>{u"\\??\\D:\\Data"});

  ASSERT_TRUE(Write(u"X:\\through.txt", "via X"));
  EXPECT_EQ(machine.FileContent(u"D:\\Data\\through.txt"), "via X");
  EXPECT_EQ(win::GetFileAttributesW(u"X:\\") & win::FILE_ATTRIBUTE_DIRECTORY,
            win::FILE_ATTRIBUTE_DIRECTORY);
  win::DWORD serial = 0;
  ASSERT_TRUE(
      win::GetVolumeInformationW(u"X:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(serial, 0x0BADF00Du);

  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"Global\\X:", nullptr));
  EXPECT_TRUE(machine.DosDevice(u"X:").empty());
  win::SetLastError(kUnset);
  EXPECT_EQ(win::GetFileAttributesW(u"X:\\through.txt"), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);
}

TEST_F(SimFileSystemTest, NewerDefinitionHidesAnOlderOneUntilPopped) {
  machine.PutFile(u"C:\\one\\f", "one");
  machine.PutFile(u"C:\\two\\f", "two");
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\X:", u"C:\\one"));
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\X:", u"C:\\two"));
  EXPECT_EQ(machine.DosDevice(u"X:"),
            (std::vector<std::u16string>{u"\\??\\C:\\two", u"\\??\\C:\\one"}));
  EXPECT_EQ(machine.FileContent(u"X:\\f"), "two");
  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"Global\\X:", nullptr));
  EXPECT_EQ(machine.FileContent(u"X:\\f"), "one");
}

TEST_F(SimFileSystemTest, DefiningOverAVolumeLetterShadowsIt) {
  machine.PutFile(u"C:\\elsewhere\\f", "moved");
  EXPECT_EQ(machine.DosDevice(u"C:"), std::vector<std::u16string>{u"\\Device\\HarddiskVolume1"});
  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_RAW_TARGET_PATH, u"Y:", u"\\Device\\HarddiskVolume1"));
  EXPECT_EQ(machine.FileContent(u"Y:\\elsewhere\\f"), "moved");
}

// A session's own names hide the global ones from it alone, and never stack.
TEST_F(SimFileSystemTest, SessionNamesHideGlobalOnesForThatSessionOnly) {
  machine.PutFile(u"C:\\one\\f", "one");
  machine.PutFile(u"C:\\two\\f", "two");
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\X:", u"C:\\one"));
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DefineDosDeviceW(0, u"X:", u"C:\\two"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ALREADY_EXISTS);

  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Y:", u"C:\\two"));
  EXPECT_TRUE(machine.DosDevice(u"Y:").empty());
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"global\\Y:", u"C:\\one"));
  EXPECT_EQ(machine.DosDevice(u"Y:"), std::vector<std::u16string>{u"\\??\\C:\\one"});
  EXPECT_EQ(machine.FileContent(u"Y:\\f"), "two");
  win::WCHAR buffer[64];
  ASSERT_NE(win::QueryDosDeviceW(u"Y:", buffer, 64), 0u);
  EXPECT_EQ(std::u16string(buffer), u"\\??\\C:\\two");

  // The same user unelevated is another session: it sees the global name, and may not change it.
  machine.SetAdministrator(false);
  EXPECT_EQ(machine.FileContent(u"Y:\\f"), "one");
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"Y:", nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(win::DefineDosDeviceW(0, u"Global\\Z:", u"C:\\one"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
}

TEST_F(SimFileSystemTest, NullDeviceNameIsRefused) {
  // Windows would dereference it; the simulation refuses it.
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DefineDosDeviceW(0, nullptr, u"C:\\x"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
}

TEST_F(SimFileSystemTest, NonExactRemovalMatchesTheBeginningOfATarget) {
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\X:", u"C:\\alpha\\beta"));
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\X:", u"C:\\gamma"));
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION | win::DDD_EXACT_MATCH_ON_REMOVE,
                                     u"Global\\X:", u"C:\\alpha"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"Global\\X:", u"C:\\alpha"));
  EXPECT_EQ(machine.DosDevice(u"X:"), std::vector<std::u16string>{u"\\??\\C:\\gamma"});
}

// ---- Junctions ----

class SimJunctionTest : public SimFileSystemTest {
 protected:
  void SetUp() override {
    machine.AddVolume(u'D', 0x0BADF00D, kWineFlags);
    machine.PutFile(u"D:\\Data\\existing.txt", "target file");
    machine.MakeDirectories(u"C:\\links\\link");
    auto link = OpenLink(u"C:\\links\\link");
    ASSERT_TRUE(link);
    ASSERT_EQ(
        Control(link.Get(), win::FSCTL_SET_REPARSE_POINT, MountPointRecord(u"\\??\\D:\\Data")), 0u);
  }
};

TEST_F(SimJunctionTest, PathsThroughTheLinkReachTheTarget) {
  EXPECT_EQ(machine.FileContent(u"C:\\links\\link\\existing.txt"), "target file");
  ASSERT_TRUE(Write(u"C:\\links\\link\\new.txt", "written through"));
  EXPECT_EQ(machine.FileContent(u"D:\\Data\\new.txt"), "written through");
  ASSERT_TRUE(win::CreateDirectoryW(u"C:\\links\\link\\sub", nullptr));
  EXPECT_TRUE(machine.IsDirectory(u"D:\\Data\\sub"));
}

TEST_F(SimJunctionTest, TheLinkItselfIsAReparsePointDirectory) {
  EXPECT_EQ(win::GetFileAttributesW(u"C:\\links\\link"),
            win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_REPARSE_POINT);
  win::WIN32_FIND_DATAW data{};
  win::UniqueFind find(win::FindFirstFileW(u"C:\\links\\*", &data));
  ASSERT_TRUE(find);
  do {
    if (std::u16string(data.cFileName) == u"link") break;
  } while (win::FindNextFileW(find.Get(), &data));
  EXPECT_EQ(std::u16string(data.cFileName), u"link");
  EXPECT_NE(data.dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(data.dwReserved0, win::IO_REPARSE_TAG_MOUNT_POINT);

  // Without FILE_FLAG_OPEN_REPARSE_POINT an open reaches the target directory.
  auto followed = Open(u"C:\\links\\link", 0, win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS);
  win::BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(win::GetFileInformationByHandle(followed.Get(), &info));
  EXPECT_EQ(info.dwFileAttributes, win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(info.dwVolumeSerialNumber, 0x0BADF00Du);
}

TEST_F(SimJunctionTest, GetHandsBackTheStoredRecord) {
  auto link = OpenLink(u"C:\\links\\link", 0);
  const auto record = MountPointRecord(u"\\??\\D:\\Data");
  std::vector<std::uint8_t> out(win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  win::DWORD returned = 0;
  ASSERT_EQ(Control(link.Get(), win::FSCTL_GET_REPARSE_POINT, {}, &out, &returned), 0u);
  out.resize(returned);
  EXPECT_EQ(out, record);

  std::vector<std::uint8_t> partial(12);
  EXPECT_EQ(Control(link.Get(), win::FSCTL_GET_REPARSE_POINT, {}, &partial, &returned),
            win::ERROR_MORE_DATA);
  EXPECT_EQ(returned, 12u);
  EXPECT_TRUE(std::equal(partial.begin(), partial.end(), record.begin()));

  std::vector<std::uint8_t> tiny(4);
  EXPECT_EQ(Control(link.Get(), win::FSCTL_GET_REPARSE_POINT, {}, &tiny, &returned),
            win::ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(SimJunctionTest, RemovingTheLinkLeavesTheTarget) {
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DeleteFileW(u"C:\\links\\link"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  ASSERT_TRUE(win::RemoveDirectoryW(u"C:\\links\\link"));
  EXPECT_FALSE(machine.Exists(u"C:\\links\\link"));
  EXPECT_EQ(machine.FileContent(u"D:\\Data\\existing.txt"), "target file");
}

TEST_F(SimJunctionTest, DeleteNeedsTheMatchingTag) {
  auto link = OpenLink(u"C:\\links\\link");
  std::vector<std::uint8_t> header(24, 0);
  const win::DWORD otherTag = 0xA000000C;
  std::memcpy(header.data(), &otherTag, 4);
  EXPECT_EQ(Control(link.Get(), win::FSCTL_DELETE_REPARSE_POINT, header),
            win::ERROR_REPARSE_TAG_MISMATCH);
  const win::DWORD tag = win::IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(header.data(), &tag, 4);
  ASSERT_EQ(Control(link.Get(), win::FSCTL_DELETE_REPARSE_POINT, header), 0u);
  EXPECT_EQ(Control(link.Get(), win::FSCTL_DELETE_REPARSE_POINT, header),
            win::ERROR_NOT_A_REPARSE_POINT);
  std::vector<std::uint8_t> out(64);
  EXPECT_EQ(Control(link.Get(), win::FSCTL_GET_REPARSE_POINT, {}, &out),
            win::ERROR_NOT_A_REPARSE_POINT);
  EXPECT_EQ(win::GetFileAttributesW(u"C:\\links\\link"), win::FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(SimJunctionTest, ALoopOfJunctionsIsRefused) {
  machine.MakeDirectories(u"C:\\loop");
  auto loop = OpenLink(u"C:\\loop");
  ASSERT_EQ(Control(loop.Get(), win::FSCTL_SET_REPARSE_POINT, MountPointRecord(u"\\??\\C:\\loop")),
            0u);
  win::SetLastError(kUnset);
  EXPECT_EQ(win::GetFileAttributesW(u"C:\\loop\\x"), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), win::ERROR_CANT_RESOLVE_FILENAME);
}

struct SetFailure {
  const char* label;
  std::vector<std::uint8_t> record;
  win::DWORD error;
};

// A good record with one 16-bit field changed (and, optionally, the tag's low half).
std::vector<std::uint8_t> Patched(std::size_t at, std::uint16_t value, int tagLow = -1) {
  auto record = MountPointRecord(u"\\??\\D:\\Data");
  std::memcpy(record.data() + at, &value, 2);
  if (tagLow >= 0) {
    const auto low = static_cast<std::uint16_t>(tagLow);
    std::memcpy(record.data(), &low, 2);
  }
  return record;
}

class SetReparseFailureTest : public SimFileSystemTest,
                              public ::testing::WithParamInterface<SetFailure> {};

TEST_P(SetReparseFailureTest, MalformedRecordsAreRefused) {
  machine.MakeDirectories(u"C:\\link");
  auto link = OpenLink(u"C:\\link");
  EXPECT_EQ(Control(link.Get(), win::FSCTL_SET_REPARSE_POINT, GetParam().record), GetParam().error);
  EXPECT_EQ(win::GetFileAttributesW(u"C:\\link"), win::FILE_ATTRIBUTE_DIRECTORY);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetReparseFailureTest,
    ::testing::Values(
        SetFailure{"Empty", {}, win::ERROR_INSUFFICIENT_BUFFER},
        SetFailure{"ShorterThanHeader", {3, 0, 0, 0xA0}, win::ERROR_INSUFFICIENT_BUFFER},
        SetFailure{"DataLengthDisagrees", Patched(4, 2), win::ERROR_INVALID_REPARSE_DATA},
        SetFailure{"SubstituteBeyondData", Patched(10, 400), win::ERROR_INVALID_REPARSE_DATA},
        SetFailure{"PrintBeyondData", Patched(12, 400), win::ERROR_INVALID_REPARSE_DATA},
        SetFailure{"NoSubstituteName", Patched(10, 0), win::ERROR_INVALID_REPARSE_DATA},
        SetFailure{"ReservedTag", Patched(2, 0, 1), win::ERROR_REPARSE_TAG_INVALID}),
    LabelOf());

TEST_F(SimFileSystemTest, SetReparsePointNeedsAnEmptyDirectoryAndWriteAccess) {
  machine.PutFile(u"C:\\full\\inside", "x");
  auto full = OpenLink(u"C:\\full");
  EXPECT_EQ(Control(full.Get(), win::FSCTL_SET_REPARSE_POINT, MountPointRecord(u"\\??\\C:\\x")),
            win::ERROR_DIR_NOT_EMPTY);
  machine.MakeDirectories(u"C:\\empty");
  auto readOnly = OpenLink(u"C:\\empty", win::GENERIC_READ);
  EXPECT_EQ(Control(readOnly.Get(), win::FSCTL_SET_REPARSE_POINT, MountPointRecord(u"\\??\\C:\\x")),
            win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Control(readOnly.Get(), 0x00090000, {}), win::ERROR_INVALID_FUNCTION);
  EXPECT_EQ(Control(win::INVALID_HANDLE_VALUE, win::FSCTL_GET_REPARSE_POINT, {}),
            win::ERROR_INVALID_HANDLE);
}

// ---- What Wine cannot show ----

TEST_F(SimFileSystemTest, ReadOnlyFilesRefuseDeleteWriteAndReplace) {
  machine.MakeDirectories(u"C:\\w");
  {
    auto file =
        Open(u"C:\\w\\ro", win::GENERIC_WRITE, win::CREATE_NEW, win::FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(file);
  }
  EXPECT_NE(win::GetFileAttributesW(u"C:\\w\\ro") & win::FILE_ATTRIBUTE_READONLY, 0u);
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DeleteFileW(u"C:\\w\\ro"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  win::SetLastError(kUnset);
  EXPECT_FALSE(Open(u"C:\\w\\ro", win::GENERIC_WRITE, win::OPEN_EXISTING));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  machine.PutFile(u"C:\\w\\other", "o");
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::MoveFileExW(u"C:\\w\\other", u"C:\\w\\ro", win::MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Open(u"C:\\w\\ro", win::GENERIC_READ, win::OPEN_EXISTING));
}

// ---- Access checks ----

// C:\Admins as an administrator leaves it (inheriting the root's: users read and execute), a
// folder users may change (Modify, no FILE_DELETE_CHILD) holding a file for administrators only
// and one of their own, and a drop folder that lets users delete what it holds.
void AccessSetup(sim::Machine& machine) {
  machine.MakeDirectories(u"C:\\Admins");
  machine.MakeDirectories(u"C:\\Shared");
  machine.SetSecurity(u"C:\\Shared", u"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)");
  machine.PutFile(u"C:\\Shared\\theirs.txt", "t");
  machine.SetSecurity(u"C:\\Shared\\theirs.txt", u"D:P(A;;FA;;;SY)(A;;FA;;;BA)");
  machine.PutFile(u"C:\\Shared\\mine.txt", "m");
  machine.MakeDirectories(u"C:\\Drop");
  machine.SetSecurity(u"C:\\Drop", u"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200e9;;;BU)");
  machine.PutFile(u"C:\\Drop\\theirs.txt", "t");
  machine.SetSecurity(u"C:\\Drop\\theirs.txt", u"D:P(A;;FA;;;SY)(A;;FA;;;BA)");
}

struct AccessCase {
  const char* label;
  bool administrator;
  win::BOOL (*call)();
  win::DWORD code;  // 0 when it succeeds
  // A path that exists after the call exactly when it failed (or, with a leading '+', exactly
  // when it succeeded); null when the call changes nothing.
  const char16_t* changed = nullptr;
};

class SimAccessTest : public ::testing::TestWithParam<AccessCase> {
 protected:
  sim::Machine machine;
};

TEST_P(SimAccessTest, ChecksTheObjectAndItsFolder) {
  AccessSetup(machine);
  machine.SetAdministrator(GetParam().administrator);
  win::SetLastError(kUnset);
  const bool done = GetParam().call() != win::FALSE;
  EXPECT_EQ(done ? 0u : win::GetLastError(), GetParam().code);
  if (GetParam().changed == nullptr) return;
  std::u16string_view changed = GetParam().changed;
  const bool made = changed.front() == u'+';
  if (made) changed.remove_prefix(1);
  EXPECT_EQ(machine.Exists(changed), made ? done : !done);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SimAccessTest,
    ::testing::Values(
        AccessCase{"ModifyOnTheFolderDeletesNoFileOfAdministratorsOnly", false,
                   [] { return win::DeleteFileW(u"C:\\Shared\\theirs.txt"); },
                   win::ERROR_ACCESS_DENIED, u"C:\\Shared\\theirs.txt"},
        AccessCase{"InheritedModifyDeletesTheUsersOwn", false,
                   [] { return win::DeleteFileW(u"C:\\Shared\\mine.txt"); }, 0,
                   u"C:\\Shared\\mine.txt"},
        AccessCase{"DeleteChildOnTheFolderDeletesAFileItHolds", false,
                   [] { return win::DeleteFileW(u"C:\\Drop\\theirs.txt"); }, 0,
                   u"C:\\Drop\\theirs.txt"},
        AccessCase{"UserCannotMoveTheirOwnIntoAnAdministratorsFolder", false,
                   [] { return win::MoveFileExW(u"C:\\Shared\\mine.txt", u"C:\\Admins\\m", 0); },
                   win::ERROR_ACCESS_DENIED, u"C:\\Shared\\mine.txt"},
        AccessCase{"UserCannotReplaceAnAdministratorsFile", false,
                   [] {
                     return win::MoveFileExW(u"C:\\Shared\\mine.txt", u"C:\\Shared\\theirs.txt",
                                             win::MOVEFILE_REPLACE_EXISTING);
                   },
                   win::ERROR_ACCESS_DENIED, u"C:\\Shared\\mine.txt"},
        AccessCase{"UserMakesFilesWhereModifyLetsThem", false,
                   [] {
                     return win::UniqueFile(win::CreateFileW(u"C:\\Shared\\new.txt",
                                                             win::GENERIC_WRITE, 0, nullptr,
                                                             win::CREATE_NEW, 0, nullptr))
                                ? win::TRUE
                                : win::FALSE;
                   },
                   0, u"+C:\\Shared\\new.txt"}),
    LabelOf());

TEST_F(SimFileSystemTest, ChildrenTakeWhatAWindowsRootGivesThem) {
  machine.SetSecurity(u"C:\\",
                      u"O:SYD:PAI(A;OICIIO;FA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                      u"(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)");
  ASSERT_TRUE(win::CreateDirectoryW(u"C:\\Tools", nullptr));
  ASSERT_TRUE(Write(u"C:\\Tools\\a.txt", "a"));
  // CREATOR OWNER and the generic rights are split into what applies and what passes on.
  EXPECT_EQ(machine.Security(u"C:\\Tools"),
            u"O:BAD:AI(A;ID;0x1f01ff;;;BA)(A;OICIIOID;0x1f01ff;;;CO)(A;OICIID;0x1f01ff;;;SY)"
            u"(A;OICIID;0x1f01ff;;;BA)(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)"
            u"(A;OICIIOID;0xe0010000;;;AU)");
  EXPECT_EQ(machine.Security(u"C:\\Tools\\a.txt"),
            u"O:BAD:AI(A;ID;0x1f01ff;;;BA)(A;ID;0x1f01ff;;;SY)(A;ID;0x1f01ff;;;BA)"
            u"(A;ID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)");
  machine.SetAdministrator(false);
  win::SetLastError(kUnset);
  EXPECT_FALSE(Write(u"C:\\mine.txt", "m"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  // A folder a user makes at the root is theirs; one an administrator made there they may change.
  ASSERT_TRUE(win::CreateDirectoryW(u"C:\\Mine", nullptr));
  EXPECT_TRUE(Write(u"C:\\Mine\\a.txt", "m"));
  EXPECT_TRUE(win::DeleteFileW(u"C:\\Tools\\a.txt"));
}

// An entry reaches what its flags name: object-inherit files (and, inherit-only, a subfolder's
// files), container-inherit folders, no-propagate one level only; inherit-only not its holder.
TEST_F(SimFileSystemTest, InheritanceFlagsReachWhatTheyName) {
  machine.MakeDirectories(u"C:\\Top");
  machine.SetSecurity(u"C:\\Top", u"D:P(A;OI;FR;;;BU)(A;CINP;FX;;;BU)(A;OICIIO;FA;;;SY)");
  // Made as a test's helpers make them: the list gives administrators nothing here.
  machine.MakeDirectories(u"C:\\Top\\Sub\\Deeper");
  machine.PutFile(u"C:\\Top\\f", "");
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::CreateDirectoryW(u"C:\\Top\\Mine", nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine.Security(u"C:\\Top"),
            u"O:BAD:P(A;OI;0x120089;;;BU)(A;CINP;0x1200a0;;;BU)(A;OICIIO;0x1f01ff;;;SY)");
  EXPECT_EQ(machine.Security(u"C:\\Top\\Sub"),
            u"O:BAD:AI(A;OIIOID;0x120089;;;BU)(A;ID;0x1200a0;;;BU)(A;OICIID;0x1f01ff;;;SY)");
  EXPECT_EQ(machine.Security(u"C:\\Top\\Sub\\Deeper"),
            u"O:BAD:AI(A;OIIOID;0x120089;;;BU)(A;OICIID;0x1f01ff;;;SY)");
  EXPECT_EQ(machine.Security(u"C:\\Top\\f"), u"O:BAD:AI(A;ID;0x120089;;;BU)(A;ID;0x1f01ff;;;SY)");
  // A change to the folder's list reaches what only inherits, as SetNamedSecurityInfoW has it.
  machine.SetSecurity(u"C:\\Top", u"D:P(A;OICI;FA;;;BA)");
  EXPECT_EQ(machine.Security(u"C:\\Top\\Sub\\Deeper"), u"O:BAD:AI(A;OICIID;0x1f01ff;;;BA)");
}

// LocalSystem holds Administrators as a group it may own, and any other owner only with
// SeRestorePrivilege enabled, which the service never does.
TEST_F(SimFileSystemTest, LocalSystemGivesOnlyItselfOrAdministratorsAsOwner) {
  machine.MakeDirectories(u"C:\\Made");
  std::vector<win::DWORD> codes;
  machine.InstallProgram(
      u"C:\\svc.exe",
      {[&]() -> win::DWORD {
         for (const char16_t* owner : {u"O:SY", u"O:BA", u"O:BU", u"O:WD"}) {
           win::PSECURITY_DESCRIPTOR descriptor = nullptr;
           win::ConvertStringSecurityDescriptorToSecurityDescriptorW(owner, win::SDDL_REVISION_1,
                                                                     &descriptor, nullptr);
           win::UniqueLocalMemory held(descriptor);
           win::SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, win::FALSE};
           const std::u16string path = u"C:\\Made\\" + std::u16string(owner + 2);
           win::SetLastError(kUnset);
           codes.push_back(win::CreateDirectoryW(path.c_str(), &attributes) ? 0
                                                                            : win::GetLastError());
         }
         return 0;
       },
       {}});
  machine.CreateService(u"Svc", u"C:\\svc.exe");
  machine.StartService(u"Svc", {});
  EXPECT_EQ(codes,
            (std::vector<win::DWORD>{0, 0, win::ERROR_INVALID_OWNER, win::ERROR_INVALID_OWNER}));
  EXPECT_EQ(machine.Security(u"C:\\Made\\SY").substr(0, 4), u"O:SY");
  EXPECT_FALSE(machine.Exists(u"C:\\Made\\BU"));
}

TEST_F(SimFileSystemTest, AFileHoldsAtMost1024Names) {
  machine.PutFile(u"C:\\many\\f", "x");
  for (int i = 1; i < 1024; ++i) {
    const std::u16string name = u"C:\\many\\l" + Digits(i);
    ASSERT_TRUE(MakeHardLink(name, u"C:\\many\\f")) << i;
  }
  EXPECT_EQ(machine.LinkCount(u"C:\\many\\f"), 1024u);
  win::SetLastError(kUnset);
  EXPECT_FALSE(MakeHardLink(u"C:\\many\\one-more", u"C:\\many\\f"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_TOO_MANY_LINKS);
  EXPECT_FALSE(machine.Exists(u"C:\\many\\one-more"));
}

// Before Windows 10's POSIX semantics the name stays, delete pending, until the last handle
// closes (pinned against Win32 in the contract tests).
TEST_F(SimFileSystemTest, DeletedFileStaysReadableThroughAnOpenHandle) {
  machine.PutFile(u"C:\\d\\f", "still here");
  auto file = Open(u"C:\\d\\f", win::GENERIC_READ, win::OPEN_EXISTING);
  ASSERT_TRUE(win::DeleteFileW(u"C:\\d\\f"));
  EXPECT_TRUE(machine.Exists(u"C:\\d\\f"));
  char buffer[16] = {};
  win::DWORD read = 0;
  ASSERT_TRUE(win::ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "still here");
  file.Reset();
  EXPECT_FALSE(machine.Exists(u"C:\\d\\f"));
}

// NTFS logs a rename lazily: one written through is on the disk when it returns, and with it
// every change on its volume before it; the others a power cut takes back, newest first.
TEST_F(SimFileSystemTest, PowerCutTakesBackWhatEachVolumesLogHasNotWritten) {
  machine.PutFile(u"C:\\r\\new", "new");
  machine.PutFile(u"C:\\r\\old", "old");
  ASSERT_TRUE(win::MoveFileExW(u"C:\\r\\new", u"C:\\r\\old", win::MOVEFILE_REPLACE_EXISTING));
  ASSERT_TRUE(win::MoveFileExW(u"C:\\r\\old", u"C:\\r\\last", 0));
  machine.PowerCut();
  EXPECT_EQ(machine.List(u"C:\\r"), (std::vector<std::u16string>{u"new", u"old"}));
  EXPECT_EQ(machine.FileContent(u"C:\\r\\old"), "old");

  ASSERT_TRUE(win::MoveFileExW(u"C:\\r\\new", u"C:\\r\\old", win::MOVEFILE_REPLACE_EXISTING));
  ASSERT_TRUE(win::MoveFileExW(u"C:\\r\\old", u"C:\\r\\last", win::MOVEFILE_WRITE_THROUGH));
  machine.PowerCut();
  EXPECT_EQ(machine.List(u"C:\\r"), std::vector<std::u16string>{u"last"});
  EXPECT_EQ(machine.FileContent(u"C:\\r\\last"), "new");

  // A name taken again since keeps the rename.
  ASSERT_TRUE(win::MoveFileExW(u"C:\\r\\last", u"C:\\r\\moved", 0));
  machine.PutFile(u"C:\\r\\last", "again");
  machine.PowerCut();
  EXPECT_EQ(machine.FileContent(u"C:\\r\\moved"), "new");

  // So is every change of names, each volume's its own: a volume's flush writes out its log.
  machine.AddVolume(u'D', 0x0BADF00D, kWineFlags);
  ASSERT_TRUE(win::CreateDirectoryW(u"D:\\made", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW(u"C:\\r\\made", nullptr));
  ASSERT_TRUE(win::DeleteFileW(u"C:\\r\\moved"));
  win::UniqueFile volume(win::CreateFileW(u"\\\\.\\D:", win::GENERIC_WRITE, 0, nullptr,
                                          win::OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(win::FlushFileBuffers(volume.Get()));
  machine.PowerCut();
  EXPECT_TRUE(machine.IsDirectory(u"D:\\made"));
  EXPECT_EQ(machine.List(u"C:\\r"), (std::vector<std::u16string>{u"last", u"moved"}));
}

TEST_F(SimFileSystemTest, AFileIsNoDirectoryInAPath) {
  machine.PutFile(u"C:\\f", "x");
  win::SetLastError(kUnset);
  EXPECT_EQ(win::GetFileAttributesW(u"C:\\f\\x"), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);
}

TEST_F(SimFileSystemTest, InjectedFailuresComeFirst) {
  machine.PutFile(u"C:\\f", "x");
  machine.FailNext("DeleteFileW", win::ERROR_SHARING_VIOLATION);
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DeleteFileW(u"C:\\f"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(machine.Exists(u"C:\\f"));
  EXPECT_TRUE(win::DeleteFileW(u"C:\\f"));
}

}  // namespace
