// LinkRequest's operations on the simulated machine: every Create and Delete row per kind, with
// the effect on the file system and the last-error code left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/DriveDefinition.h"
#include "engine/LinkRequest.h"
#include "engine/Junction.h"
#include "engine/MountPointBuffer.h"
#include "engine/WayToLink.h"
#include "platform/ReparseRecord.h"
#include "platform/UniqueHandle.h"
#include "platform/sim/Machine.h"
#include "tests/HardLinks.h"

namespace {

using corvane_test::MakeHardLink;

using win::DWORD;

LinkRequest Request(LinkAction action, LinkKind kind, std::u16string link,
                  std::u16string target = {}) {
  LinkRequest request;
  request.action = action;
  request.kind = kind;
  request.link = std::move(link);
  request.target = std::move(target);
  return request;
}

// Executes and returns the exit code the service would report: 0 or the last-error code.
DWORD Outcome(const LinkRequest& request) {
  win::SetLastError(0xdeadbeef);
  return request.Execute() ? 0 : win::GetLastError();
}

class HardLinkTest : public ::testing::Test {
 protected:
  sim::Machine machine;
};

TEST_F(HardLinkTest, DefaultRecord) {
  const LinkRequest record;
  EXPECT_EQ(record.action, LinkAction::Delete);
  EXPECT_EQ(record.kind, LinkKind::Drive);
  EXPECT_TRUE(record.link.empty());
  EXPECT_TRUE(record.target.empty());
}

// ---- Drive ----

// The caller's own set here: the service, as LocalSystem, has only the global one.
TEST_F(HardLinkTest, DriveCreateMapsAndDeleteUnmaps) {
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::Drive, u"X:", u"C:\\Data")), 0u);
  std::vector<std::u16string> definitions;
  EXPECT_EQ(QueryDefinitions(u"X:", definitions), 0u);
  EXPECT_EQ(definitions, std::vector<std::u16string>{u"\\??\\C:\\Data"});
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::Drive, u"X:", kNoTarget)), 0u);
  EXPECT_EQ(QueryDefinitions(u"X:", definitions), 0u);
  EXPECT_TRUE(definitions.empty());
  // An answer that never fits is given up at a buffer of 1 Mi characters, doubled from 512.
  int queries = 0;
  machine.OnCall("QueryDosDeviceW", [&queries] { ++queries; });
  machine.FailNext("QueryDosDeviceW", win::ERROR_INSUFFICIENT_BUFFER, 100);
  EXPECT_EQ(QueryDefinitions(u"X:", definitions), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(queries, 12);
}

// A Delete that names its folder takes off that definition only, and none that is not onto it.
TEST_F(HardLinkTest, DriveDeleteOfAFolderLeavesWhatIsStackedOnIt) {
  for (const char16_t* folder : {u"\\??\\C:\\Data", u"\\??\\C:\\Other"}) {
    ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_RAW_TARGET_PATH, u"Global\\X:", folder));
  }
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::Drive, u"X:", u"C:\\None")),
            win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::Drive, u"X:", u"\\\\?\\c:\\data")), 0u);
  std::vector<std::u16string> definitions;
  EXPECT_EQ(GlobalDefinitions(u"X:", definitions), 0u);
  EXPECT_EQ(definitions, std::vector<std::u16string>{u"\\??\\C:\\Other"});
}

// A definition longer than the first buffer is read whole, and compared as the system stores it.
TEST_F(HardLinkTest, LongDefinitionsAreReadWhole) {
  const std::u16string folder = u"C:\\" + std::u16string(700, u'd');
  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_RAW_TARGET_PATH, u"Global\\X:",
                                    (u"\\??\\" + folder).c_str()));
  std::vector<std::u16string> definitions;
  EXPECT_EQ(GlobalDefinitions(u"X:", definitions), 0u);
  EXPECT_EQ(definitions, std::vector<std::u16string>{u"\\??\\" + folder});
  EXPECT_TRUE(MapsOnto(definitions.front(), u"\\\\?\\c:\\" + std::u16string(700, u'D')));
  EXPECT_TRUE(MapsOnto(u"\\??\\UNC\\srv\\sh", u"\\\\?\\UNC\\SRV\\sh"));
  EXPECT_FALSE(MapsOnto(u"\\??\\UNC\\srv\\sh", u"\\\\srv\\sh\\x"));
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

  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\s.txt", u"C:\\d\\a.txt")),
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

