// CHardLink's operations on the simulated machine: every Create and Delete row per kind, with
// the effect on the file system and the last-error code left behind.
#include <gtest/gtest.h>

#include "engine/HardLink.h"
#include "platform/ReparseRecord.h"
#include "platform/UniqueHandle.h"
#include "platform/sim/Machine.h"

namespace {

using win::DWORD;

CHardLink Request(LinkAction action, LinkKind kind, std::u16string link,
                  std::u16string target = {}) {
  CHardLink request;
  request.action = action;
  request.kind = kind;
  request.link = std::move(link);
  request.target = std::move(target);
  return request;
}

// Executes and returns the exit code the service would report: 0 or the last-error code.
DWORD Outcome(const CHardLink& request) {
  win::SetLastError(0xdeadbeef);
  return request.Execute() ? 0 : win::GetLastError();
}

class HardLinkTest : public ::testing::Test {
 protected:
  sim::Machine machine;
};

TEST_F(HardLinkTest, DefaultRecordAndRuntimeClass) {
  const CHardLink record;
  EXPECT_EQ(record.action, LinkAction::Delete);
  EXPECT_EQ(record.kind, LinkKind::Drive);
  EXPECT_TRUE(record.link.empty());
  EXPECT_TRUE(record.target.empty());
  const CRuntimeClass* runtimeClass = record.GetRuntimeClass();
  EXPECT_STREQ(runtimeClass->className, "CHardLink");
  EXPECT_EQ(runtimeClass->schema, 1u);
  auto made = runtimeClass->createObject();
  auto* link = dynamic_cast<CHardLink*>(made.get());
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(*link, record);
}

// ---- Drive ----

TEST_F(HardLinkTest, DriveCreateMapsAndDeleteUnmaps) {
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::Drive, u"X:", u"C:\\Data")), 0u);
  EXPECT_EQ(machine.DosDevice(u"X:"), std::vector<std::u16string>{u"\\??\\C:\\Data"});
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::Drive, u"X:", u"ignored")), 0u);
  EXPECT_TRUE(machine.DosDevice(u"X:").empty());
}

TEST_F(HardLinkTest, DriveFailuresCarryDefineDosDeviceCode) {
  machine.FailNext("DefineDosDeviceW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::Drive, u"X:", u"C:\\Data")),
            win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine.DosDevice(u"X:").empty());

  win::SetLastError(0xdeadbeef);
  const DWORD direct =
      win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"X:", nullptr) ? 0 : win::GetLastError();
  ASSERT_NE(direct, 0u) << "removing an undefined name must fail";
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::Drive, u"X:")), direct);
}

// Removing the empty device name would break every later mapping under Wine: an empty link is
// refused before the platform is asked.
TEST_F(HardLinkTest, DriveRequestWithAnEmptyLinkIsAnInvalidName) {
  int calls = 0;
  machine.OnCall("DefineDosDeviceW", [&] { ++calls; });
  for (auto action : {LinkAction::Create, LinkAction::Delete}) {
    EXPECT_EQ(Outcome(Request(action, LinkKind::Drive, u"", u"C:\\Data")), win::ERROR_INVALID_NAME);
  }
  EXPECT_EQ(calls, 0);
}

// ---- Folder (the junction itself is in JunctionTest) ----

// The directories made along the way stay when the junction cannot be set.
TEST_F(HardLinkTest, FolderCreateKeepsBothChainsWhenTheJunctionFails) {
  machine.FailNext("DeviceIoControl", win::ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::Folder, u"C:\\Links\\A\\Docs",
                            u"C:\\Store\\Docs")),
            win::ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(machine.IsDirectory(u"C:\\Links\\A\\Docs"));
  EXPECT_TRUE(machine.IsDirectory(u"C:\\Store\\Docs"));
}

TEST_F(HardLinkTest, FolderCreateWithAnEmptyPathFailsAndMakesNothing) {
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::Folder, u"", u"C:\\Store")),
            win::ERROR_INVALID_NAME);
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::Folder, u"C:\\Link", u"")),
            win::ERROR_INVALID_NAME);
  EXPECT_FALSE(machine.Exists(u"C:\\Store"));
  EXPECT_FALSE(machine.Exists(u"C:\\Link"));
}

struct FolderDeleteCase {
  const char* name;
  std::u16string link;
  DWORD code;
};

class FolderDelete : public HardLinkTest, public ::testing::WithParamInterface<FolderDeleteCase> {};

