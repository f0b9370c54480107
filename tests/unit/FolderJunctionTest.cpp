// Directory junctions: the reparse data byte for byte, the targets each form leads to, and what
// a user sees through the link.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>

#include "engine/LinkRequest.h"
#include "engine/Junction.h"
#include "platform/UniqueHandle.h"
#include "platform/sim/Machine.h"

namespace {

using win::DWORD;

struct ReparseRecord {
  std::uint32_t tag = 0;
  std::uint16_t dataLength = 0;
  std::uint16_t substituteOffset = 0;
  std::uint16_t substituteLength = 0;
  std::uint16_t printOffset = 0;
  std::uint16_t printLength = 0;
  std::u16string substituteName;
  std::size_t size = 0;  // bytes stored
  std::vector<std::uint8_t> bytes;
};

class FolderJunction : public ::testing::Test {
 protected:
  FolderJunction() {
    machine.AddVolume(u'D', 0xD0D0, win::FILE_UNICODE_ON_DISK | win::FILE_SUPPORTS_REPARSE_POINTS);
    machine.PutFile(u"D:\\Data\\inside.txt", "inside");
  }

  // Reads back what the file system stored on `link`.
  std::optional<ReparseRecord> StoredRecord(const std::u16string& link) {
    win::UniqueFile directory(win::CreateFileW(
        link.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr, win::OPEN_EXISTING,
        win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!directory) return std::nullopt;
    std::vector<std::uint8_t> buffer(win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD returned = 0;
    if (!win::DeviceIoControl(directory.Get(), win::FSCTL_GET_REPARSE_POINT, nullptr, 0,
                              buffer.data(), static_cast<DWORD>(buffer.size()), &returned,
                              nullptr)) {
      return std::nullopt;
    }
    auto u16 = [&](std::size_t at) {
      return static_cast<std::uint16_t>(buffer[at] | (buffer[at + 1] << 8));
    };
    ReparseRecord record;
    record.tag = static_cast<std::uint32_t>(u16(0) | (u16(2) << 16));
    record.dataLength = u16(4);
    record.substituteOffset = u16(8);
    record.substituteLength = u16(10);
    record.printOffset = u16(12);
    record.printLength = u16(14);
    for (std::size_t i = 0; i < record.substituteLength / 2u; ++i) {
      record.substituteName.push_back(
          static_cast<char16_t>(u16(16 + record.substituteOffset + 2 * i)));
    }
    record.size = returned;
    record.bytes.assign(buffer.begin(), buffer.begin() + returned);
    return record;
  }

  // 0 on success, else the last-error code; a failure that leaves no code is not taken for one.
  static DWORD Outcome(const LinkRequest& request) {
    win::SetLastError(0xdeadbeef);
    if (request.Execute()) return 0;
    const DWORD error = win::GetLastError();
    return error != 0 ? error : 0xFFFFFFFF;
  }

  DWORD CreateFolder(const std::u16string& link, const std::u16string& target) {
    LinkRequest request;
    request.action = LinkAction::Create;
    request.kind = LinkKind::Folder;
    request.link = link;
    request.target = target;
    return Outcome(request);
  }

  DWORD DeleteFolder(const std::u16string& link) {
    LinkRequest request;
    request.kind = LinkKind::Folder;
    request.link = link;
    return Outcome(request);
  }

  sim::Machine machine;
};

TEST_F(FolderJunction, RecordForNtTargetIsSentByteForByte) {
  ASSERT_EQ(CreateFolder(u"C:\\j\\link", u"\\??\\D:\\Data"), 0u);
  const auto record = StoredRecord(u"C:\\j\\link");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->tag, win::IO_REPARSE_TAG_MOUNT_POINT);
  EXPECT_EQ(record->size, 42u);
  EXPECT_EQ(record->dataLength, 34u);
  EXPECT_EQ(record->substituteOffset, 0u);
  EXPECT_EQ(record->substituteLength, 22u);
  EXPECT_EQ(record->printOffset, 24u);
  EXPECT_EQ(record->printLength, 0u);
  EXPECT_EQ(record->substituteName, u"\\??\\D:\\Data");
  EXPECT_EQ(record->bytes[6] | record->bytes[7], 0) << "reserved";
  for (std::size_t at : {38u, 39u, 40u, 41u}) EXPECT_EQ(record->bytes[at], 0u) << "terminators";
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

struct TargetCase {
  const char* name;
  std::u16string target;
  std::u16string substitute;
};

class JunctionTargets : public FolderJunction, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(JunctionTargets, LeadToTheSubstituteName) {
  machine.MakeDirectories(u"C:\\base\\store");
  machine.PutFile(u"C:\\base\\file.txt", "f");
  machine.SetCurrentDirectory(u"C:\\base");
  ASSERT_EQ(CreateFolder(u"C:\\j\\link", GetParam().target), 0u);
  const auto record = StoredRecord(u"C:\\j\\link");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->substituteName, GetParam().substitute);
  EXPECT_EQ(record->size, 20u + 2 * GetParam().substitute.size());
  EXPECT_EQ(record->printOffset, record->substituteLength + 2u);
  EXPECT_EQ(record->printLength, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, JunctionTargets,
    ::testing::Values(TargetCase{"Absolute", u"D:\\Data", u"\\??\\D:\\Data"},
                      TargetCase{"Relative", u"store", u"\\??\\C:\\base\\store"},
                      TargetCase{"RelativeParent", u"..\\base\\store", u"\\??\\C:\\base\\store"},
                      TargetCase{"NtFormUnchanged", u"\\??\\Q:\\Nowhere", u"\\??\\Q:\\Nowhere"},
                      TargetCase{"ShortestNtForm", u"\\?", u"\\?"},
                      TargetCase{"Win32FileNamespace", u"\\\\?\\D:\\Data", u"\\??\\D:\\Data"},
                      TargetCase{"Win32DeviceNamespace", u"\\\\.\\D:\\Data", u"\\??\\D:\\Data"},
                      TargetCase{"FileTarget", u"C:\\base\\file.txt", u"\\??\\C:\\base\\file.txt"},
                      TargetCase{"MissingTargetIsMade", u"C:\\new\\made", u"\\??\\C:\\new\\made"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FolderJunction, FilesWrittenThroughTheLinkAreInTheTarget) {
  ASSERT_EQ(CreateFolder(u"C:\\Links\\Data", u"D:\\Data"), 0u);
  EXPECT_EQ(machine.FileContent(u"C:\\Links\\Data\\inside.txt"), "inside");
  {
    win::UniqueFile file(win::CreateFileW(u"C:\\Links\\Data\\new.txt", win::GENERIC_WRITE, 0,
                                          nullptr, win::CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    ASSERT_TRUE(win::WriteFile(file.Get(), "through", 7, &written, nullptr));
  }
  EXPECT_EQ(machine.FileContent(u"D:\\Data\\new.txt"), "through");
}

TEST_F(FolderJunction, CreateMakesBothDirectoryChains) {
  ASSERT_EQ(CreateFolder(u"C:\\a\\b\\link", u"C:\\x\\y\\target"), 0u);
  EXPECT_TRUE(machine.IsDirectory(u"C:\\x\\y\\target"));
  EXPECT_TRUE(StoredRecord(u"C:\\a\\b\\link"));
  EXPECT_TRUE(machine.List(u"C:\\x\\y\\target").empty());
}

TEST_F(FolderJunction, NonEmptyLinkDirectoryIsRefusedAndKept) {
  machine.PutFile(u"C:\\j\\link\\mine.txt", "mine");
  EXPECT_EQ(CreateFolder(u"C:\\j\\link", u"D:\\Data"), win::ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(StoredRecord(u"C:\\j\\link"));
  EXPECT_EQ(machine.FileContent(u"C:\\j\\link\\mine.txt"), "mine");
}

constexpr char16_t kBob[] = u"O:S-1-5-21-1000-2000-3000-1002";  // a user other than the caller

struct OwnFolderCase {
  const char* name;
  std::function<void(sim::Machine&)> setUp;
  const char16_t* link;
  const char16_t* target;
  DWORD code;
};

class FolderCreateOwnFolders : public FolderJunction,
                               public ::testing::WithParamInterface<OwnFolderCase> {};

// What a Folder Create makes is the service's own: a new junction with permissions of its own, no
// folder that users may change made one, a folder on the way that a user made meanwhile not gone
// through, and the target's folders made below held ones (never through a user's junction) once
// the link's own folder is open.
TEST_P(FolderCreateOwnFolders, MakesWhatOnlyAdministratorsMayChange) {
  machine.MakeDirectories(u"C:\\Links");
  machine.MakeDirectories(u"C:\\Windows");
  GetParam().setUp(machine);
  EXPECT_EQ(CreateFolder(GetParam().link, GetParam().target), GetParam().code);
  EXPECT_TRUE(machine.List(u"C:\\Windows").empty());
  if (GetParam().code == 0) {
    EXPECT_EQ(machine.Security(GetParam().link),
              u"O:BAD:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)(A;;0x1200a9;;;BU)");
  } else {
    EXPECT_FALSE(StoredRecord(GetParam().link));
    EXPECT_FALSE(machine.Exists(u"C:\\made"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderCreateOwnFolders,
    ::testing::Values(
        OwnFolderCase{"NewJunction", [](sim::Machine&) {}, u"C:\\Links\\j", u"C:\\made\\t", 0},
        OwnFolderCase{"AUsersEmptyFolder",
                      [](sim::Machine& m) {
                        m.MakeDirectories(u"C:\\Links\\j");
                        m.SetSecurity(u"C:\\Links\\j", kBob);
                      },
                      u"C:\\Links\\j", u"C:\\made", win::ERROR_ALREADY_EXISTS},
        OwnFolderCase{"AnAdministratorsFolderUsersMayChange",
                      [](sim::Machine& m) {
                        m.MakeDirectories(u"C:\\Links\\j");
                        m.SetSecurity(u"C:\\Links\\j", u"O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;AU)");
                      },
                      u"C:\\Links\\j", u"C:\\made", win::ERROR_ALREADY_EXISTS},
        OwnFolderCase{"AFolderOnTheWayAUserMadeMeanwhile",
                      [](sim::Machine& m) {
                        // Made just before the service's own create of it.
                        m.OnCall("NtCreateFile", [&m, calls = std::make_shared<int>(0)] {
                          if (++*calls != 3) return;
                          m.MakeDirectories(u"C:\\Links\\New");
                          m.SetSecurity(u"C:\\Links\\New", kBob);
                        });
                      },
                      u"C:\\Links\\New\\j", u"C:\\made", win::ERROR_ALREADY_EXISTS},
        OwnFolderCase{"ATargetThroughAUsersJunction",
                      [](sim::Machine& m) {
                        m.MakeDirectories(u"C:\\Users\\bob\\Shared");
                        ASSERT_TRUE(CreateJunction(u"C:\\Users\\bob\\Shared", u"C:\\Windows"));
                        m.SetSecurity(u"C:\\Users\\bob\\Shared", kBob);
                      },
                      u"C:\\Links\\j", u"C:\\Users\\bob\\Shared\\made",
                      win::ERROR_UNTRUSTED_MOUNT_POINT},
        OwnFolderCase{"ALinkThatIsAFile",
                      [](sim::Machine& m) { m.PutFile(u"C:\\Links\\j", "file"); },
                      u"C:\\Links\\j", u"C:\\made", win::ERROR_DIRECTORY}),
    [](const auto& p) { return std::string(p.param.name); });

class NetworkTargets : public FolderJunction,
                       public ::testing::WithParamInterface<const char16_t*> {};

TEST_P(NetworkTargets, AreRefusedBeforeAnythingIsMade) {
  machine.AddShare(u"server\\share", u"D:\\Data");
  machine.SetCurrentDirectory(u"\\\\server\\share");
  EXPECT_EQ(CreateFolder(u"C:\\j\\link", GetParam()), win::ERROR_BAD_PATHNAME);
  EXPECT_FALSE(machine.Exists(u"C:\\j") || machine.Exists(u"D:\\Data\\made"));
}

INSTANTIATE_TEST_SUITE_P(Forms, NetworkTargets,
                         ::testing::Values(u"//server/share/made", u"\\\\?\\UNC\\server\\share",
                                           u"\\??\\unc\\server\\share\\made", u"made"));

TEST_F(FolderJunction, LinkHeldOpenElsewhereGivesSharingViolation) {
  machine.MakeDirectories(u"C:\\j\\link");
  // Even a reader that shares reading and writing keeps the junction's exclusive step out.
  win::UniqueFile holder(win::CreateFileW(
      u"C:\\j\\link", win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
      win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(holder);
  EXPECT_EQ(CreateFolder(u"C:\\j\\link", u"D:\\Data"), win::ERROR_SHARING_VIOLATION);
  holder.Reset();
  EXPECT_FALSE(StoredRecord(u"C:\\j\\link"));
}

TEST_F(FolderJunction, TargetWithoutAFullPathFailsWithThatCode) {
  machine.MakeDirectories(u"C:\\j\\link");
  machine.FailNext("GetFullPathNameW", win::ERROR_NOT_ENOUGH_MEMORY);
  win::SetLastError(0xdeadbeef);
  EXPECT_FALSE(CreateJunction(u"C:\\j\\link", u"D:\\Data"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(FolderJunction, JunctionHeldOpenElsewhereIsNotRemoved) {
  ASSERT_EQ(CreateFolder(u"C:\\j\\link", u"D:\\Data"), 0u);
  win::UniqueFile holder(win::CreateFileW(
      u"C:\\j\\link", win::GENERIC_READ, win::FILE_SHARE_READ, nullptr, win::OPEN_EXISTING,
      win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  ASSERT_TRUE(holder);
  EXPECT_EQ(DeleteFolder(u"C:\\j\\link"), win::ERROR_SHARING_VIOLATION);
  holder.Reset();
  EXPECT_TRUE(StoredRecord(u"C:\\j\\link"));
}

TEST_F(FolderJunction, EmptyArgumentsLeaveTheLastErrorAlone) {
  win::SetLastError(1234);
  EXPECT_FALSE(CreateJunction(u"", u"D:\\Data"));
  EXPECT_FALSE(CreateJunction(u"C:\\x", u""));
  EXPECT_EQ(win::GetLastError(), 1234u);
}

// ---- Buffer limits: a substitute name fills at most 1023 units of its 1024-unit buffer ----

struct LimitCase {
  const char* name;
  std::size_t targetLength;  // of a \??\ target, or of a \\?\ full path
  bool ntForm;
  DWORD code;
};

class JunctionLimits : public FolderJunction, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(JunctionLimits, FitOrFailWithFilenameExceedsRange) {
  const LimitCase& c = GetParam();
  std::u16string target;
  if (c.ntForm) {
    target = u"\\??\\D:\\" + std::u16string(c.targetLength - 7, u'n');
  } else {
    // A \\?\ path is its own full path; it must exist for the junction to be made.
    const std::u16string prefix = u"\\\\?\\D:\\";
    std::u16string path = prefix;
    while (path.size() < c.targetLength) {
      const std::size_t room = c.targetLength - path.size();
      path += std::u16string(std::min<std::size_t>(room, 200), u'p');
      if (path.size() < c.targetLength - 1) path += u'\\';
    }
    target = path;
    machine.MakeDirectories(target);
  }
  ASSERT_EQ(target.size(), c.targetLength);
  machine.MakeDirectories(u"C:\\j\\link");
  EXPECT_EQ(CreateFolder(u"C:\\j\\link", target), c.code);
  const auto record = StoredRecord(u"C:\\j\\link");
  EXPECT_EQ(record.has_value(), c.code == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, JunctionLimits,
    ::testing::Values(LimitCase{"NtForm1023", 1023, true, 0},
                      LimitCase{"NtForm1024", 1024, true, win::ERROR_FILENAME_EXCED_RANGE},
                      LimitCase{"FullPath1023", 1023, false, 0},
                      LimitCase{"FullPath1024", 1024, false, win::ERROR_FILENAME_EXCED_RANGE},
                      LimitCase{"FullPath1100", 1100, false, win::ERROR_FILENAME_EXCED_RANGE}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Folder delete ----

// While another program has the junction open for its attributes only (which keeps no one out),
// on a volume of each delete semantics: the folder left goes once that program closes it.
TEST_F(FolderJunction, DeleteTakesOffTheJunctionAndKeepsTheTarget) {
  for (const auto semantics : {sim::DeleteSemantics::Classic, sim::DeleteSemantics::Posix}) {
    SCOPED_TRACE(static_cast<int>(semantics));
    machine.SetDeleteSemantics(u'C', semantics);
    ASSERT_EQ(CreateFolder(u"C:\\Links\\Data", u"D:\\Data"), 0u);
    win::UniqueFile watcher(win::CreateFileW(
        u"C:\\Links\\Data", win::FILE_READ_ATTRIBUTES,
        win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE, nullptr,
        win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr));
    EXPECT_EQ(DeleteFolder(u"C:\\Links\\Data"), 0u);
    EXPECT_FALSE(StoredRecord(u"C:\\Links\\Data"));
    watcher.Reset();
    EXPECT_FALSE(machine.Exists(u"C:\\Links\\Data"));
  }
  EXPECT_TRUE(machine.IsDirectory(u"C:\\Links"));
  EXPECT_EQ(machine.FileContent(u"D:\\Data\\inside.txt"), "inside");
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

TEST_F(FolderJunction, DeleteOfAPlainDirectoryFailsAndKeepsIt) {
  machine.PutFile(u"C:\\Plain\\keep.txt", "kept");
  EXPECT_EQ(DeleteFolder(u"C:\\Plain"), win::ERROR_NOT_A_REPARSE_POINT);
  EXPECT_EQ(machine.FileContent(u"C:\\Plain\\keep.txt"), "kept");
}

TEST_F(FolderJunction, DeleteWithTrailingBackslashIsPathNotFoundEvenForAJunction) {
  ASSERT_EQ(CreateFolder(u"C:\\Links\\Data", u"D:\\Data"), 0u);
  EXPECT_EQ(DeleteFolder(u"C:\\Links\\Data\\"), win::ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(StoredRecord(u"C:\\Links\\Data"));
}

TEST_F(FolderJunction, DeleteThatCannotRemoveTheDirectoryStillSucceeds) {
  ASSERT_EQ(CreateFolder(u"C:\\Links\\Data", u"D:\\Data"), 0u);
  machine.FailNext("SetFileInformationByHandle", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(DeleteFolder(u"C:\\Links\\Data"), 0u);
  EXPECT_TRUE(machine.IsDirectory(u"C:\\Links\\Data"));
  EXPECT_FALSE(StoredRecord(u"C:\\Links\\Data"));
}

}  // namespace