// The new name is made in one step: when it fails, the existing file is as it was.
struct LinkStepCase {
  const char* name;
  win::NTSTATUS status;
  DWORD code;
};

class FileCreateLinkStep : public HardLinkTest,
                           public ::testing::WithParamInterface<LinkStepCase> {};

TEST_P(FileCreateLinkStep, FailureLeavesEverythingAsItWas) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\b.txt", "old");
  machine.FailNext("NtSetInformationFile", static_cast<DWORD>(GetParam().status));
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")),
            GetParam().code);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\b.txt"), "old");
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 1u);
  EXPECT_EQ(machine.List(u"C:\\d"), (std::vector<std::u16string>{u"a.txt", u"b.txt"}));
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, FileCreateLinkStep,
    ::testing::Values(LinkStepCase{"AccessDenied", static_cast<win::NTSTATUS>(0xC0000022),
                                   win::ERROR_ACCESS_DENIED},
                      LinkStepCase{"TooManyLinks", static_cast<win::NTSTATUS>(0xC0000265),
                                   win::ERROR_TOO_MANY_LINKS}),
    [](const auto& p) { return std::string(p.param.name); });

// Earlier versions moved a temporary link over the link without writing the move through; after
// a power cut that took the move back, the next File Create there clears the name away.
TEST_F(HardLinkTest, FileCreateRemovesATemporaryLinkAPowerCutLeft) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  ASSERT_TRUE(MakeHardLink(u"C:\\d\\~corvane0000.tmp", u"C:\\d\\a.txt"));
  machine.PutFile(u"C:\\d\\b.txt", "old");  // on the disk, and so the link before it
  ASSERT_TRUE(win::MoveFileExW(u"C:\\d\\~corvane0000.tmp", u"C:\\d\\b.txt",
                               win::MOVEFILE_REPLACE_EXISTING));
  machine.PowerCut();
  ASSERT_EQ(machine.FileContent(u"C:\\d\\b.txt"), "old");

  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")),
            0u);
  EXPECT_EQ(machine.List(u"C:\\d"), (std::vector<std::u16string>{u"a.txt", u"b.txt"}));
  EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 2u);
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

// Only a name of the exact form that is a name of the target or of the file replaced is one of
// ours; the link itself may bear such a name.
struct LeftoverCase {
  const char* label;
  std::u16string name;
  const char16_t* linkOf;  // the file the name is a link to; a file of its own when null
  std::u16string link;
  bool removed;
};

class FileCreateLeftover : public HardLinkTest,
                           public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(FileCreateLeftover, IsRemovedOnlyWhenItIsOurs) {
  const LeftoverCase& leftover = GetParam();
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  machine.PutFile(u"C:\\d\\b.txt", "old");
  const std::u16string name = u"C:\\d\\" + leftover.name;
  if (leftover.linkOf != nullptr) {
    ASSERT_TRUE(MakeHardLink(name, leftover.linkOf));
  } else {
    machine.PutFile(name, "mine");
  }
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\" + leftover.link,
                            u"C:\\d\\a.txt")),
            0u);
  EXPECT_EQ(machine.Exists(name), !leftover.removed);
  EXPECT_EQ(machine.FileContent(u"C:\\d\\" + leftover.link), "alpha");
}