TEST_P(FolderDelete, KeepsThePlainDirectory) {
  machine.PutFile(u"C:\\Plain\\keep.txt", "kept");
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::Folder, GetParam().link)),
            GetParam().code);
  EXPECT_EQ(machine.FileContent(u"C:\\Plain\\keep.txt"), "kept");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FolderDelete,
    ::testing::Values(
        FolderDeleteCase{"Missing", u"C:\\Nowhere", win::ERROR_PATH_NOT_FOUND},
        FolderDeleteCase{"Empty", u"", win::ERROR_PATH_NOT_FOUND},
        FolderDeleteCase{"TrailingBackslash", u"C:\\Plain\\", win::ERROR_PATH_NOT_FOUND},
        FolderDeleteCase{"DriveRoot", u"C:\\", win::ERROR_PATH_NOT_FOUND},
        FolderDeleteCase{"PlainDirectory", u"C:\\Plain", win::ERROR_NOT_A_REPARSE_POINT}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- File ----

TEST_F(HardLinkTest, FileCreateMakesASecondNameOfTheTarget) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")),
            0u);
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 2u);
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\b.txt"), 2u);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\b.txt"), "alpha");
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

TEST_F(HardLinkTest, FileCreateReplacesAnExistingLinkFile) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\b.txt", "old");
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")),
            0u);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\b.txt"), "alpha");
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 2u);
  EXPECT_EQ(machine.List(u"C:\\d"), (std::vector<std::u16string>{u"a.txt", u"b.txt"}));
}

// The existing file is never lost: it stays until its replacement exists.
TEST_F(HardLinkTest, FileCreateThatCannotLinkKeepsTheExistingFile) {
  machine.PutFile(u"C:\\d\\b.txt", "precious");
  EXPECT_EQ(
      Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\missing.txt")),
      win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\b.txt"), "precious");
  EXPECT_EQ(machine.List(u"C:\\d"), std::vector<std::u16string>{u"b.txt"});
}

TEST_F(HardLinkTest, FileCreateWhoseMoveFailsRemovesTheTemporaryName) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\b.txt", "precious");
  machine.FailNext("MoveFileExW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")),
            win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\b.txt"), "precious");
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 1u);
  EXPECT_EQ(machine.List(u"C:\\d"), (std::vector<std::u16string>{u"a.txt", u"b.txt"}));
}

// A link file in use cannot be replaced: both files stay as they were, and the move's refusal
// is the reason.
TEST_F(HardLinkTest, FileCreateOverALinkInUseKeepsBothFiles) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\b.txt", "in use");
  win::UniqueFile held(win::CreateFileW(u"C:\\d\\b.txt", win::GENERIC_READ,
                                        win::FILE_SHARE_READ | win::FILE_SHARE_DELETE, nullptr,
                                        win::OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")),
            win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\b.txt"), "in use");
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 1u);
  EXPECT_EQ(machine.List(u"C:\\d"), (std::vector<std::u16string>{u"a.txt", u"b.txt"}));
}

TEST_F(HardLinkTest, FileCreateSkipsTemporaryNamesInUse) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\b.txt", "old");
  machine.PutFile(u"C:\\d\\~corvane0000.tmp", "someone else's");
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")),
            0u);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\~corvane0000.tmp"), "someone else's");
  EXPECT_EQ(machine.FileContent(u"C:\\d\\b.txt"), "alpha");
  EXPECT_EQ(machine.List(u"C:\\d").size(), 3u);
}

struct SameFileCase {
  const char* name;
  std::u16string link;
};

class FileCreateOntoItself : public HardLinkTest,
                             public ::testing::WithParamInterface<SameFileCase> {};

TEST_P(FileCreateOntoItself, ChangesNothingAndSucceeds) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\other.txt", "other");
  ASSERT_EQ(
      Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\second.txt", u"C:\\d\\a.txt")),
      0u);
  machine.SetCurrentDirectory(u"C:\\d");

  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, GetParam().link, u"C:\\d\\a.txt")),
            0u);

  EXPECT_EQ(machine.FileContent(u"C:\\d\\a.txt"), "alpha");
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 2u);
  EXPECT_EQ(machine.List(u"C:\\d"),
            (std::vector<std::u16string>{u"a.txt", u"other.txt", u"second.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Spellings, FileCreateOntoItself,
                         ::testing::Values(SameFileCase{"Identical", u"C:\\d\\a.txt"},
                                           SameFileCase{"OtherCase", u"c:\\D\\A.TXT"},
                                           SameFileCase{"Relative", u"a.txt"},
                                           SameFileCase{"DotDot", u"C:\\d\\..\\d\\a.txt"},
                                           SameFileCase{"OtherName", u"C:\\d\\second.txt"}),
                         [](const auto& p) { return std::string(p.param.name); });

// A symbolic link to the target is another file, not a name of it: the hard link takes its place.
TEST_F(HardLinkTest, SymbolicLinkToTheTargetIsReplacedByAHardLink) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\s.txt", "");
  const std::u16string name = u"\\??\\C:\\d\\a.txt";
  const auto bytes = static_cast<std::uint16_t>(2 * name.size());
  std::vector<std::uint8_t> record(reparse::kSymbolicLinkPathBufferAt + bytes);
  reparse::Put32(record.data(), reparse::kTagAt, win::IO_REPARSE_TAG_SYMLINK);
  reparse::Put16(record.data(), reparse::kDataLengthAt,
                 static_cast<std::uint16_t>(record.size() - reparse::kHeaderSize));
  reparse::Put16(record.data(), reparse::kSubstituteNameLengthAt, bytes);
  for (std::size_t i = 0; i < name.size(); ++i) {
    reparse::Put16(record.data(), reparse::kSymbolicLinkPathBufferAt + 2 * i, name[i]);
  }
  {
    win::UniqueFile link(win::CreateFileW(u"C:\\d\\s.txt", win::GENERIC_WRITE, 0, nullptr,
                                          win::OPEN_EXISTING, win::FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    ASSERT_TRUE(win::DeviceIoControl(link.Get(), win::FSCTL_SET_REPARSE_POINT, record.data(),
                                     static_cast<win::DWORD>(record.size()), nullptr, 0, nullptr,
                                     nullptr));
  }
  ASSERT_EQ(machine.FileContent(u"C:\\d\\s.txt"), "alpha") << "the link leads to the target";

  EXPECT_EQ(
      Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\s.txt", u"C:\\d\\a.txt")),
      0u);
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 2u);
  EXPECT_EQ(win::GetFileAttributesW(u"C:\\d\\s.txt") & win::FILE_ATTRIBUTE_REPARSE_POINT, 0u);
}

// The temporary name beside a link near MAX_PATH is longer than the link; it must not make a
// link that fits fail.
class FileCreateNearMaxPath : public HardLinkTest,
                              public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FileCreateNearMaxPath, ReplacesTheExistingLink) {
  const std::size_t linkLength = GetParam();
  std::u16string folder = u"C:\\";
  while (folder.size() + 1 + 5 < linkLength) folder += folder.size() % 100 == 99 ? u'\\' : u'f';
  const std::u16string link = folder + u"\\b.txt";
  ASSERT_EQ(link.size(), linkLength);
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(link, "old");

  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, link, u"C:\\d\\a.txt")), 0u);

  EXPECT_EQ(machine.FileContent(link), "alpha");
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 2u);
  EXPECT_EQ(machine.List(folder), std::vector<std::u16string>{u"b.txt"});
}

// Folders of 243 and 250 characters, and the longest link there is.
INSTANTIATE_TEST_SUITE_P(Lengths, FileCreateNearMaxPath, ::testing::Values(249, 256, 259));

// The identity check asks for no access, so a file in use without sharing is still known.
TEST_F(HardLinkTest, FileCreateOntoItselfWhileHeldExclusivelyChangesNothing) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  win::UniqueFile held(win::CreateFileW(u"C:\\d\\a.txt", win::GENERIC_READ, 0, nullptr,
                                        win::OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\a.txt", u"C:\\d\\a.txt")),
            0u);
  EXPECT_EQ(machine.List(u"C:\\d"), std::vector<std::u16string>{u"a.txt"});
}

TEST_F(HardLinkTest, FileCreateOntoADirectoryFailsAndKeepsIt) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\sub\\inner.txt", "inner");
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\sub", u"C:\\d\\a.txt")),
            win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\sub\\inner.txt"), "inner");
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 1u);
}

struct LocateCase {
  const char* function;
  DWORD code;
};

class HardLinkLookup : public HardLinkTest, public ::testing::WithParamInterface<LocateCase> {};

TEST_P(HardLinkLookup, FailureLeavesEverythingAsItWas) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\b.txt", "old");
  machine.FailNext(GetParam().function, GetParam().code);
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")),
            GetParam().code);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\b.txt"), "old");
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
}

INSTANTIATE_TEST_SUITE_P(Steps, HardLinkLookup,
                         ::testing::Values(LocateCase{"LoadLibraryW", win::ERROR_MOD_NOT_FOUND},
                                           LocateCase{"GetProcAddress", win::ERROR_PROC_NOT_FOUND}),
                         [](const auto& p) { return std::string(p.param.function); });

TEST_F(HardLinkTest, FileDeleteRemovesOneName) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  ASSERT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")),
            0u);
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::File, u"C:\\d\\b.txt")), 0u);
  EXPECT_FALSE(machine.Exists(u"C:\\d\\b.txt"));
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 1u);
}

struct MissingFileCase {
  const char* name;
  std::u16string link;
};

class FileDeleteOfNothing : public HardLinkTest,
                            public ::testing::WithParamInterface<MissingFileCase> {};