INSTANTIATE_TEST_SUITE_P(
    Names, FileCreateLeftover,
    ::testing::Values(
        LeftoverCase{"LinkOfTheTarget", u"~corvane003f.tmp", u"C:\\d\\a.txt", u"b.txt", true},
        LeftoverCase{"LinkOfTheReplacedFile", u"~CORVANE000A.TMP", u"C:\\d\\b.txt", u"b.txt", true},
        LeftoverCase{"AnotherFile", u"~corvane0001.tmp", nullptr, u"b.txt", false},
        LeftoverCase{"BeyondTheAttempts", u"~corvane0040.tmp", u"C:\\d\\a.txt", u"b.txt", false},
        LeftoverCase{"NotHex", u"~corvane00g0.tmp", u"C:\\d\\a.txt", u"b.txt", false},
        LeftoverCase{"TheLinkItself", u"~corvane0002.tmp", u"C:\\d\\b.txt", u"~corvane0002.tmp",
                     false}),
    [](const auto& p) { return std::string(p.param.label); });

// While another program reads through the name, on a volume of each delete semantics: the delete
// goes through the checked handle, whose name goes once the last handle closes on every version.
TEST_F(HardLinkTest, FileDeleteRemovesOneNameOnceItsReadersClose) {
  machine.PutFile(u"C:\\d\\a.txt", "alpha");
  for (const auto semantics : {sim::DeleteSemantics::Classic, sim::DeleteSemantics::Posix}) {
    SCOPED_TRACE(static_cast<int>(semantics));
    machine.SetDeleteSemantics(u'C', semantics);
    ASSERT_EQ(
        Outcome(Request(LinkAction::Create, LinkKind::File, u"C:\\d\\b.txt", u"C:\\d\\a.txt")), 0u);
    win::UniqueFile reader(
        win::CreateFileW(u"C:\\d\\b.txt", win::GENERIC_READ,
                         win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                         nullptr, win::OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::File, u"C:\\d\\b.txt")), 0u);
    EXPECT_TRUE(machine.Exists(u"C:\\d\\b.txt"));
    reader.Reset();
    EXPECT_FALSE(machine.Exists(u"C:\\d\\b.txt"));
    EXPECT_EQ(machine.LinkCount(u"C:\\d\\a.txt"), 1u);
  }
  EXPECT_EQ(machine.FileContent(u"C:\\d\\a.txt"), "alpha");
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
  // The delete through the checked handle refused: never reported as done.
  machine.PutFile(u"C:\\d\\kept.txt", "kept");
  machine.FailNext("SetFileInformationByHandle", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::File, u"C:\\d\\kept.txt")),
            win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine.Exists(u"C:\\d\\kept.txt"));
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
       {"DefineDosDeviceW", "DeleteFileW", "CreateDirectoryW", "FindFirstFileW", "CreateFileW"}) {
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

// ---- Folders on the way to a link ----

constexpr char16_t kBob[] = u"O:S-1-5-21-1000-2000-3000-1002";  // a user other than the caller
constexpr char16_t kWay[] = u"C:\\Users\\bob\\Desktop\\Way";

// Every name below `path` with a file's content, to tell any change; links are not entered.
std::vector<std::string> Tree(sim::Machine& machine, const std::u16string& path) {
  std::vector<std::string> tree;
  for (const auto& name : machine.List(path)) {
    const std::u16string child = path + u"\\" + name;
    const bool link = (win::GetFileAttributesW(child.c_str()) & win::FILE_ATTRIBUTE_REPARSE_POINT);
    tree.push_back(std::string(name.begin(), name.end()) + (link ? " (link) " : " ") +
                   machine.FileContent(child).value_or(""));
    if (!link) std::ranges::copy(Tree(machine, child), std::back_inserter(tree));
  }
  return tree;
}

// What a user who may change `folder` does to send the service to C:\Victim: the folder is
// renamed away and a junction of the user's own takes its name; failing that, what is in it is
// deleted and the folder made a mount point through an open that only writes its attributes.
void Redirect(sim::Machine& machine, const std::u16string& folder) {
  if (win::MoveFileExW(folder.c_str(), (folder + u".old").c_str(), 0)) {
    win::CreateDirectoryW(folder.c_str(), nullptr);
    CreateJunction(folder, u"\\??\\C:\\Victim");
    machine.SetSecurity(folder, kBob);
    return;
  }
  for (const auto& name : machine.List(folder)) {
    const std::u16string child = folder + u"\\" + name;
    if (!win::DeleteFileW(child.c_str())) win::RemoveDirectoryW(child.c_str());
  }
  MountPointBuffer record;
  win::UniqueFile opened(win::CreateFileW(
      folder.c_str(), win::FILE_WRITE_ATTRIBUTES,
      win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE, nullptr,
      win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr));
  if (opened && record.Fill(u"\\??\\C:\\Victim")) {
    win::DeviceIoControl(opened.Get(), win::FSCTL_SET_REPARSE_POINT, record.Data(),
                         record.SizeToSend(), nullptr, 0, nullptr, nullptr);
  }
}

struct RedirectCase {
  std::string name;
  const char* step;  // the seam call at whose start the folder is redirected
  LinkRequest request;
};

class RedirectedWay : public ::testing::TestWithParam<RedirectCase> {};

// At each call of the step in turn, the link's folder is redirected to C:\Victim, which holds
// some of the same names: whatever the request's outcome, nothing there is made, replaced or
// deleted.
TEST_P(RedirectedWay, NothingChangesOutsideTheNamedFolder) {
  for (int at = 1;; ++at) {
    std::optional<sim::Machine> machine;
    machine.emplace();
    machine->PutFile(u"C:\\Users\\bob\\a.txt", "alpha");
    machine->PutFile(kWay + std::u16string(u"\\b.txt"), "old");
    for (const char16_t* folder :
         {u"C:\\Users\\bob\\Store", u"C:\\Victim\\Inner", u"C:\\Victim\\j"}) {
      machine->MakeDirectories(folder);
    }
    machine->MakeDirectories(kWay + std::u16string(u"\\j"));
    ASSERT_TRUE(CreateJunction(kWay + std::u16string(u"\\j"), u"C:\\Users\\bob\\Store"));
    ASSERT_TRUE(CreateJunction(u"C:\\Victim\\j", u"C:\\Victim\\Inner"));
    machine->PutFile(u"C:\\Victim\\b.txt", "victim");
    for (const char16_t* folder : {u"C:\\Users\\bob", u"C:\\Users\\bob\\Desktop", kWay}) {
      machine->SetSecurity(folder, kBob);
    }
    const auto before = Tree(*machine, u"C:\\Victim");
    int calls = 0;
    machine->OnCall(GetParam().step, [&, busy = false]() mutable {
      if (busy || ++calls != at) return;
      busy = true;
      Redirect(*machine, kWay);
      busy = false;
    });
    Outcome(GetParam().request);
    EXPECT_EQ(Tree(*machine, u"C:\\Victim"), before) << "redirected at call " << at;
    ASSERT_GT(calls, 0) << "the request makes no such call";
    if (calls < at) break;
  }
}

// Each request with the calls it makes.
std::vector<RedirectCase> RedirectCases() {
  const std::u16string way = kWay;
  const std::u16string a = u"C:\\Users\\bob\\a.txt";
  const std::tuple<const char*, LinkRequest, std::vector<const char*>> requests[] = {
      {"CreateFile",
       Request(LinkAction::Create, LinkKind::File, way + u"\\new.txt", a),
       {"NtSetInformationFile"}},
      {"ReplaceFile",
       Request(LinkAction::Create, LinkKind::File, way + u"\\b.txt", a),
       {"NtSetInformationFile"}},
      {"DeleteFile",
       Request(LinkAction::Delete, LinkKind::File, way + u"\\b.txt"),
       {"SetFileInformationByHandle"}},
      {"CreateFolder",
       Request(LinkAction::Create, LinkKind::Folder, way + u"\\New\\j", u"C:\\Users\\bob\\Store"),
       {"DeviceIoControl"}},
      {"DeleteFolder",
       Request(LinkAction::Delete, LinkKind::Folder, way + u"\\j"),
       {"FindFirstFileW", "DeviceIoControl", "SetFileInformationByHandle"}}};
  std::vector<RedirectCase> cases;
  for (const auto& [name, request, own] : requests) {
    for (const char* step :
         {"GetFullPathNameW", "CreateFileW", "NtCreateFile", "GetFileInformationByHandle"}) {
      cases.push_back({std::string(name) + "At" + step, step, request});
    }
    for (const char* step : own) cases.push_back({std::string(name) + "At" + step, step, request});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Steps, RedirectedWay, ::testing::ValuesIn(RedirectCases()),
                         [](const auto& p) { return p.param.name; });

struct WayLinkCase {
  const char* name;
  const char16_t* owner;  // the link's owner and list
  DWORD tag;
  DWORD code;
  const char16_t* volumeRoot = nullptr;  // C:\'s owner and list, where they matter
};

class LinkOnTheWay : public HardLinkTest, public ::testing::WithParamInterface<WayLinkCase> {};

// C:\Documents and Settings leads to C:\Users, as on Windows: only a trusted owner's link is
// followed, and a refused request makes nothing.
TEST_P(LinkOnTheWay, IsFollowedOnlyWhenATrustedOwnerMadeIt) {
  const std::u16string way = u"C:\\Documents and Settings";
  const bool junction = GetParam().tag == win::IO_REPARSE_TAG_MOUNT_POINT;
  machine.MakeDirectories(junction ? u"C:\\Users\\bob" : u"C:\\Documents and Settings\\bob");
  if (junction) {
    machine.MakeDirectories(way);
    ASSERT_TRUE(CreateJunction(way, u"C:\\Users"));
  } else {
    std::vector<std::uint8_t> record(reparse::kHeaderSize);
    reparse::Put32(record.data(), reparse::kTagAt, GetParam().tag);
    win::UniqueFile folder(win::CreateFileW(
        way.c_str(), win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING,
        win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    ASSERT_TRUE(win::DeviceIoControl(folder.Get(), win::FSCTL_SET_REPARSE_POINT, record.data(),
                                     reparse::kHeaderSize, nullptr, 0, nullptr, nullptr));
  }
  machine.SetSecurity(way, GetParam().owner);
  if (GetParam().volumeRoot != nullptr) machine.SetSecurity(u"C:\\", GetParam().volumeRoot);
  EXPECT_EQ(
      Outcome(Request(LinkAction::Create, LinkKind::Folder, way + u"\\bob\\New\\j", u"C:\\Store")),
      GetParam().code);
  EXPECT_EQ(machine.Exists(way + u"\\bob\\New"), GetParam().code == 0);
  EXPECT_EQ(machine.Exists(u"C:\\Store"), GetParam().code == 0);
  // A File Delete is held to the same rule; one that may go through finds nothing to delete.
  EXPECT_EQ(Outcome(Request(LinkAction::Delete, LinkKind::File, way + u"\\bob\\x.txt", kNoTarget)),
            GetParam().code);
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Owners, LinkOnTheWay,
    ::testing::Values(
        WayLinkCase{"System", u"O:SY", win::IO_REPARSE_TAG_MOUNT_POINT, 0},
        WayLinkCase{"Administrators", u"O:BA", win::IO_REPARSE_TAG_MOUNT_POINT, 0},
        WayLinkCase{"TrustedInstaller",
                    u"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                    win::IO_REPARSE_TAG_MOUNT_POINT, 0},
        WayLinkCase{"AnotherUser", kBob, win::IO_REPARSE_TAG_MOUNT_POINT, kUntrustedLinkOnTheWay},
        WayLinkCase{"TheCaller", u"O:S-1-5-21-1000-2000-3000-1001", win::IO_REPARSE_TAG_MOUNT_POINT,
                    kUntrustedLinkOnTheWay},
        // Who may change a link counts, not who owns it: Authenticated Users' Modify, or a
        // folder that lets users delete its entries.
        WayLinkCase{"AdministratorsButUsersMayChangeIt", u"O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;AU)",
                    win::IO_REPARSE_TAG_MOUNT_POINT, kUntrustedLinkOnTheWay},
        WayLinkCase{"SystemsInAFolderUsersMayDeleteFrom", u"O:SY", win::IO_REPARSE_TAG_MOUNT_POINT,
                    kUntrustedLinkOnTheWay,
                    u"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200e9;;;BU)"},
        // A cloud file placeholder names no other place: a folder like any other.
        WayLinkCase{"AnotherUsersCloudFolder", kBob, 0x9000001A, 0}),
    [](const auto& p) { return std::string(p.param.name); });

struct WayThroughCase {
  const char* name;
  const char16_t* link;  // the File Create's new name
  DWORD code;
  const char16_t* made;  // where the new name is, when it is made
};

class WayThroughTrustedLinks : public HardLinkTest,
                               public ::testing::WithParamInterface<WayThroughCase> {};

// A trusted link's target is walked name by name from its own volume root, as is the folder a
// drive letter maps: a user's junction inside it is refused as on the way itself, and a loop ends.
TEST_P(WayThroughTrustedLinks, WalksTheTargetAndRefusesWhatUsersMayChange) {
  for (const char16_t* folder :
       {u"C:\\Team\\bob", u"C:\\Users\\bob\\Shared", u"C:\\Users\\bob\\Own", u"C:\\Windows\\System32",
        u"C:\\Loop"}) {
    machine.MakeDirectories(folder);
  }
  machine.PutFile(u"C:\\Users\\bob\\a.txt", "bob's");
  ASSERT_TRUE(CreateJunction(u"C:\\Team\\bob", u"C:\\Users\\bob\\Shared"));  // an administrator's
  ASSERT_TRUE(CreateJunction(u"C:\\Users\\bob\\Shared", u"C:\\Windows\\System32"));  // Bob's
  machine.SetSecurity(u"C:\\Users\\bob\\Shared", kBob);
  ASSERT_TRUE(CreateJunction(u"C:\\Loop", u"C:\\Loop"));
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\A:", u"C:\\Users\\bob\\Shared"));
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\Y:", u"C:\\Users\\bob\\Own"));
  EXPECT_EQ(Outcome(Request(LinkAction::Create, LinkKind::File, GetParam().link,
                            u"C:\\Users\\bob\\a.txt")),
            GetParam().code);
  EXPECT_TRUE(machine.List(u"C:\\Windows\\System32").empty());
  if (GetParam().made != nullptr) {
    EXPECT_EQ(machine.LinkCount(GetParam().made), 2u);
  }
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, WayThroughTrustedLinks,
    ::testing::Values(
        WayThroughCase{"AUsersJunctionInATrustedOnesTarget", u"C:\\Team\\bob\\readme.txt",
                       kUntrustedLinkOnTheWay, nullptr},
        WayThroughCase{"ADriveLetterOntoAUsersJunction", u"a:\\readme.txt", kUntrustedLinkOnTheWay,
                       nullptr},
        WayThroughCase{"ADriveLetterOntoAFolder", u"Y:\\readme.txt", 0,
                       u"C:\\Users\\bob\\Own\\readme.txt"},
        WayThroughCase{"ALoop", u"C:\\Loop\\readme.txt", win::ERROR_CANT_RESOLVE_FILENAME, nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