TEST_P(FileDeleteOfNothing, SucceedsWithCodeZeroAndDeletesNothing) {
  machine.PutFile(u"C:\\d\\keep.txt", "kept");
  win::SetLastError(0xdeadbeef);
  EXPECT_TRUE(Request(LinkAction::Delete, LinkKind::File, GetParam().link).Execute());
  EXPECT_EQ(win::GetLastError(), 0u);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\keep.txt"), "kept");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FileDeleteOfNothing,
    ::testing::Values(MissingFileCase{"Missing", u"C:\\d\\gone.txt"}, MissingFileCase{"Empty", u""},
                      MissingFileCase{"TrailingBackslash", u"C:\\d\\keep.txt\\"},
                      MissingFileCase{"DriveRoot", u"C:\\"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(HardLinkTest, FileDeleteFailureCarriesDeleteFileCode) {
  machine.PutFile(u"C:\\d\\sub\\inner.txt", "inner");
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::File, u"C:\\d\\sub")),
            win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine.IsDirectory(u"C:\\d\\sub"));
}

// A directory is never "the same file" as itself: it cannot be hard-linked.
TEST_F(HardLinkTest, FileCreateOfADirectoryOntoItselfFails) {
  machine.PutFile(u"C:\\d\\sub\\inner.txt", "inner");
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\sub", u"C:\\d\\sub")),
            win::ERROR_ACCESS_DENIED);  // CreateHardLinkW's answer for a directory
  EXPECT_EQ(machine.FileContent(u"C:\\d\\sub\\inner.txt"), "inner");
}

// ---- Actions and kinds outside the named values ----

TEST_F(HardLinkTest, AnyNonZeroActionCreates) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  EXPECT_EQ(Outcome(Request(static_cast<LinkAction>(2), LinkKind::File, u"C:\\d\\b.txt",
                            u"C:\\d\\a.txt")),
            0u);
  EXPECT_EQ(Outcome(Request(static_cast<LinkAction>(-1), LinkKind::File, u"C:\\d\\c.txt",
                            u"C:\\d\\a.txt")),
            0u);
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 3u);
}

TEST_F(HardLinkTest, UnknownKindFailsWithNotSupportedAndTouchesNothing) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  int platformCalls = 0;
  for (const char* function :
       {"DefineDosDeviceW", "DeleteFileW", "CreateDirectoryW", "FindFirstFileW", "LoadLibraryW"}) {
    machine.OnCall(function, [&] { ++platformCalls; });
  }
  for (auto kind : {3, 5, -1}) {
    for (auto action : {LinkAction::Create, LinkAction::Delete}) {
      EXPECT_EQ(
          Outcome(Request(action, static_cast<LinkKind>(kind), u"C:\\d\\a.txt", u"C:\\d\\a.txt")),
          win::ERROR_NOT_SUPPORTED);
    }
  }
  EXPECT_EQ(platformCalls, 0);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\a.txt"), "alpha");
}

// ---- CreateDirectoryChain ----

TEST_F(HardLinkTest, DirectoryChainCreatesEachMissingLevel) {
  machine.PutFile(u"C:\\Links\\keep.txt", "kept");
  CreateDirectoryChain(u"C:\\Links\\A\\B");
  EXPECT_TRUE(machine.IsDirectory(u"C:\\Links\\A\\B"));
  EXPECT_EQ(machine.FileContent(u"C:\\Links\\keep.txt"), "kept");

  CreateDirectoryChain(u"C:\\Links\\C\\");
  EXPECT_TRUE(machine.IsDirectory(u"C:\\Links\\C"));
  machine.SetCurrentDirectory(u"C:\\Links");
  CreateDirectoryChain(u"rel\\ative");
  EXPECT_TRUE(machine.IsDirectory(u"C:\\Links\\rel\\ative"));
  CreateDirectoryChain(u"");  // nothing to do, and no failure
  CreateDirectoryChain(u"\\\\server\\share\\dir");
  EXPECT_FALSE(machine.Exists(u"C:\\server"));
  EXPECT_EQ(machine.List(u"C:\\Links"),
            (std::vector<std::u16string>{u"A", u"C", u"keep.txt", u"rel"}));
}

// A file where a directory should be stops the chain there; nothing is overwritten.
TEST_F(HardLinkTest, DirectoryChainPassesOverAFileInTheWay) {
  machine.PutFile(u"C:\\Links\\A", "a file");
  CreateDirectoryChain(u"C:\\Links\\A\\B");
  EXPECT_EQ(machine.FileContent(u"C:\\Links\\A"), "a file");
  EXPECT_FALSE(machine.Exists(u"C:\\Links\\A\\B"));
}

}  // namespace
