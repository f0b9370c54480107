// The file-system calls Corvane relies on, pinned on the simulation and on Win32 alike.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/ReparseRecord.h"
#include "platform/UniqueHandle.h"
#include "tests/HardLinks.h"
#include "tests/contract/ContractTest.h"

namespace {

using contract::Backend;
using contract::ContractTest;
using contract::CurrentBackend;
using contract::DocumentedNotMeasured;
using contract::Narrow;
using corvane_test::MakeHardLink;

constexpr win::DWORD kUnset = 0xdeadbeef;
constexpr win::DWORD kShareAll =
    win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE;

// Names each case of a table after its label.
struct LabelOf {
  template <typename T>
  std::string operator()(const ::testing::TestParamInfo<T>& param) const {
    return param.param.label;
  }
};

bool OnWine() {
  return CurrentBackend() == Backend::Wine;
}

win::UniqueFile Open(const std::u16string& path, win::DWORD access, win::DWORD share,
                     win::DWORD disposition = win::OPEN_EXISTING, win::DWORD flags = 0) {
  return win::UniqueFile(
      win::CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr));
}

// ---- Hard links and file identity ----

TEST_F(ContractTest, HardLinkSharesContentIdentityAndCount) {
  ASSERT_TRUE(MakeFile(In(u"a.txt"), "payload"));
  win::SetLastError(kUnset);
  ASSERT_TRUE(MakeHardLink(In(u"b.txt"), In(u"a.txt")));
  EXPECT_EQ(ReadAll(In(u"b.txt")), "payload");
  const auto a = Info(In(u"a.txt"));
  const auto b = Info(In(u"b.txt"));
  EXPECT_EQ(a.nNumberOfLinks, 2u);
  EXPECT_EQ(b.nNumberOfLinks, 2u);
  EXPECT_EQ(a.dwVolumeSerialNumber, b.dwVolumeSerialNumber);
  EXPECT_EQ(a.nFileIndexHigh, b.nFileIndexHigh);
  EXPECT_EQ(a.nFileIndexLow, b.nFileIndexLow);

  ASSERT_TRUE(MakeFile(In(u"other.txt")));
  const auto other = Info(In(u"other.txt"));
  EXPECT_FALSE(other.nFileIndexHigh == a.nFileIndexHigh && other.nFileIndexLow == a.nFileIndexLow);

  ASSERT_TRUE(win::DeleteFileW(In(u"a.txt").c_str()));
  EXPECT_EQ(Info(In(u"b.txt")).nNumberOfLinks, 1u);
  EXPECT_EQ(ReadAll(In(u"b.txt")), "payload");
}

// The 128-bit identity: the same for both names of a file, another for another file, on the
// volume whose serial number the 32-bit query gives.
TEST_F(ContractTest, FileIdIsTheSameForBothNamesOfAFile) {
  ASSERT_TRUE(MakeFile(In(u"a.txt")));
  ASSERT_TRUE(MakeHardLink(In(u"b.txt"), In(u"a.txt")));
  ASSERT_TRUE(MakeFile(In(u"other.txt")));
  auto id = [this](std::u16string_view name) {
    win::UniqueFile file(win::CreateFileW(In(name).c_str(), 0, win::FILE_SHARE_READ, nullptr,
                                          win::OPEN_EXISTING, 0, nullptr));
    win::FILE_ID_INFO info{};
    win::SetLastError(kUnset);
    EXPECT_TRUE(win::GetFileInformationByHandleEx(file.Get(), win::FileIdInfo, &info, sizeof info))
        << win::GetLastError();
    return std::make_pair(info.VolumeSerialNumber,
                          std::string(std::begin(info.FileId), std::end(info.FileId)));
  };
  const auto a = id(u"a.txt");
  EXPECT_EQ(id(u"b.txt"), a);
  EXPECT_NE(id(u"other.txt").second, a.second);
  EXPECT_EQ(static_cast<win::DWORD>(a.first), Info(In(u"a.txt")).dwVolumeSerialNumber);
}

TEST_F(ContractTest, WritingThroughOneNameShowsThroughTheOther) {
  ASSERT_TRUE(MakeFile(In(u"a"), "old"));
  ASSERT_TRUE(MakeHardLink(In(u"b"), In(u"a")));
  ASSERT_TRUE(MakeFile(In(u"b"), "new content"));
  EXPECT_EQ(ReadAll(In(u"a")), "new content");
}

// ---- DeleteFileW ----

TEST_F(ContractTest, DeleteFileRemovesTheName) {
  ASSERT_TRUE(MakeFile(In(u"f")));
  win::SetLastError(kUnset);
  EXPECT_TRUE(win::DeleteFileW(In(u"F").c_str()));
  EXPECT_FALSE(Exists(In(u"f")));
}

struct DeleteFailure {
  const char* label;
  const char16_t* name;
  win::DWORD error;
};

class DeleteFailureTest : public ContractTest,
                          public ::testing::WithParamInterface<DeleteFailure> {};

TEST_P(DeleteFailureTest, FailsWithTheWindowsCode) {
  ASSERT_TRUE(win::CreateDirectoryW(In(u"dir").c_str(), nullptr));
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DeleteFileW(In(GetParam().name).c_str()));
  EXPECT_EQ(win::GetLastError(), GetParam().error);
  EXPECT_TRUE(Exists(In(u"dir")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeleteFailureTest,
    ::testing::Values(DeleteFailure{"Missing", u"missing", win::ERROR_FILE_NOT_FOUND},
                      DeleteFailure{"ParentMissing", u"nodir\\f", win::ERROR_PATH_NOT_FOUND},
                      DeleteFailure{"Directory", u"dir", win::ERROR_ACCESS_DENIED},
                      DeleteFailure{"DirectoryWithSeparator", u"dir\\", win::ERROR_ACCESS_DENIED}),
    LabelOf());

TEST_F(ContractTest, DeleteFileOfAFileOpenWithoutShareDeleteIsASharingViolation) {
  ASSERT_TRUE(MakeFile(In(u"f")));
  {
    auto held = Open(In(u"f"), win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE);
    ASSERT_TRUE(held);
    win::SetLastError(kUnset);
    EXPECT_FALSE(win::DeleteFileW(In(u"f").c_str()));
    EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
  }
  EXPECT_TRUE(Exists(In(u"f")));
  {
    auto held = Open(In(u"f"), win::GENERIC_READ, kShareAll);
    ASSERT_TRUE(held);
    EXPECT_TRUE(win::DeleteFileW(In(u"f").c_str()));
  }
  EXPECT_FALSE(Exists(In(u"f")));
}

// A delete through a handle: it needs DELETE, a directory must be empty, and the name goes once
// the handle closes.
TEST_F(ContractTest, DispositionDeletesThroughTheHandle) {
  ASSERT_TRUE(MakeFile(In(u"f")));
  ASSERT_TRUE(win::CreateDirectoryW(In(u"dir").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(In(u"dir\\inner")));
  win::FILE_DISPOSITION_INFO remove{1};
  {
    auto attributesOnly = Open(In(u"f"), win::FILE_READ_ATTRIBUTES, kShareAll);
    win::SetLastError(kUnset);
    EXPECT_FALSE(win::SetFileInformationByHandle(attributesOnly.Get(), win::FileDispositionInfo,
                                                 &remove, sizeof remove));
    EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  }
  {
    auto full = Open(In(u"dir"), win::DELETE | win::FILE_READ_ATTRIBUTES, kShareAll,
                     win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS);
    win::SetLastError(kUnset);
    EXPECT_FALSE(win::SetFileInformationByHandle(full.Get(), win::FileDispositionInfo, &remove,
                                                 sizeof remove));
    EXPECT_EQ(win::GetLastError(), win::ERROR_DIR_NOT_EMPTY);
  }
  {
    auto file = Open(In(u"f"), win::DELETE, kShareAll, win::OPEN_EXISTING,
                     win::FILE_FLAG_OPEN_REPARSE_POINT);
    EXPECT_TRUE(win::SetFileInformationByHandle(file.Get(), win::FileDispositionInfo, &remove,
                                                sizeof remove));
  }
  EXPECT_FALSE(Exists(In(u"f")));
  EXPECT_TRUE(Exists(In(u"dir\\inner")));

  // The pending delete is the file's, not the handle's: another handle takes it back. A delete
  // through a handle waits for the last close even where DeleteFileW frees a name at once.
  contract::ChooseDeleteSemantics(true);
  ASSERT_TRUE(MakeFile(In(u"g"), "kept"));
  {
    auto first = Open(In(u"g"), win::DELETE, kShareAll);
    auto second = Open(In(u"g"), win::DELETE, kShareAll);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(win::SetFileInformationByHandle(first.Get(), win::FileDispositionInfo, &remove,
                                                sizeof remove));
    win::FILE_DISPOSITION_INFO keep{0};
    EXPECT_TRUE(win::SetFileInformationByHandle(second.Get(), win::FileDispositionInfo, &keep,
                                                sizeof keep));
  }
  TODO_WINE("Wine 8: a delete asked for through one handle is not taken back through another") {
    EXPECT_EQ(ReadAll(In(u"g")), "kept");
  }
}

// A name opened or made below a directory handle, and the Win32 codes of its statuses.
TEST_F(ContractTest, NameBelowADirectoryHandle) {
  ASSERT_TRUE(win::CreateDirectoryW(In(u"dir").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(In(u"dir\\f")));
  auto dir = Open(In(u"dir"), win::FILE_READ_DATA | win::SYNCHRONIZE,
                  win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING,
                  win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_TRUE(dir);
  win::IO_STATUS_BLOCK io{};
  auto below = [&](std::u16string name, win::DWORD access, win::ULONG disposition,
                   win::ULONG options) {
    win::UNICODE_STRING text{static_cast<win::WORD>(2 * name.size()),
                             static_cast<win::WORD>(2 * name.size()), name.data()};
    win::OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = dir.Get();
    attributes.ObjectName = &text;
    attributes.Attributes = win::OBJ_CASE_INSENSITIVE;
    win::HANDLE opened = nullptr;
    io = {};
    const win::NTSTATUS status = win::NtCreateFile(
        &opened, access | win::SYNCHRONIZE, &attributes, &io, nullptr, 0, kShareAll, disposition,
        options | win::FILE_SYNCHRONOUS_IO_NONALERT | win::FILE_OPEN_REPARSE_POINT, nullptr, 0);
    return std::make_pair(win::RtlNtStatusToDosError(status),
                          win::UniqueFile(status == win::STATUS_SUCCESS ? opened : nullptr));
  };
  const auto none = win::ULONG{0};
  EXPECT_EQ(below(u"sub", win::FILE_READ_DATA, win::FILE_CREATE, win::FILE_DIRECTORY_FILE).first,
            0u);
  EXPECT_EQ(io.Information, win::FILE_CREATED);
  EXPECT_TRUE(Info(In(u"dir\\sub")).dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(below(u"SUB", win::FILE_READ_DATA, win::FILE_OPEN_IF, win::FILE_DIRECTORY_FILE).first,
            0u);
  EXPECT_EQ(io.Information, win::FILE_OPENED);
  EXPECT_EQ(below(u"sub", win::FILE_READ_DATA, win::FILE_CREATE, none).first,
            win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(below(u"missing", win::FILE_READ_DATA, win::FILE_OPEN, none).first,
            win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(below(u"f", win::FILE_READ_DATA, win::FILE_OPEN, win::FILE_DIRECTORY_FILE).first,
            win::ERROR_DIRECTORY);
  EXPECT_EQ(below(u"sub", win::DELETE, win::FILE_OPEN, win::FILE_NON_DIRECTORY_FILE).first,
            win::ERROR_ACCESS_DENIED);
  {
    auto [code, f] = below(u"f", win::DELETE, win::FILE_OPEN, win::FILE_NON_DIRECTORY_FILE);
    ASSERT_EQ(code, 0u);
    win::FILE_DISPOSITION_INFO remove{1};
    EXPECT_TRUE(
        win::SetFileInformationByHandle(f.Get(), win::FileDispositionInfo, &remove, sizeof remove));
  }
  EXPECT_FALSE(Exists(In(u"dir\\f")));
  // Looked up in the directory held, not by its path: renamed, it is still the one below it.
  dir.Reset();
  dir = Open(In(u"dir"), win::FILE_READ_DATA | win::SYNCHRONIZE, kShareAll, win::OPEN_EXISTING,
             win::FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_TRUE(win::MoveFileExW(In(u"dir").c_str(), In(u"moved").c_str(), 0));
  ASSERT_TRUE(win::CreateDirectoryW(In(u"dir").c_str(), nullptr));
  EXPECT_EQ(below(u"new", win::FILE_READ_DATA, win::FILE_CREATE, win::FILE_DIRECTORY_FILE).first,
            0u);
  EXPECT_TRUE(Exists(In(u"moved\\new")));
  EXPECT_FALSE(Exists(In(u"dir\\new")));
}

// A new name of a file made below a directory handle, superseding an existing one when asked.
TEST_F(ContractTest, NewNameOfAFileBelowADirectoryHandle) {
  ASSERT_TRUE(win::CreateDirectoryW(In(u"dir").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(In(u"a.txt"), "alpha"));
  ASSERT_TRUE(MakeFile(In(u"dir\\old.txt"), "old"));
  ASSERT_TRUE(MakeFile(In(u"dir\\held.txt"), "held"));
  auto dir = Open(In(u"dir"), win::FILE_READ_DATA | win::SYNCHRONIZE, kShareAll, win::OPEN_EXISTING,
                  win::FILE_FLAG_BACKUP_SEMANTICS);
  auto file = Open(In(u"a.txt"), win::SYNCHRONIZE | win::FILE_READ_ATTRIBUTES, kShareAll);
  ASSERT_TRUE(dir && file);
  auto link = [&](std::u16string_view name, bool replace) {
    std::vector<std::uint8_t> buffer(sizeof(win::FILE_LINK_INFORMATION) + 2 * name.size());
    auto* info = reinterpret_cast<win::FILE_LINK_INFORMATION*>(buffer.data());
    info->ReplaceIfExists = replace ? 1 : 0;
    info->RootDirectory = dir.Get();
    info->FileNameLength = static_cast<win::ULONG>(2 * name.size());
    std::memcpy(info->FileName, name.data(), 2 * name.size());
    win::IO_STATUS_BLOCK io{};
    return win::RtlNtStatusToDosError(win::NtSetInformationFile(
        file.Get(), &io, info, static_cast<win::ULONG>(buffer.size()), win::FileLinkInformation));
  };
  EXPECT_EQ(link(u"b.txt", false), 0u);
  EXPECT_EQ(ReadAll(In(u"dir\\b.txt")), "alpha");
  EXPECT_EQ(Info(In(u"a.txt")).nNumberOfLinks, 2u);
  EXPECT_EQ(link(u"old.txt", false), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadAll(In(u"dir\\old.txt")), "old");
  EXPECT_EQ(link(u"old.txt", true), 0u);
  EXPECT_EQ(ReadAll(In(u"dir\\old.txt")), "alpha");
  EXPECT_EQ(Info(In(u"a.txt")).nNumberOfLinks, 3u);
  // A file that anyone has open is not superseded.
  auto held = Open(In(u"dir\\held.txt"), win::GENERIC_READ, kShareAll);
  ASSERT_TRUE(held);
  EXPECT_EQ(link(u"held.txt", true), win::ERROR_ACCESS_DENIED);
  held.Reset();
  EXPECT_EQ(ReadAll(In(u"dir\\held.txt")), "held");
}

// A file link onto a name that is taken, by a folder or by a file in another case, is made
// without replacing (the service supersedes only a file it found there) and is refused.
TEST_F(ContractTest, NewNameThatIsTakenIsRefused) {
  ASSERT_TRUE(MakeFile(In(u"a.txt"), "alpha"));
  ASSERT_TRUE(MakeFile(In(u"taken"), "kept"));
  ASSERT_TRUE(win::CreateDirectoryW(In(u"dir").c_str(), nullptr));
  for (const char16_t* name : {u"TAKEN", u"dir"}) {
    win::SetLastError(kUnset);
    EXPECT_FALSE(MakeHardLink(In(name), In(u"a.txt"))) << Narrow(name);
    EXPECT_EQ(win::GetLastError(), win::ERROR_ALREADY_EXISTS) << Narrow(name);
  }
  EXPECT_EQ(ReadAll(In(u"taken")), "kept");
  EXPECT_NE(Info(In(u"dir")).dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(Info(In(u"a.txt")).nNumberOfLinks, 1u);
}

// ---- CreateDirectoryW / RemoveDirectoryW ----

TEST_F(ContractTest, CreateDirectoryMakesADirectoryAndLeavesTheErrorAlone) {
  win::SetLastError(kUnset);
  EXPECT_TRUE(win::CreateDirectoryW(In(u"sub").c_str(), nullptr));
  EXPECT_EQ(win::GetLastError(), kUnset);
  EXPECT_EQ(win::GetFileAttributesW(In(u"sub").c_str()) & win::FILE_ATTRIBUTE_DIRECTORY,
            win::FILE_ATTRIBUTE_DIRECTORY);
}

struct DirectoryFailure {
  const char* label;
  bool create;  // CreateDirectoryW, else RemoveDirectoryW
  const char16_t* name;
  win::DWORD error;
};

class DirectoryFailureTest : public ContractTest,
                             public ::testing::WithParamInterface<DirectoryFailure> {};

TEST_P(DirectoryFailureTest, FailsWithTheWindowsCode) {
  const auto& c = GetParam();
  ASSERT_TRUE(win::CreateDirectoryW(In(u"full").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(In(u"full\\inside")));
  ASSERT_TRUE(MakeFile(In(u"file")));
  const std::u16string path = In(c.name);
  win::SetLastError(kUnset);
  const win::BOOL ok =
      c.create ? win::CreateDirectoryW(path.c_str(), nullptr) : win::RemoveDirectoryW(path.c_str());
  EXPECT_FALSE(ok);
  EXPECT_EQ(win::GetLastError(), c.error);
  EXPECT_TRUE(Exists(In(u"full\\inside")));
  EXPECT_EQ(win::GetFileAttributesW(In(u"file").c_str()) & win::FILE_ATTRIBUTE_DIRECTORY, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DirectoryFailureTest,
    ::testing::Values(
        DirectoryFailure{"CreateExisting", true, u"full", win::ERROR_ALREADY_EXISTS},
        DirectoryFailure{"CreateOverAFile", true, u"file", win::ERROR_ALREADY_EXISTS},
        DirectoryFailure{"CreateParentMissing", true, u"nodir\\x", win::ERROR_PATH_NOT_FOUND},
        DirectoryFailure{"RemoveNotEmpty", false, u"full", win::ERROR_DIR_NOT_EMPTY},
        DirectoryFailure{"RemoveAFile", false, u"file", win::ERROR_DIRECTORY},
        DirectoryFailure{"RemoveMissing", false, u"missing", win::ERROR_FILE_NOT_FOUND},
        DirectoryFailure{"RemoveParentMissing", false, u"nodir\\x", win::ERROR_PATH_NOT_FOUND}),
    LabelOf());

// A directory must leave room for "\\" and an 8.3 name within MAX_PATH (the NUL included).
TEST_F(ContractTest, CreateDirectoryRefusesAFullPathOf248OrMore) {
  auto path = [&](std::size_t length) {
    std::u16string name = Dir() + u"\\";
    name.append(length - name.size(), u'd');
    return name;
  };
  win::SetLastError(kUnset);
  ASSERT_TRUE(win::CreateDirectoryW(path(247).c_str(), nullptr));
  EXPECT_TRUE(win::RemoveDirectoryW(path(247).c_str()));
  win::SetLastError(kUnset);
  const win::BOOL made = win::CreateDirectoryW(path(248).c_str(), nullptr);
  const win::DWORD error = win::GetLastError();
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: CreateDirectoryW has no 248-character limit") {
    EXPECT_FALSE(made);
    EXPECT_EQ(error, win::ERROR_FILENAME_EXCED_RANGE);
    EXPECT_FALSE(Exists(path(248)));
    win::SetLastError(kUnset);
    EXPECT_FALSE(win::CreateDirectoryW(path(259).c_str(), nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_FILENAME_EXCED_RANGE);
  }
  // What was made past the limit all the same goes, so that the name is free again.
  win::RemoveDirectoryW(path(259).c_str());
  win::RemoveDirectoryW(path(248).c_str());
  // The limit is Win32's: a \\?\ path goes past it.
  const std::u16string verbatim = u"\\\\?\\" + path(248);
  EXPECT_TRUE(win::CreateDirectoryW(verbatim.c_str(), nullptr));
  EXPECT_TRUE(win::RemoveDirectoryW(verbatim.c_str()));
}

TEST_F(ContractTest, RemoveDirectoryRemovesAnEmptyDirectory) {
  ASSERT_TRUE(win::CreateDirectoryW(In(u"empty").c_str(), nullptr));
  win::SetLastError(kUnset);
  EXPECT_TRUE(win::RemoveDirectoryW(In(u"empty\\").c_str()));
  EXPECT_FALSE(Exists(In(u"empty")));
}

// ---- MoveFileExW ----

TEST_F(ContractTest, MoveReplacingANameKeepsTheMovedFileAndDropsALinkOfTheReplaced) {
  ASSERT_TRUE(MakeFile(In(u"src"), "source"));
  ASSERT_TRUE(MakeFile(In(u"dst"), "target"));
  ASSERT_TRUE(MakeHardLink(In(u"dst2"), In(u"dst")));
  const auto before = Info(In(u"src"));

  win::SetLastError(kUnset);
  EXPECT_FALSE(win::MoveFileExW(In(u"src").c_str(), In(u"dst").c_str(), 0));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadAll(In(u"dst")), "target");

  win::SetLastError(kUnset);
  ASSERT_TRUE(
      win::MoveFileExW(In(u"src").c_str(), In(u"dst").c_str(), win::MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(Exists(In(u"src")));
  EXPECT_EQ(ReadAll(In(u"dst")), "source");
  const auto after = Info(In(u"dst"));
  EXPECT_EQ(after.nFileIndexLow, before.nFileIndexLow);
  EXPECT_EQ(after.nFileIndexHigh, before.nFileIndexHigh);
  EXPECT_EQ(after.nNumberOfLinks, 1u);
  EXPECT_EQ(Info(In(u"dst2")).nNumberOfLinks, 1u);
  EXPECT_EQ(ReadAll(In(u"dst2")), "target");
}

TEST_F(ContractTest, MoveOntoAnotherNameOfTheSameFileLeavesBothNames) {
  ASSERT_TRUE(MakeFile(In(u"a"), "same"));
  ASSERT_TRUE(MakeHardLink(In(u"b"), In(u"a")));
  win::SetLastError(kUnset);
  EXPECT_TRUE(win::MoveFileExW(In(u"a").c_str(), In(u"b").c_str(), win::MOVEFILE_REPLACE_EXISTING));
  EXPECT_TRUE(Exists(In(u"a")));
  EXPECT_EQ(Info(In(u"b")).nNumberOfLinks, 2u);
}

TEST_F(ContractTest, MoveChangesTheCaseOfAName) {
  ASSERT_TRUE(MakeFile(In(u"name")));
  ASSERT_TRUE(win::MoveFileExW(In(u"name").c_str(), In(u"NAME").c_str(), 0));
  win::WIN32_FIND_DATAW data{};
  win::UniqueFind find(win::FindFirstFileW(In(u"name").c_str(), &data));
  ASSERT_TRUE(find);
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: a move that only changes case keeps the old name") {
    EXPECT_EQ(std::u16string(data.cFileName), u"NAME");
  }
}

struct MoveFailure {
  const char* label;
  const char16_t* from;
  const char16_t* to;
  win::DWORD flags;
  win::DWORD error;
};

class MoveFailureTest : public ContractTest, public ::testing::WithParamInterface<MoveFailure> {};

TEST_P(MoveFailureTest, FailsWithTheWindowsCode) {
  const auto& c = GetParam();
  ASSERT_TRUE(MakeFile(In(u"file"), "keep"));
  ASSERT_TRUE(MakeFile(In(u"other"), "other"));
  ASSERT_TRUE(win::CreateDirectoryW(In(u"dir").c_str(), nullptr));
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::MoveFileExW(In(c.from).c_str(), In(c.to).c_str(), c.flags));
  EXPECT_EQ(win::GetLastError(), c.error);
  EXPECT_EQ(ReadAll(In(u"file")), "keep");
  EXPECT_EQ(ReadAll(In(u"other")), "other");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MoveFailureTest,
    ::testing::Values(
        MoveFailure{"TargetExists", u"file", u"other", 0, win::ERROR_ALREADY_EXISTS},
        MoveFailure{"TargetIsADirectory", u"file", u"dir", 0, win::ERROR_ALREADY_EXISTS},
        MoveFailure{"ReplaceADirectory", u"file", u"dir", win::MOVEFILE_REPLACE_EXISTING,
                    win::ERROR_ACCESS_DENIED},
        MoveFailure{"SourceMissing", u"missing", u"x", 0, win::ERROR_FILE_NOT_FOUND},
        MoveFailure{"SourceParentMissing", u"nodir\\x", u"x", 0, win::ERROR_PATH_NOT_FOUND}),
    LabelOf());

struct HeldTarget {
  const char* label;
  win::DWORD access;
  win::DWORD share;
};

class MoveOntoHeldTargetTest : public ContractTest,
                               public ::testing::WithParamInterface<HeldTarget> {};

// The file system replaces no file that is open, whatever the open's share mode or access.
TEST_P(MoveOntoHeldTargetTest, IsDeniedAndChangesNothing) {
  ASSERT_TRUE(MakeFile(In(u"src"), "source"));
  ASSERT_TRUE(MakeFile(In(u"dst"), "target"));
  {
    auto held = Open(In(u"dst"), GetParam().access, GetParam().share);
    ASSERT_TRUE(held);
    win::SetLastError(kUnset);
    EXPECT_FALSE(
        win::MoveFileExW(In(u"src").c_str(), In(u"dst").c_str(), win::MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(ReadAll(In(u"src")), "source");
  EXPECT_EQ(ReadAll(In(u"dst")), "target");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MoveOntoHeldTargetTest,
    ::testing::Values(HeldTarget{"WithoutShareDelete", win::GENERIC_READ,
                                 win::FILE_SHARE_READ | win::FILE_SHARE_WRITE},
                      HeldTarget{"WithShareDelete", win::GENERIC_READ, kShareAll},
                      HeldTarget{"Exclusively", win::GENERIC_READ, 0},
                      HeldTarget{"ForAttributesOnly", win::FILE_READ_ATTRIBUTES, 0}),
    LabelOf());

TEST_F(ContractTest, MoveOfAFileOpenWithoutShareDeleteIsASharingViolation) {
  ASSERT_TRUE(MakeFile(In(u"f")));
  auto held = Open(In(u"f"), win::GENERIC_READ, win::FILE_SHARE_READ);
  ASSERT_TRUE(held);
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::MoveFileExW(In(u"f").c_str(), In(u"g").c_str(), 0));
  EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(Exists(In(u"g")));
}

// ---- CreateFileW, ReadFile, WriteFile ----

struct Disposition {
  const char* label;
  win::DWORD disposition;
  bool exists;
  bool opens;
  win::DWORD error;          // after the call, success or not
  const char* contentAfter;  // nullptr: no file afterwards
};

class DispositionTest : public ContractTest, public ::testing::WithParamInterface<Disposition> {};

TEST_P(DispositionTest, OpensCreatesOrFailsAsWindowsDoes) {
  const auto& c = GetParam();
  if (c.exists) {
    ASSERT_TRUE(MakeFile(In(u"f"), "old"));
  }
  win::SetLastError(kUnset);
  {
    auto file = Open(In(u"f"), win::GENERIC_READ | win::GENERIC_WRITE, 0, c.disposition);
    EXPECT_EQ(static_cast<bool>(file), c.opens);
    EXPECT_EQ(win::GetLastError(), c.error);
  }
  if (c.contentAfter == nullptr) {
    EXPECT_FALSE(Exists(In(u"f")));
  } else {
    EXPECT_EQ(ReadAll(In(u"f")), c.contentAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DispositionTest,
    ::testing::Values(Disposition{"CreateNewFresh", win::CREATE_NEW, false, true, 0, ""},
                      Disposition{"CreateNewExisting", win::CREATE_NEW, true, false,
                                  win::ERROR_FILE_EXISTS, "old"},
                      Disposition{"CreateAlwaysFresh", win::CREATE_ALWAYS, false, true, 0, ""},
                      Disposition{"CreateAlwaysExisting", win::CREATE_ALWAYS, true, true,
                                  win::ERROR_ALREADY_EXISTS, ""},
                      Disposition{"OpenExistingFresh", win::OPEN_EXISTING, false, false,
                                  win::ERROR_FILE_NOT_FOUND, nullptr},
                      Disposition{"OpenExistingExisting", win::OPEN_EXISTING, true, true, 0, "old"},
                      Disposition{"OpenAlwaysFresh", win::OPEN_ALWAYS, false, true, 0, ""},
                      Disposition{"OpenAlwaysExisting", win::OPEN_ALWAYS, true, true,
                                  win::ERROR_ALREADY_EXISTS, "old"},
                      Disposition{"TruncateFresh", win::TRUNCATE_EXISTING, false, false,
                                  win::ERROR_FILE_NOT_FOUND, nullptr},
                      Disposition{"TruncateExisting", win::TRUNCATE_EXISTING, true, true, 0, ""},
                      Disposition{"InvalidDisposition", 9, true, false,
                                  win::ERROR_INVALID_PARAMETER, "old"}),
    LabelOf());

TEST_F(ContractTest, ReadAndWriteMoveTheFilePosition) {
  auto file = Open(In(u"f"), win::GENERIC_READ | win::GENERIC_WRITE, 0, win::CREATE_NEW);
  ASSERT_TRUE(file);
  win::DWORD written = 0;
  ASSERT_TRUE(win::WriteFile(file.Get(), "abc", 3, &written, nullptr));
  ASSERT_TRUE(win::WriteFile(file.Get(), "de", 2, &written, nullptr));
  EXPECT_EQ(written, 2u);
  char buffer[8] = {};
  win::DWORD read = 99;
  win::SetLastError(kUnset);
  EXPECT_TRUE(win::ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u) << "the position is at the end after writing";
  EXPECT_EQ(win::GetLastError(), kUnset);
  file.Reset();
  EXPECT_EQ(ReadAll(In(u"f")), "abcde");
  EXPECT_EQ(Info(In(u"f")).nFileSizeLow, 5u);
}

// The list is flushed before it replaces the old one; flushing takes the right to write.
TEST_F(ContractTest, FlushNeedsWriteAccess) {
  ASSERT_TRUE(MakeFile(In(u"f")));
  auto writable = Open(In(u"f"), win::GENERIC_WRITE, 0, win::OPEN_EXISTING);
  ASSERT_TRUE(writable);
  win::SetLastError(kUnset);
  EXPECT_NE(win::FlushFileBuffers(writable.Get()), win::FALSE);
  EXPECT_EQ(win::GetLastError(), kUnset);
  writable.Reset();
  auto readable = Open(In(u"f"), win::GENERIC_READ, 0, win::OPEN_EXISTING);
  ASSERT_TRUE(readable);
  EXPECT_EQ(win::FlushFileBuffers(readable.Get()), win::FALSE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  // The volume itself, as an administrator opens it to write out what the service made there.
  auto volume = Open(u"\\\\.\\" + In(u"").substr(0, 2), win::GENERIC_READ | win::GENERIC_WRITE,
                     win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING);
  ASSERT_TRUE(volume);
  TODO_WINE("Wine 8: a volume's flush is ERROR_INVALID_FUNCTION") {
    EXPECT_NE(win::FlushFileBuffers(volume.Get()), win::FALSE) << win::GetLastError();
  }
}

// The link list reader bounds every count and length by the size of the open file.
TEST_F(ContractTest, FileSizeIsTheBytesWrittenWhateverThePosition) {
  ASSERT_TRUE(MakeFile(In(u"sized"), "twelve bytes"));
  auto file = Open(In(u"sized"), win::GENERIC_READ, 0, win::OPEN_EXISTING);
  ASSERT_TRUE(file);
  char buffer[4];
  win::DWORD read = 0;
  ASSERT_TRUE(win::ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr));
  std::int64_t size = -1;
  EXPECT_TRUE(win::GetFileSizeEx(file.Get(), &size));
  EXPECT_EQ(size, 12);

  win::SetLastError(kUnset);
  EXPECT_FALSE(win::GetFileSizeEx(win::INVALID_HANDLE_VALUE, &size));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

TEST_F(ContractTest, ReadWithoutReadAccessAndWriteWithoutWriteAccessAreDenied) {
  ASSERT_TRUE(MakeFile(In(u"f"), "abc"));
  char buffer[4];
  win::DWORD count = 7;
  {
    auto file = Open(In(u"f"), win::GENERIC_WRITE, 0);
    ASSERT_TRUE(file);
    win::SetLastError(kUnset);
    EXPECT_FALSE(win::ReadFile(file.Get(), buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(count, 0u);
  }
  {
    auto file = Open(In(u"f"), win::GENERIC_READ, 0);
    ASSERT_TRUE(file);
    win::SetLastError(kUnset);
    EXPECT_FALSE(win::WriteFile(file.Get(), "zz", 2, &count, nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(ReadAll(In(u"f")), "abc");
}

struct ShareCase {
  const char* label;
  win::DWORD firstAccess, firstShare, secondAccess, secondShare;
  bool secondOpens;
};

class ShareModeTest : public ContractTest, public ::testing::WithParamInterface<ShareCase> {};

TEST_P(ShareModeTest, SecondOpenFollowsTheShareRules) {
  const auto& c = GetParam();
  ASSERT_TRUE(MakeFile(In(u"f")));
  auto first = Open(In(u"f"), c.firstAccess, c.firstShare);
  ASSERT_TRUE(first);
  win::SetLastError(kUnset);
  auto second = Open(In(u"f"), c.secondAccess, c.secondShare);
  EXPECT_EQ(static_cast<bool>(second), c.secondOpens);
  EXPECT_EQ(win::GetLastError(), c.secondOpens ? 0u : win::ERROR_SHARING_VIOLATION);
}

constexpr win::DWORD R = win::GENERIC_READ;
constexpr win::DWORD W = win::GENERIC_WRITE;
constexpr win::DWORD SR = win::FILE_SHARE_READ;
constexpr win::DWORD SW = win::FILE_SHARE_WRITE;

INSTANTIATE_TEST_SUITE_P(
    Cases, ShareModeTest,
    ::testing::Values(
        ShareCase{"ExclusiveBlocksRead", R, 0, R, kShareAll, false},
        ShareCase{"ExclusiveBlocksWrite", W, 0, W, kShareAll, false},
        ShareCase{"SharedReadAdmitsRead", R, SR, R, SR, true},
        ShareCase{"SharedReadRefusesWrite", R, SR, W, kShareAll, false},
        ShareCase{"SecondMustShareTheFirstsRead", R, SR, R, SW, false},
        ShareCase{"WriterNeedsShareWrite", W, SR, R, SR, false},
        ShareCase{"WriterWithShareWrite", W, SR, R, SR | SW, true},
        ShareCase{"DeleteNeedsShareDelete", R, SR | SW, win::DELETE, kShareAll, false},
        ShareCase{"DeleteShared", R, kShareAll, win::DELETE, kShareAll, true},
        ShareCase{"AttributeOnlyOpenPassesAnExclusiveOne", R, 0, win::FILE_READ_ATTRIBUTES, 0,
                  true},
        ShareCase{"AttributeOnlyOpenClaimsNothing", win::FILE_READ_ATTRIBUTES, 0, R, 0, true}),
    LabelOf());

TEST_F(ContractTest, DirectoryOpensNeedBackupSemantics) {
  ASSERT_TRUE(win::CreateDirectoryW(In(u"d").c_str(), nullptr));
  win::SetLastError(kUnset);
  EXPECT_FALSE(Open(In(u"d"), R, kShareAll));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  win::SetLastError(kUnset);
  auto dir = Open(In(u"d"), R, kShareAll, win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS);
  EXPECT_TRUE(dir);
  EXPECT_EQ(win::GetLastError(), 0u);
  win::BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(win::GetFileInformationByHandle(dir.Get(), &info));
  EXPECT_EQ(info.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY, win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(info.dwVolumeSerialNumber, Info(In(u"")).dwVolumeSerialNumber);
}

TEST_F(ContractTest, ExclusiveDirectoryOpenForReparseWorkRefusesOtherDataOpens) {
  ASSERT_TRUE(win::CreateDirectoryW(In(u"d").c_str(), nullptr));
  auto dir = Open(In(u"d"), R | W, 0, win::OPEN_EXISTING,
                  win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_TRUE(dir);
  win::SetLastError(kUnset);
  EXPECT_FALSE(Open(In(u"d"), R, kShareAll, win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS));
  EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::RemoveDirectoryW(In(u"d").c_str()));
  EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
  // A plain directory is no reparse point.
  std::uint8_t buffer[64];
  win::DWORD returned = 0;
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DeviceIoControl(dir.Get(), win::FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer,
                                    sizeof buffer, &returned, nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_A_REPARSE_POINT);
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DeviceIoControl(dir.Get(), 0x00012345, nullptr, 0, buffer, sizeof buffer,
                                    &returned, nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_FUNCTION);
}

// A mount-point record for `target` (an NT path such as \??\C:\x).
std::vector<std::uint8_t> MountPointRecord(const std::u16string& target) {
  std::vector<std::uint8_t> record(reparse::MountPointSize(target.size()));
  reparse::WriteMountPoint(record.data(), target);
  return record;
}

TEST_F(ContractTest, JunctionSetGetAndDelete) {
  ASSERT_TRUE(win::CreateDirectoryW(In(u"target").c_str(), nullptr));
  ASSERT_TRUE(MakeFile(In(u"target\\inside"), "reached"));
  ASSERT_TRUE(win::CreateDirectoryW(In(u"link").c_str(), nullptr));
  const auto record = MountPointRecord(u"\\??\\" + In(u"target"));
  if (OnWine()) {
    // The measured gap: both control codes are refused, and the directory stays plain.
    auto dir = Open(In(u"link"), W, 0, win::OPEN_EXISTING,
                    win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT);
    ASSERT_TRUE(dir);
    win::DWORD returned = 0;
    auto header = reparse::RemovalHeader(win::IO_REPARSE_TAG_MOUNT_POINT);
    win::SetLastError(kUnset);
    EXPECT_FALSE(win::DeviceIoControl(
        dir.Get(), win::FSCTL_SET_REPARSE_POINT, const_cast<std::uint8_t*>(record.data()),
        static_cast<win::DWORD>(record.size()), nullptr, 0, &returned, nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_SUPPORTED);
    win::SetLastError(kUnset);
    EXPECT_FALSE(win::DeviceIoControl(dir.Get(), win::FSCTL_DELETE_REPARSE_POINT, header.data(),
                                      static_cast<win::DWORD>(header.size()), nullptr, 0, &returned,
                                      nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_SUPPORTED);
    GTEST_SKIP() << "Wine 8: FSCTL_SET/DELETE_REPARSE_POINT fail with ERROR_NOT_SUPPORTED";
  }
  DocumentedNotMeasured();
  {
    auto dir = Open(In(u"link"), W, 0, win::OPEN_EXISTING,
                    win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT);
    ASSERT_TRUE(dir);
    win::DWORD returned = 0;
    ASSERT_TRUE(win::DeviceIoControl(
        dir.Get(), win::FSCTL_SET_REPARSE_POINT, const_cast<std::uint8_t*>(record.data()),
        static_cast<win::DWORD>(record.size()), nullptr, 0, &returned, nullptr));
    std::vector<std::uint8_t> back(win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    ASSERT_TRUE(win::DeviceIoControl(dir.Get(), win::FSCTL_GET_REPARSE_POINT, nullptr, 0,
                                     back.data(), static_cast<win::DWORD>(back.size()), &returned,
                                     nullptr));
    back.resize(returned);
    EXPECT_EQ(back, record);
  }
  EXPECT_EQ(win::GetFileAttributesW(In(u"link").c_str()),
            win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(ReadAll(In(u"link\\inside")), "reached");
  {
    auto dir = Open(In(u"link"), W, 0, win::OPEN_EXISTING,
                    win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT);
    ASSERT_TRUE(dir);
    auto header = reparse::RemovalHeader(win::IO_REPARSE_TAG_MOUNT_POINT);
    win::DWORD returned = 0;
    ASSERT_TRUE(win::DeviceIoControl(dir.Get(), win::FSCTL_DELETE_REPARSE_POINT, header.data(),
                                     static_cast<win::DWORD>(header.size()), nullptr, 0, &returned,
                                     nullptr));
  }
  EXPECT_EQ(win::GetFileAttributesW(In(u"link").c_str()), win::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(Exists(In(u"link\\inside")));
  EXPECT_TRUE(Exists(In(u"target\\inside")));
}

// ---- FindFirstFileW ----

std::vector<std::u16string> FindAll(const std::u16string& pattern, win::DWORD& error) {
  std::vector<std::u16string> names;
  win::WIN32_FIND_DATAW data{};
  win::SetLastError(kUnset);
  win::UniqueFind find(win::FindFirstFileW(pattern.c_str(), &data));
  error = win::GetLastError();
  if (!find) return names;
  do names.emplace_back(data.cFileName);
  while (win::FindNextFileW(find.Get(), &data));
  error = win::GetLastError();
  std::sort(names.begin(), names.end());
  return names;
}

struct FindCase {
  const char* label;
  const char16_t* pattern;
  std::vector<std::u16string> names;  // sorted
  win::DWORD error;                   // after the last call
};

class FindTest : public ContractTest, public ::testing::WithParamInterface<FindCase> {};

TEST_P(FindTest, FindsWhatWindowsFinds) {
  const auto& c = GetParam();
  ASSERT_TRUE(MakeFile(In(u"Alpha.txt")));
  ASSERT_TRUE(MakeFile(In(u"beta.TXT")));
  ASSERT_TRUE(MakeFile(In(u"gamma")));
  ASSERT_TRUE(win::CreateDirectoryW(In(u"Sub").c_str(), nullptr));
  win::DWORD error = 0;
  EXPECT_EQ(FindAll(In(c.pattern), error), c.names);
  EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindTest,
    ::testing::Values(FindCase{"Star",
                               u"*",
                               {u".", u"..", u"Alpha.txt", u"Sub", u"beta.TXT", u"gamma"},
                               win::ERROR_NO_MORE_FILES},
                      FindCase{"StarDotStar",
                               u"*.*",
                               {u".", u"..", u"Alpha.txt", u"Sub", u"beta.TXT", u"gamma"},
                               win::ERROR_NO_MORE_FILES},
                      FindCase{"ExtensionIgnoresCase",
                               u"*.txt",
                               {u"Alpha.txt", u"beta.TXT"},
                               win::ERROR_NO_MORE_FILES},
                      FindCase{"QuestionMark", u"?eta.*", {u"beta.TXT"}, win::ERROR_NO_MORE_FILES},
                      FindCase{"PlainNameGivesStoredCase",
                               u"ALPHA.TXT",
                               {u"Alpha.txt"},
                               win::ERROR_NO_MORE_FILES},
                      FindCase{"PlainDirectoryName", u"sub", {u"Sub"}, win::ERROR_NO_MORE_FILES},
                      FindCase{"NoMatch", u"zzz*", {}, win::ERROR_FILE_NOT_FOUND},
                      FindCase{"MissingName", u"missing", {}, win::ERROR_FILE_NOT_FOUND},
                      FindCase{"TrailingSeparator", u"Sub\\", {}, win::ERROR_FILE_NOT_FOUND},
                      FindCase{"MissingDirectory", u"nodir\\*", {}, win::ERROR_PATH_NOT_FOUND}),
    LabelOf());

TEST_F(ContractTest, FindOfADriveRootFindsNothing) {
  win::DWORD error = 0;
  EXPECT_TRUE(FindAll(u"C:\\", error).empty());
  EXPECT_EQ(error, win::ERROR_FILE_NOT_FOUND);
}

TEST_F(ContractTest, FindReportsAttributesAndSize) {
  ASSERT_TRUE(MakeFile(In(u"f"), "12345"));
  win::WIN32_FIND_DATAW data{};
  win::UniqueFind find(win::FindFirstFileW(In(u"f").c_str(), &data));
  ASSERT_TRUE(find);
  EXPECT_EQ(data.nFileSizeLow, 5u);
  EXPECT_EQ(data.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY, 0u);
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::FindNextFileW(find.Get(), &data));
  EXPECT_EQ(win::GetLastError(), win::ERROR_NO_MORE_FILES);
}

TEST_F(ContractTest, FindCloseOfAnInvalidHandleFails) {
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::FindClose(win::INVALID_HANDLE_VALUE));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

// ---- \\?\ and \??\ paths ----

class PrefixedPathTest : public ContractTest,
                         public ::testing::WithParamInterface<const char16_t*> {
 protected:
  std::u16string P(std::u16string_view name) const { return GetParam() + In(name); }
};

// Both prefixes hand the rest of the path to the object manager as it is.
TEST_P(PrefixedPathTest, FileFunctionsTakeThePath) {
  win::SetLastError(kUnset);
  {
    auto file = Open(P(u"f"), W, 0, win::CREATE_NEW);
    ASSERT_TRUE(file) << win::GetLastError();
    win::DWORD written = 0;
    ASSERT_TRUE(win::WriteFile(file.Get(), "abc", 3, &written, nullptr));
  }
  EXPECT_EQ(ReadAll(In(u"f")), "abc");
  EXPECT_EQ(win::GetFileAttributesW(P(u"f").c_str()), win::FILE_ATTRIBUTE_ARCHIVE);
  win::DWORD error = 0;
  EXPECT_EQ(FindAll(P(u"*"), error), (std::vector<std::u16string>{u".", u"..", u"f"}));
  EXPECT_EQ(error, win::ERROR_NO_MORE_FILES);
  EXPECT_TRUE(MakeHardLink(P(u"g"), P(u"f")));
  EXPECT_EQ(Info(In(u"f")).nNumberOfLinks, 2u);
  EXPECT_TRUE(win::MoveFileExW(P(u"g").c_str(), P(u"h").c_str(), 0));
  EXPECT_EQ(ReadAll(In(u"h")), "abc");
  EXPECT_TRUE(win::DeleteFileW(P(u"h").c_str()));
  EXPECT_FALSE(Exists(In(u"h")));
  EXPECT_TRUE(win::CreateDirectoryW(P(u"d").c_str(), nullptr));
  EXPECT_TRUE(win::RemoveDirectoryW(P(u"d").c_str()));
  win::SetLastError(kUnset);
  EXPECT_EQ(win::GetFileAttributesW(P(u"missing").c_str()), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(Prefixes, PrefixedPathTest, ::testing::Values(u"\\\\?\\", u"\\??\\"),
                         [](const ::testing::TestParamInfo<const char16_t*>& prefix) {
                           return std::string(prefix.param[1] == u'\\' ? "Verbatim" : "Nt");
                         });

// ---- Deleting an open file ----

// DeleteFileW of a file that is still open. Windows 7 (the oldest system the programs run on),
// Wine and file systems other than NTFS keep the name, delete pending, until the last handle of
// the file closes; meanwhile it cannot be opened, reused or deleted again. Windows 10 (1809 on)
// deletes with POSIX semantics on NTFS: the name goes at once and is free for a new file. Either
// way the open handle goes on reading the file. The case learns which the volume has from
// whether the name is still found, and holds it to all of that one; the simulation runs both.
TEST_F(ContractTest, DeleteOfAnOpenFileLeavesTheNamePendingOrFreesItAtOnce) {
  for (const bool chosen : {false, true}) {
    const bool choosable = contract::ChooseDeleteSemantics(chosen);
    if (chosen && !choosable) break;  // the system's own were measured in the first pass
    const std::u16string dir = In(chosen ? u"posix" : u"classic");
    SCOPED_TRACE(Narrow(dir));
    ASSERT_TRUE(win::CreateDirectoryW(dir.c_str(), nullptr));
    const std::u16string f = dir + u"\\f";
    const std::u16string other = dir + u"\\other";
    ASSERT_TRUE(MakeFile(f, "pending"));
    ASSERT_TRUE(MakeFile(other, "other"));
    auto held = Open(f, R, kShareAll);
    ASSERT_TRUE(held);
    win::SetLastError(kUnset);
    EXPECT_TRUE(win::DeleteFileW(f.c_str()));
    win::DWORD error = 0;
    const bool posix = FindAll(f, error).empty();
    if (choosable) {
      EXPECT_EQ(posix, chosen);
    }
    DocumentedNotMeasured();
    char data[16] = {};
    win::DWORD read = 0;
    EXPECT_TRUE(win::ReadFile(held.Get(), data, sizeof data, &read, nullptr));
    EXPECT_EQ(std::string(data, read), "pending");

    if (posix) {
      EXPECT_EQ(error, win::ERROR_FILE_NOT_FOUND);
      win::SetLastError(kUnset);
      EXPECT_FALSE(Open(f, R, kShareAll));
      EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
      win::SetLastError(kUnset);
      EXPECT_FALSE(win::DeleteFileW(f.c_str()));
      EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
      EXPECT_TRUE(MakeFile(f, "new"));
    } else {
      win::SetLastError(kUnset);
      EXPECT_FALSE(MakeHardLink(f, other));
      EXPECT_EQ(win::GetLastError(), win::ERROR_ALREADY_EXISTS);
      win::SetLastError(kUnset);
      EXPECT_FALSE(win::MoveFileExW(other.c_str(), f.c_str(), win::MOVEFILE_REPLACE_EXISTING));
      EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);

      auto denied = [](const char* what, bool ok) {
        EXPECT_FALSE(ok) << what;
        EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED) << what;
      };
      TODO_WINE("Wine 8: a delete-pending name still opens (Windows: ERROR_ACCESS_DENIED)") {
        win::SetLastError(kUnset);
        denied("open", static_cast<bool>(Open(f, R, kShareAll)));
        win::SetLastError(kUnset);
        denied("create new", static_cast<bool>(Open(f, W, kShareAll, win::CREATE_NEW)));
        win::SetLastError(kUnset);
        denied("create always", static_cast<bool>(Open(f, W, kShareAll, win::CREATE_ALWAYS)));
        win::SetLastError(kUnset);
        denied("attributes", win::GetFileAttributesW(f.c_str()) != win::INVALID_FILE_ATTRIBUTES);
        win::SetLastError(kUnset);
        denied("delete again", win::DeleteFileW(f.c_str()) != 0);
        win::SetLastError(kUnset);
        denied("link to it", MakeHardLink(dir + u"\\g", f));
      }
    }

    // The last close frees a pending name; a new file of the name freed at once is left alone.
    held.Reset();
    if (!posix) {
      EXPECT_FALSE(Exists(f));
      EXPECT_TRUE(MakeFile(f, "new"));
    }
    EXPECT_EQ(ReadAll(f), "new");
    EXPECT_EQ(ReadAll(other), "other");

    // RemoveDirectoryW of a folder still open deletes the same way.
    const std::u16string sub = dir + u"\\sub";
    ASSERT_TRUE(win::CreateDirectoryW(sub.c_str(), nullptr));
    auto listing = Open(sub, R, kShareAll, win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_TRUE(listing);
    EXPECT_TRUE(win::RemoveDirectoryW(sub.c_str()));
    EXPECT_EQ(FindAll(sub, error).empty(), posix);
    listing.Reset();
    EXPECT_FALSE(Exists(sub));
  }
}

// ---- Case folding ----

struct FoldCase {
  const char* label;
  const char16_t* created;
  const char16_t* looked;
  bool same;
};

class FileNameFoldTest : public ContractTest, public ::testing::WithParamInterface<FoldCase> {};

TEST_P(FileNameFoldTest, FoldsAsTheUpcaseTable) {
  ASSERT_TRUE(MakeFile(In(GetParam().created)));
  win::SetLastError(kUnset);
  const win::DWORD attributes = win::GetFileAttributesW(In(GetParam().looked).c_str());
  if (GetParam().same) {
    EXPECT_NE(attributes, win::INVALID_FILE_ATTRIBUTES);
  } else {
    EXPECT_EQ(attributes, win::INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileNameFoldTest,
    ::testing::Values(FoldCase{"LatinOne", u"\u00C9t\u00E9", u"\u00E9T\u00C9", true},
                      FoldCase{"YWithDiaeresis", u"\u00FF", u"\u0178", true},
                      FoldCase{"LatinExtendedA", u"\u0101\u0142\u017E", u"\u0100\u0141\u017D",
                               true},
                      FoldCase{"Greek", u"\u03C3\u03AC\u03C9", u"\u03A3\u0386\u03A9", true},
                      FoldCase{"Cyrillic", u"\u0434\u0451\u044F", u"\u0414\u0401\u042F", true},
                      FoldCase{"DotlessIIsNotI", u"\u0131", u"I", false},
                      FoldCase{"SharpSIsNotSS", u"\u00DF", u"SS", false}),
    LabelOf());

// ---- GetFullPathNameW and the current directory ----

struct FullPathCase {
  const char* label;
  const char16_t* input;     // "~" stands for the scratch directory
  const char16_t* expected;  // "~" likewise
  const char16_t* filePart;  // nullptr: no file part
  const char16_t* onWine;    // what Wine 8 answers where it differs (a known gap), else nullptr
};

std::u16string Expand(std::u16string_view text, const std::u16string& dir) {
  std::u16string out;
  for (char16_t c : text) {
    if (c == u'~') {
      out += dir;
    } else {
      out += c;
    }
  }
  return out;
}

// Runs its cases from the scratch directory's "sub", and goes back where it was before the
// scratch directory is removed.
class InSubdirectoryTest : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    win::WCHAR saved[512];
    const win::DWORD length = win::GetFullPathNameW(u".", 512, saved, nullptr);
    ASSERT_TRUE(length > 0 && length < 512);
    saved_.assign(saved, length);
    ASSERT_TRUE(win::CreateDirectoryW(In(u"sub").c_str(), nullptr));
    ASSERT_TRUE(contract::ChangeCurrentDirectory(In(u"sub")));
  }
  void TearDown() override {
    if (!saved_.empty()) contract::ChangeCurrentDirectory(saved_);
    ContractTest::TearDown();
  }
  std::u16string saved_;
};

class FullPathTest : public InSubdirectoryTest,
                     public ::testing::WithParamInterface<FullPathCase> {};

TEST_P(FullPathTest, ResolvesAsWindowsDoes) {
  const auto& c = GetParam();
  const std::u16string input = Expand(c.input, Dir());
  const std::u16string expected = Expand(c.expected, Dir());
  win::WCHAR buffer[512];
  win::LPWSTR part = nullptr;
  win::SetLastError(kUnset);
  const win::DWORD length = win::GetFullPathNameW(input.c_str(), 512, buffer, &part);
  EXPECT_EQ(win::GetLastError(), kUnset);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, 512u);
  TODO_WINE_IF(c.onWine != nullptr, "Wine 8: normalises this form differently") {
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(std::u16string(buffer), expected) << Narrow(buffer);
    if (c.filePart == nullptr) {
      EXPECT_EQ(part, nullptr);
    } else if (part == nullptr) {
      ADD_FAILURE() << "no file part";
    } else {
      EXPECT_EQ(std::u16string(part), c.filePart);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FullPathTest,
    ::testing::Values(
        FullPathCase{"Relative", u"a\\b", u"~\\sub\\a\\b", u"b", nullptr},
        FullPathCase{"Dot", u".", u"~\\sub", u"sub", nullptr},
        FullPathCase{"DotDot", u"..\\x", u"~\\x", u"x", nullptr},
        FullPathCase{"ForwardSlashes", u"C:/a/b/./c", u"C:\\a\\b\\c", u"c", nullptr},
        FullPathCase{"Collapse", u"C:\\a\\b\\..\\c", u"C:\\a\\c", u"c", nullptr},
        FullPathCase{"AboveTheRoot", u"C:\\a\\..\\..\\..", u"C:\\", nullptr, nullptr},
        FullPathCase{"TrailingSeparatorKept", u"C:\\a\\", u"C:\\a\\", nullptr, nullptr},
        FullPathCase{"TrailingDotsAndSpaces", u"C:\\a\\b. . ", u"C:\\a\\b", u"b", nullptr},
        FullPathCase{"InnerSingleDot", u"C:\\a\\b.\\c", u"C:\\a\\b\\c", u"c", nullptr},
        FullPathCase{"RootRelative", u"\\x\\y", u"C:\\x\\y", u"y", nullptr},
        FullPathCase{"DriveRelativeOtherDrive", u"D:rel", u"D:\\rel", u"rel", nullptr},
        FullPathCase{"DriveRelativeSameDrive", u"C:rel", u"~\\sub\\rel", u"rel", nullptr},
        FullPathCase{"Unc", u"\\\\server\\share\\x\\..\\..\\y", u"\\\\server\\share\\y", u"y",
                     nullptr},
        FullPathCase{"VerbatimUnchanged", u"\\\\?\\C:\\a\\..\\b", u"\\\\?\\C:\\a\\..\\b", u"b",
                     u"\\\\?\\C:\\b"},
        // \??\ is no prefix to GetFullPathNameW: a path from the root of the current drive.
        FullPathCase{"NtPrefixIsRootRelative", u"\\??\\C:\\a\\..\\b", u"C:\\??\\C:\\b", u"b",
                     nullptr}),
    LabelOf());

TEST_F(ContractTest, FullPathBufferTooSmallAsksForTheSizeAndLeavesTheBuffer) {
  win::WCHAR buffer[8] = {u'Z', u'Z', u'Z', u'\0'};
  win::SetLastError(kUnset);
  EXPECT_EQ(win::GetFullPathNameW(u"C:\\abc", 6, buffer, nullptr), 7u);
  EXPECT_EQ(std::u16string(buffer), u"ZZZ");
  EXPECT_EQ(win::GetFullPathNameW(u"C:\\abc", 0, nullptr, nullptr), 7u);
  EXPECT_EQ(win::GetFullPathNameW(u"C:\\abc", 7, buffer, nullptr), 6u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\abc");
  EXPECT_EQ(win::GetLastError(), kUnset);
}

TEST_F(ContractTest, FullPathOfAnEmptyNameFails) {
  win::WCHAR buffer[16];
  win::SetLastError(kUnset);
  EXPECT_EQ(win::GetFullPathNameW(u"", 16, buffer, nullptr), 0u);
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: returns 0 but leaves the last-error code unset") {
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_NAME);
  }
}

// The programs may hand a relative name on as it was given.
TEST_F(InSubdirectoryTest, RelativeNamesAreFoundInTheCurrentDirectory) {
  ASSERT_TRUE(MakeFile(In(u"sub\\file"), "in sub"));
  ASSERT_TRUE(MakeFile(In(u"file"), "beside sub"));
  EXPECT_EQ(ReadAll(u"file"), "in sub");
  EXPECT_EQ(ReadAll(u"..\\file"), "beside sub");
  win::WIN32_FIND_DATAW data{};
  win::UniqueFind find(win::FindFirstFileW(u"fil?", &data));
  ASSERT_TRUE(find) << win::GetLastError();
  EXPECT_EQ(std::u16string(data.cFileName), u"file");
  EXPECT_FALSE(win::FindNextFileW(find.Get(), &data));
}

// ---- Long and network paths ----

TEST_F(ContractTest, PathsOfMaxPathOrMoreAreRefused) {
  std::u16string name = Dir() + u"\\";
  name.append(win::MAX_PATH - name.size(), u'n');
  ASSERT_EQ(name.size(), win::MAX_PATH);
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: has no MAX_PATH limit on file paths") {
    win::SetLastError(kUnset);
    EXPECT_FALSE(Open(name, W, 0, win::CREATE_ALWAYS));
    EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);
    win::SetLastError(kUnset);
    EXPECT_FALSE(win::CreateDirectoryW(name.c_str(), nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);
    win::SetLastError(kUnset);
    EXPECT_EQ(win::GetFileAttributesW(name.c_str()), win::INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(win::GetLastError(), win::ERROR_PATH_NOT_FOUND);
  }
}

TEST_F(ContractTest, UncPathsWithoutAShareFailAsBadNetPath) {
  win::SetLastError(kUnset);
  EXPECT_FALSE(Open(u"\\\\server\\share\\x", R, 0));
  const win::DWORD error = win::GetLastError();
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: gives ERROR_PATH_NOT_FOUND (CreateFileW) and ERROR_BAD_DEV_TYPE "
            "(GetFileAttributesW)") {
    EXPECT_EQ(error, win::ERROR_BAD_NETPATH);
  }
}

TEST_F(ContractTest, WildcardsInAFileNameAreInvalid) {
  win::SetLastError(kUnset);
  EXPECT_FALSE(Open(In(u"a*b"), W, 0, win::CREATE_ALWAYS));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_NAME);
  win::SetLastError(kUnset);
  EXPECT_EQ(win::GetFileAttributesW(In(u"a?b").c_str()), win::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_NAME);
}

TEST_F(ContractTest, TrailingDotsAndSpacesNameTheSameFile) {
  ASSERT_TRUE(MakeFile(In(u"f.txt"), "same"));
  EXPECT_EQ(ReadAll(In(u"f.txt.")), "same");
  EXPECT_EQ(ReadAll(In(u"F.TXT  ")), "same");
}

// ---- Volumes ----

TEST_F(ContractTest, VolumeInformationOfC) {
  win::WCHAR fileSystem[16];
  win::WCHAR label[64];
  win::DWORD serial = 0;
  win::DWORD maxComponent = 0;
  win::DWORD flags = 0;
  win::SetLastError(kUnset);
  ASSERT_TRUE(win::GetVolumeInformationW(u"C:\\", label, 64, &serial, &maxComponent, &flags,
                                         fileSystem, 16));
  EXPECT_EQ(win::GetLastError(), kUnset);
  EXPECT_EQ(std::u16string(fileSystem), u"NTFS");
  EXPECT_EQ(maxComponent, 255u);
  EXPECT_EQ(serial, Info(Dir()).dwVolumeSerialNumber);
  EXPECT_NE(flags & win::FILE_CASE_PRESERVED_NAMES, 0u);
  TODO_WINE("Wine 8 reports 0xA: no FILE_UNICODE_ON_DISK, no hard-link flags") {
    EXPECT_NE(flags & win::FILE_UNICODE_ON_DISK, 0u);
    EXPECT_NE(flags & win::FILE_SUPPORTS_HARD_LINKS, 0u);
  }
}

TEST_F(ContractTest, VolumeInformationOfAVerbatimRoot) {
  win::DWORD serial = 0;
  win::SetLastError(kUnset);
  ASSERT_TRUE(win::GetVolumeInformationW(u"\\\\?\\C:\\", nullptr, 0, &serial, nullptr, nullptr,
                                         nullptr, 0));
  EXPECT_EQ(win::GetLastError(), kUnset);
  EXPECT_EQ(serial, Info(Dir()).dwVolumeSerialNumber);
}

struct VolumeFailure {
  const char* label;
  const char16_t* root;  // "~" is the scratch directory
  win::DWORD fileSystemSize;
  win::DWORD error;
};

class VolumeFailureTest : public ContractTest,
                          public ::testing::WithParamInterface<VolumeFailure> {};

TEST_P(VolumeFailureTest, FailsWithTheWindowsCode) {
  const auto& c = GetParam();
  const std::u16string root = Expand(c.root, Dir());
  win::WCHAR fileSystem[16];
  win::DWORD serial = 0;
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr,
                                          fileSystem, c.fileSystemSize));
  EXPECT_EQ(win::GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VolumeFailureTest,
    ::testing::Values(VolumeFailure{"MissingDrive", u"Q:\\", 16, win::ERROR_PATH_NOT_FOUND},
                      VolumeFailure{"NotARoot", u"~\\", 16, win::ERROR_DIR_NOT_ROOT},
                      VolumeFailure{"Empty", u"", 16, win::ERROR_PATH_NOT_FOUND},
                      VolumeFailure{"NameBufferTooSmall", u"C:\\", 2, win::ERROR_BAD_LENGTH},
                      VolumeFailure{"VerbatimNotARoot", u"\\\\?\\~\\", 16, win::ERROR_DIR_NOT_ROOT},
                      VolumeFailure{"VerbatimWithoutSeparator", u"\\\\?\\C:", 16,
                                    win::ERROR_DIR_NOT_ROOT}),
    LabelOf());

// ---- MS-DOS device names ----

std::vector<std::u16string> Query(const char16_t* name, win::DWORD& result) {
  win::WCHAR buffer[1024];
  win::SetLastError(kUnset);
  result = win::QueryDosDeviceW(name, buffer, 1024);
  std::vector<std::u16string> items;
  for (win::DWORD i = 0; i < result && buffer[i] != u'\0';) {
    items.emplace_back(buffer + i);
    i += static_cast<win::DWORD>(items.back().size() + 1);
  }
  return items;
}

// Whether this process runs as LocalSystem, which works in the global set of names alone (the
// Windows runner runs the device-name cases a second time so).
bool RunsAsLocalSystem() {
  win::HANDLE token = nullptr;
  if (!win::OpenProcessToken(win::GetCurrentProcess(), win::TOKEN_QUERY, &token)) return false;
  alignas(8) std::uint8_t buffer[256];
  win::DWORD size = 0;
  const bool read = win::GetTokenInformation(token, win::TokenUser, buffer, sizeof buffer, &size);
  win::CloseHandle(token);
  if (!read) return false;
  // TOKEN_USER begins with a pointer to the user's SID; S-1-5-18 is LocalSystem.
  const std::uint8_t* sid = nullptr;
  std::memcpy(&sid, buffer, sizeof sid);
  static constexpr std::uint8_t kLocalSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  return std::memcmp(sid, kLocalSystem, sizeof kLocalSystem) == 0;
}

class DosDeviceTest : public ContractTest {
 protected:
  void TearDown() override {
    // Never leave a definition behind on a real machine.
    for (int i = 0; i < 4; ++i) {
      win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, kName, nullptr);
      win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, kGlobalName, nullptr);
    }
    ContractTest::TearDown();
  }
  static constexpr const char16_t* kName = u"Q:";
  static constexpr const char16_t* kGlobalName = u"Global\\Q:";
};

TEST_F(DosDeviceTest, DefineQueryAndRemove) {
  win::DWORD result = 0;
  EXPECT_TRUE(Query(kName, result).empty());
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);

  win::SetLastError(kUnset);
  ASSERT_TRUE(win::DefineDosDeviceW(0, kName, Dir().c_str()));
  const std::u16string stored = u"\\??\\" + Dir();
  EXPECT_EQ(Query(u"q:", result), std::vector<std::u16string>{stored});
  EXPECT_EQ(result, stored.size() + 2) << "each entry and the list end with a NUL";

  win::WCHAR small[4];
  win::SetLastError(kUnset);
  EXPECT_EQ(win::QueryDosDeviceW(kName, small, 4), 0u);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);

  win::SetLastError(kUnset);
  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, kName, nullptr));
  EXPECT_TRUE(Query(kName, result).empty());
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);

  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, kName, nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
}

// Windows keeps one global set of names, changed by LocalSystem and through "Global\\", and one
// set for each logon session, searched first. Only the global set stacks; a session may not
// define a name it sees already, as documented ("Defining an MS-DOS Device Name"). Wine 8 has one
// set.
TEST_F(DosDeviceTest, OnlyTheGlobalSetStacks) {
  ASSERT_TRUE(win::DefineDosDeviceW(0, kName, u"C:\\first"));
  win::SetLastError(kUnset);
  const win::BOOL second = win::DefineDosDeviceW(0, kName, u"C:\\second");
  const win::DWORD secondError = win::GetLastError();
  win::DWORD result = 0;
  if (RunsAsLocalSystem()) {
    // The service's own context: its names are the global ones, where a second one stacks.
    DocumentedNotMeasured();
    EXPECT_TRUE(second) << secondError;
    const std::vector<std::u16string> both{u"\\??\\C:\\second", u"\\??\\C:\\first"};
    EXPECT_EQ(Query(kName, result), both);
    EXPECT_EQ(Query(kGlobalName, result), both);
    return;
  }
  const std::vector<std::u16string> first{u"\\??\\C:\\first"};
  if (CurrentBackend() == Backend::Windows) {
    // Not yet seen on Windows: the refusal is documented, but a session's second definition may
    // stack as the global set's do. Either answer passes, and the case's XML says which one this
    // Windows gave (its first run settles it); anything else fails.
    const auto listed = Query(kName, result);
    const bool stacked =
        second && listed == std::vector<std::u16string>{u"\\??\\C:\\second", u"\\??\\C:\\first"};
    const bool refused = !second && secondError == win::ERROR_ALREADY_EXISTS && listed == first;
    RecordProperty("second_session_definition",
                   stacked ? "stacked" : (refused ? "refused with 183" : "neither"));
    ASSERT_TRUE(stacked || refused) << "second definition " << second << ", error " << secondError
                                    << ", " << listed.size() << " listed";
    // The rest is about the global set: the session keeps its first definition alone.
    if (stacked) {
      ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, kName, nullptr));
    }
  } else {
    EXPECT_FALSE(second);
  }
  const auto global = Query(kGlobalName, result);
  win::SetLastError(kUnset);
  const win::BOOL globalSecond = win::DefineDosDeviceW(0, kGlobalName, u"C:\\second");
  const win::DWORD globalError = win::GetLastError();
  EXPECT_EQ(Query(kName, result), first);
  if (OnWine()) {
    EXPECT_EQ(secondError, win::ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(global, first);
    EXPECT_FALSE(globalSecond);
    EXPECT_EQ(globalError, win::ERROR_PATH_NOT_FOUND);
    GTEST_SKIP() << "Wine 8: one set of names, read but not defined through Global\\; a second "
                    "definition fails with ERROR_PATH_NOT_FOUND";
  }
  DocumentedNotMeasured();
  if (CurrentBackend() == Backend::Simulation) {
    EXPECT_EQ(secondError, win::ERROR_ALREADY_EXISTS);
  }
  EXPECT_TRUE(global.empty()) << "a session's name is not in the global set";
  ASSERT_TRUE(globalSecond) << globalError;
  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_RAW_TARGET_PATH, kGlobalName, u"\\??\\C:\\third"));
  EXPECT_EQ(Query(kGlobalName, result),
            (std::vector<std::u16string>{u"\\??\\C:\\third", u"\\??\\C:\\second"}));
  EXPECT_EQ(Query(kName, result), first) << "the session's own name hides the global one";
  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION | win::DDD_EXACT_MATCH_ON_REMOVE,
                                    kGlobalName, u"C:\\second"));
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION | win::DDD_EXACT_MATCH_ON_REMOVE,
                                     kGlobalName, u"C:\\none"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, kName, nullptr));
  EXPECT_EQ(Query(kName, result), std::vector<std::u16string>{u"\\??\\C:\\third"});
}

// A drive's Delete that names its folder names it as the system stores it, raw, and takes off
// that definition only.
TEST_F(DosDeviceTest, ExactRemovalNamesTheStoredDefinition) {
  constexpr win::DWORD kExact =
      win::DDD_REMOVE_DEFINITION | win::DDD_EXACT_MATCH_ON_REMOVE | win::DDD_RAW_TARGET_PATH;
  ASSERT_TRUE(win::DefineDosDeviceW(0, kName, Dir().c_str()));
  const std::u16string stored = u"\\??\\" + Dir();
  win::SetLastError(kUnset);
  const win::BOOL other = win::DefineDosDeviceW(kExact, kName, (stored + u"x").c_str());
  const win::DWORD otherError = win::GetLastError();
  win::DWORD result = 0;
  DocumentedNotMeasured();
  TODO_WINE("Wine 8 ignores DDD_EXACT_MATCH_ON_REMOVE: any removal takes the name off") {
    EXPECT_FALSE(other);
    EXPECT_EQ(otherError, win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(kName, result), std::vector<std::u16string>{stored});
    EXPECT_TRUE(win::DefineDosDeviceW(kExact, kName, stored.c_str()));
  }
  EXPECT_TRUE(Query(kName, result).empty());
}

struct TargetCase {
  const char* label;
  const char16_t* target;
  const char16_t* stored;
};

class DosDeviceTargetTest : public DosDeviceTest,
                            public ::testing::WithParamInterface<TargetCase> {};

// Without DDD_RAW_TARGET_PATH the target is stored as the NT path Windows makes of it.
TEST_P(DosDeviceTargetTest, StoresTheNtPath) {
  win::SetLastError(kUnset);
  ASSERT_TRUE(win::DefineDosDeviceW(0, kName, GetParam().target));
  win::DWORD result = 0;
  EXPECT_EQ(Query(kName, result), std::vector<std::u16string>{GetParam().stored});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DosDeviceTargetTest,
    ::testing::Values(TargetCase{"DrivePath", u"C:\\x", u"\\??\\C:\\x"},
                      TargetCase{"Normalised", u"C:/x/../y/", u"\\??\\C:\\y\\"},
                      TargetCase{"Verbatim", u"\\\\?\\C:\\x", u"\\??\\C:\\x"},
                      TargetCase{"NtPath", u"\\??\\C:\\x", u"\\??\\C:\\x"},
                      TargetCase{"Unc", u"\\\\srv\\sh", u"\\??\\UNC\\srv\\sh"},
                      TargetCase{"VerbatimUnc", u"\\\\?\\UNC\\srv\\sh", u"\\??\\UNC\\srv\\sh"}),
    LabelOf());

// Removing the empty name succeeds under Wine 8 and then breaks every later definition of the
// wineserver's session, so it runs under Wine only in a prefix of its own (ctest's
// contract-empty-device-name, which sets CORVANE_OWN_WINE_PREFIX). Windows is not sent the
// removal at all: neither its documentation nor Wine's conformance tests say what it answers, and
// a removal that broke the device table as Wine's does would fail every later device case of the
// run. The product never sends it (LinkRequest refuses the empty name first).
TEST_F(ContractTest, EmptyDeviceNameIsRefused) {
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DefineDosDeviceW(0, u"", u"C:\\x"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_NAME);
  DocumentedNotMeasured();
  if (CurrentBackend() == Backend::Windows) return;
  if (OnWine() && std::getenv("CORVANE_OWN_WINE_PREFIX") == nullptr) {
    GTEST_SKIP() << "Wine 8: removing the empty name is checked in a prefix of its own";
  }
  win::SetLastError(kUnset);
  const win::BOOL removed = win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"", nullptr);
  const win::DWORD error = win::GetLastError();
  win::SetLastError(kUnset);
  const win::BOOL later = win::DefineDosDeviceW(0, u"Q:", u"C:\\x");
  const win::DWORD laterError = win::GetLastError();
  win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"Q:", nullptr);
  if (OnWine()) {
    EXPECT_TRUE(removed);
    EXPECT_FALSE(later);
    EXPECT_EQ(laterError, win::ERROR_PATH_NOT_FOUND);
    GTEST_SKIP() << "Wine 8: removing the empty name succeeds and breaks every later definition";
  }
  // The simulation's own choice: a program that sends the empty name is seen failing.
  EXPECT_FALSE(removed);
  EXPECT_EQ(error, win::ERROR_INVALID_NAME);
  EXPECT_TRUE(later) << laterError;
}

TEST_F(DosDeviceTest, VolumeDriveLettersAnswerWithADevicePath) {
  win::DWORD result = 0;
  const auto items = Query(u"C:", result);
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items.front().rfind(u"\\Device\\", 0), 0u) << Narrow(items.front());
}

TEST_F(ContractTest, DeviceNamesFoldBeyondAscii) {
  constexpr char16_t kDefined[] = u"Corvane\u00C9";
  ASSERT_TRUE(win::DefineDosDeviceW(0, kDefined, Dir().c_str()));
  win::DWORD result = 0;
  const auto items = Query(u"cORVANE\u00E9", result);
  const win::DWORD error = win::GetLastError();
  const win::BOOL removed =
      win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"corvane\u00E9", nullptr);
  if (!removed) win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, kDefined, nullptr);
  EXPECT_TRUE(removed);
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: QueryDosDeviceW folds no name beyond ASCII (ERROR_FILE_NOT_FOUND)") {
    EXPECT_EQ(items, std::vector<std::u16string>{u"\\??\\" + Dir()}) << error;
  }
}

struct DefineFailure {
  const char* label;
  win::DWORD flags;
  const char16_t* name;
  const char16_t* target;
  win::DWORD error;
};

class DefineFailureTest : public DosDeviceTest,
                          public ::testing::WithParamInterface<DefineFailure> {};

TEST_P(DefineFailureTest, FailsAsWindowsDoes) {
  const auto& c = GetParam();
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::DefineDosDeviceW(c.flags, c.name, c.target));
  EXPECT_EQ(win::GetLastError(), c.error);
  win::DWORD result = 0;
  EXPECT_TRUE(Query(kName, result).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DefineFailureTest,
    ::testing::Values(DefineFailure{"EmptyName", 0, u"", u"C:\\x", win::ERROR_INVALID_NAME},
                      DefineFailure{"NameWithSeparator", 0, u"A\\B", u"C:\\x",
                                    win::ERROR_PATH_NOT_FOUND},
                      DefineFailure{"NoTarget", 0, u"Q:", nullptr, win::ERROR_PATH_NOT_FOUND},
                      DefineFailure{"EmptyTarget", 0, u"Q:", u"", win::ERROR_PATH_NOT_FOUND},
                      DefineFailure{"RemoveUndefined", win::DDD_REMOVE_DEFINITION, u"Q:", nullptr,
                                    win::ERROR_FILE_NOT_FOUND}),
    LabelOf());

// ---- shlwapi ----

struct UncCase {
  const char16_t* path;
  bool unc;
  bool windowsOnly;
};

class PathIsUncTest : public ContractTest, public ::testing::WithParamInterface<UncCase> {};

TEST_P(PathIsUncTest, MatchesShlwapi) {
  const bool unc = win::PathIsUNCW(GetParam().path) != 0;
  DocumentedNotMeasured();
  TODO_WINE_IF(GetParam().windowsOnly, "Wine 8: PathIsUNCW reports every \\\\?\\ path as UNC") {
    EXPECT_EQ(unc, GetParam().unc) << Narrow(GetParam().path);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PathIsUncTest,
                         ::testing::Values(UncCase{u"\\\\server\\share", true, false},
                                           UncCase{u"\\\\server", true, false},
                                           UncCase{u"\\\\?\\UNC\\server\\share", true, false},
                                           UncCase{u"\\\\?\\C:\\x", false, true},
                                           UncCase{u"C:\\x", false, false},
                                           UncCase{u"\\x", false, false},
                                           UncCase{u"x", false, false}));

struct StripCase {
  const char16_t* path;
  const char16_t* root;
  bool result;
};

class StripToRootTest : public ContractTest, public ::testing::WithParamInterface<StripCase> {};

TEST_P(StripToRootTest, MatchesShlwapi) {
  win::WCHAR buffer[64] = {};
  std::u16string_view(GetParam().path).copy(buffer, 63);
  EXPECT_EQ(win::PathStripToRootW(buffer) != 0, GetParam().result) << Narrow(GetParam().path);
  EXPECT_EQ(std::u16string(buffer), GetParam().root);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StripToRootTest,
    ::testing::Values(
        StripCase{u"C:\\a\\b", u"C:\\", true}, StripCase{u"C:\\", u"C:\\", true},
        StripCase{u"C:", u"C:", false}, StripCase{u"C:a", u"C:", false},
        StripCase{u"\\\\server\\share\\x", u"\\\\server\\share", true},
        StripCase{u"\\\\server\\share", u"\\\\server\\share", true},
        StripCase{u"\\a\\b", u"\\", true}, StripCase{u"a\\b", u"", false},
        // The drive stays; FALSE as measured on Wine 8 (Windows does not document it).
        StripCase{u"\\\\?\\C:\\a\\b", u"\\\\?\\C:\\", false}, StripCase{u"", u"", false}));

// ---- Owners and access control lists ----

// A SID from its text, for comparisons; freed with the descriptor it lives in.
win::PSID OwnerOf(std::u16string_view sddl, win::UniqueLocalMemory& holder) {
  win::PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!win::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          std::u16string(sddl).c_str(), win::SDDL_REVISION_1, &descriptor, nullptr)) {
    return nullptr;
  }
  holder.Reset(descriptor);
  // The owner's offset follows the self-relative header's revision and control fields.
  std::uint32_t offset = 0;
  std::memcpy(&offset, static_cast<std::uint8_t*>(descriptor) + 4, sizeof offset);
  return static_cast<std::uint8_t*>(descriptor) + offset;
}

TEST_F(ContractTest, FileMadeWithADescriptorReadsBackItsOwnerAndList) {
  win::PSECURITY_DESCRIPTOR descriptor = nullptr;
  win::ULONG size = 0;
  ASSERT_TRUE(win::ConvertStringSecurityDescriptorToSecurityDescriptorW(
      u"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", win::SDDL_REVISION_1, &descriptor, &size));
  win::UniqueLocalMemory heldDescriptor(descriptor);
  EXPECT_GE(size, 20u);
  win::SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, win::FALSE};
  const std::u16string path = In(u"secured.dat");
  {
    win::UniqueFile made(win::CreateFileW(path.c_str(), win::GENERIC_WRITE, 0, &attributes,
                                          win::CREATE_NEW, win::FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(made) << win::GetLastError();
  }

  win::HANDLE opened = nullptr;
  ASSERT_TRUE(win::OpenProcessToken(win::GetCurrentProcess(), win::TOKEN_QUERY, &opened));
  win::UniqueObject token(opened);
  win::DWORD needed = 0;
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::GetTokenInformation(token.Get(), win::TokenUser, nullptr, 0, &needed));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  std::vector<std::uint8_t> user(needed);
  ASSERT_TRUE(win::GetTokenInformation(token.Get(), win::TokenUser, user.data(), needed, &needed));
  const win::PSID userSid = reinterpret_cast<win::TOKEN_USER*>(user.data())->User.Sid;
  EXPECT_TRUE(win::IsValidSid(userSid));

  // Without READ_CONTROL the descriptor cannot be read.
  win::PSID owner = nullptr;
  win::PACL dacl = nullptr;
  win::PSECURITY_DESCRIPTOR read = nullptr;
  {
    win::UniqueFile attributesOnly = Open(path, win::FILE_READ_ATTRIBUTES, kShareAll);
    ASSERT_TRUE(attributesOnly);
    EXPECT_EQ(win::GetSecurityInfo(attributesOnly.Get(), win::SE_FILE_OBJECT,
                                   win::OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                   nullptr, &read),
              win::ERROR_ACCESS_DENIED);
  }
  win::UniqueFile file = Open(path, win::READ_CONTROL, kShareAll);
  ASSERT_TRUE(file) << win::GetLastError();
  ASSERT_EQ(win::GetSecurityInfo(file.Get(), win::SE_FILE_OBJECT,
                                 win::OWNER_SECURITY_INFORMATION | win::DACL_SECURITY_INFORMATION,
                                 &owner, nullptr, &dacl, nullptr, &read),
            win::ERROR_SUCCESS);
  win::UniqueLocalMemory heldRead(read);
  ASSERT_NE(owner, nullptr);
  ASSERT_NE(dacl, nullptr);
  win::UniqueLocalMemory systemHolder;
  win::UniqueLocalMemory administratorsHolder;
  win::UniqueLocalMemory everyoneHolder;
  const win::PSID system = OwnerOf(u"O:SY", systemHolder);
  const win::PSID administrators = OwnerOf(u"O:BA", administratorsHolder);
  const win::PSID everyone = OwnerOf(u"O:WD", everyoneHolder);
  ASSERT_TRUE(system && administrators && everyone);
  EXPECT_FALSE(win::EqualSid(system, administrators));

  // Nothing the list holds lets everyone in.
  std::vector<std::pair<win::BYTE, win::DWORD>> entries;
  for (win::DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    ASSERT_TRUE(win::GetAce(dacl, i, &entry));
    const auto* ace = static_cast<const win::ACCESS_ALLOWED_ACE*>(entry);
    const auto sid = const_cast<win::DWORD*>(&ace->SidStart);
    EXPECT_FALSE(win::EqualSid(sid, everyone)) << "entry " << i;
    entries.emplace_back(ace->Header.AceType, ace->Mask);
  }
  void* beyond = nullptr;
  win::SetLastError(kUnset);
  EXPECT_FALSE(win::GetAce(dacl, dacl->AceCount, &beyond));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);

  DocumentedNotMeasured();
  // Measured on Wine 8: the owner is the Wine user, the process's own; the list is made from the
  // Unix mode bits: SYSTEM and that user, full control.
  TODO_WINE("Wine 8: a file's owner is the Wine user and its list comes from the mode bits, "
            "whatever descriptor it was made with") {
    EXPECT_TRUE(win::EqualSid(owner, administrators));
    const std::pair<win::BYTE, win::DWORD> fullControl{win::ACCESS_ALLOWED_ACE_TYPE,
                                                       win::FILE_ALL_ACCESS};
    EXPECT_EQ(entries, (std::vector<std::pair<win::BYTE, win::DWORD>>{fullControl, fullControl}));
  }
}

// A machine-wide lock as the front end takes it: a file made with a descriptor for SYSTEM and
// Administrators only, opened for reading with no sharing. A second open is refused while the
// first is held, and succeeds once it is closed. (Under Wine the file reads back as the Wine
// user's, listing SYSTEM and that user: the front end's lock takes it as its own, which the
// end-to-end tests see by its file index.)
TEST_F(ContractTest, UnsharedOpenOfALockFileHoldsItUntilClosed) {
  win::PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(win::ConvertStringSecurityDescriptorToSecurityDescriptorW(
      u"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", win::SDDL_REVISION_1, &descriptor, nullptr));
  win::UniqueLocalMemory heldDescriptor(descriptor);
  win::SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, win::FALSE};
  const std::u16string path = In(u"x.lock");
  const auto take = [&] {
    return win::UniqueFile(win::CreateFileW(path.c_str(), win::GENERIC_READ, 0, &attributes,
                                            win::OPEN_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  win::SetLastError(kUnset);
  win::UniqueFile first = take();
  ASSERT_TRUE(first) << win::GetLastError();
  EXPECT_EQ(win::GetLastError(), 0u);
  win::SetLastError(kUnset);
  EXPECT_FALSE(take());
  EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
  first.Reset();
  win::SetLastError(kUnset);
  EXPECT_TRUE(take());
  EXPECT_EQ(win::GetLastError(), win::ERROR_ALREADY_EXISTS);
}

// ---- Access checks ----

// A SID in its S-1-... form.
std::string SidString(const void* bytes) {
  const auto* sid = static_cast<const std::uint8_t*>(bytes);
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
  std::string text = "S-1-" + std::to_string(authority);
  for (int i = 0; i < sid[1]; ++i) {
    const std::uint8_t* sub = sid + 8 + 4 * i;
    text += "-" + std::to_string(sub[0] | sub[1] << 8 | sub[2] << 16 | std::uint32_t{sub[3]} << 24);
  }
  return text;
}

// The calling process's user in SDDL form (S-1-5-21-...), to give it exactly the rights a case
// needs whether or not it is an administrator.
std::u16string CallerSid() {
  win::HANDLE opened = nullptr;
  if (!win::OpenProcessToken(win::GetCurrentProcess(), win::TOKEN_QUERY, &opened)) return {};
  win::UniqueObject token(opened);
  win::DWORD needed = 0;
  win::GetTokenInformation(token.Get(), win::TokenUser, nullptr, 0, &needed);
  std::vector<std::uint8_t> buffer(needed);
  if (needed == 0 ||
      !win::GetTokenInformation(token.Get(), win::TokenUser, buffer.data(), needed, &needed)) {
    return {};
  }
  const std::string text = SidString(reinterpret_cast<win::TOKEN_USER*>(buffer.data())->User.Sid);
  return std::u16string(text.begin(), text.end());
}

// The entries of a list: flags, rights and SID.
using Entry = std::tuple<int, win::DWORD, std::string>;
std::vector<Entry> EntriesOf(win::PACL dacl) {
  std::vector<Entry> entries;
  for (win::DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!win::GetAce(dacl, i, &entry)) break;
    const auto* ace = static_cast<const win::ACCESS_ALLOWED_ACE*>(entry);
    entries.emplace_back(ace->Header.AceFlags, ace->Mask, SidString(&ace->SidStart));
  }
  return entries;
}

// "0x..." for an SDDL entry.
std::u16string Hex(win::DWORD mask) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", mask);
  return std::u16string(text, text + std::strlen(text));
}

// A descriptor from SDDL text, and security attributes that carry it.
struct Descriptor {
  explicit Descriptor(const std::u16string& sddl) {
    win::PSECURITY_DESCRIPTOR made = nullptr;
    if (win::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl.c_str(), win::SDDL_REVISION_1, &made, nullptr)) {
      held.Reset(made);
    }
    attributes.lpSecurityDescriptor = made;
  }
  win::UniqueLocalMemory held;
  win::SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, win::FALSE};
};

// A protected list that gives the caller `rights` and nobody else anything.
std::u16string OnlyTheCaller(win::DWORD rights, std::u16string_view flags = u"") {
  return u"D:P(A;" + std::u16string(flags) + u";" + Hex(rights) + u";;;" + CallerSid() + u")";
}

bool MakeFolderWith(const std::u16string& path, const std::u16string& sddl) {
  Descriptor descriptor(sddl);
  return descriptor.held && win::CreateDirectoryW(path.c_str(), &descriptor.attributes) != 0;
}

bool MakeFileWith(const std::u16string& path, const std::u16string& sddl) {
  Descriptor descriptor(sddl);
  return descriptor.held &&
         win::UniqueFile(win::CreateFileW(path.c_str(), win::GENERIC_WRITE, 0,
                                          &descriptor.attributes, win::CREATE_NEW,
                                          win::FILE_ATTRIBUTE_NORMAL, nullptr));
}

// `name` made below the folder `dir` is open as, a folder or a file, with `descriptor` (or none):
// the Win32 code of the status.
win::DWORD MakeBelow(win::HANDLE dir, std::u16string name, bool folder,
                     void* descriptor = nullptr) {
  win::UNICODE_STRING text{static_cast<win::WORD>(2 * name.size()),
                           static_cast<win::WORD>(2 * name.size()), name.data()};
  win::OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = dir;
  attributes.ObjectName = &text;
  attributes.Attributes = win::OBJ_CASE_INSENSITIVE;
  attributes.SecurityDescriptor = descriptor;
  win::IO_STATUS_BLOCK io{};
  win::HANDLE opened = nullptr;
  const win::NTSTATUS status = win::NtCreateFile(
      &opened, win::FILE_READ_ATTRIBUTES | win::SYNCHRONIZE, &attributes, &io, nullptr, 0,
      kShareAll, win::FILE_CREATE,
      (folder ? win::FILE_DIRECTORY_FILE : win::FILE_NON_DIRECTORY_FILE) |
          win::FILE_SYNCHRONOUS_IO_NONALERT | win::FILE_OPEN_FOR_BACKUP_INTENT,
      nullptr, 0);
  if (status == win::STATUS_SUCCESS) win::UniqueFile made(opened);
  return win::RtlNtStatusToDosError(status);
}

win::UniqueFile OpenFolder(const std::u16string& path, win::DWORD share = kShareAll) {
  return Open(path, win::FILE_READ_DATA | win::SYNCHRONIZE, share, win::OPEN_EXISTING,
              win::FILE_FLAG_BACKUP_SEMANTICS);
}

// How each call makes its new name in `folder`: 0 or the last-error code.
enum class Maker { CreateFile, CreateDirectory, NtCreateFileFile, NtCreateFileFolder };
win::DWORD MakeIn(Maker maker, const std::u16string& folder, void* securityAttributes = nullptr) {
  const std::u16string path = folder + u"\\new";
  win::SetLastError(kUnset);
  switch (maker) {
    case Maker::CreateFile:
      return win::UniqueFile(win::CreateFileW(path.c_str(), win::GENERIC_WRITE, 0,
                                              securityAttributes, win::CREATE_NEW,
                                              win::FILE_ATTRIBUTE_NORMAL, nullptr))
                 ? 0
                 : win::GetLastError();
    case Maker::CreateDirectory:
      return win::CreateDirectoryW(path.c_str(), securityAttributes) ? 0 : win::GetLastError();
    case Maker::NtCreateFileFile:
    case Maker::NtCreateFileFolder: {
      auto dir = OpenFolder(folder);
      if (!dir) return win::GetLastError();
      void* descriptor = securityAttributes == nullptr
                             ? nullptr
                             : static_cast<win::SECURITY_ATTRIBUTES*>(securityAttributes)
                                   ->lpSecurityDescriptor;
      return MakeBelow(dir.Get(), u"new", maker == Maker::NtCreateFileFolder, descriptor);
    }
  }
  return kUnset;
}

struct AddCase {
  const char* label;
  Maker maker;
  win::DWORD withheld;  // the one right of the folder's list the caller lacks
};

class NewNameTest : public ContractTest, public ::testing::WithParamInterface<AddCase> {};

// A new file takes FILE_ADD_FILE on its folder, a new folder FILE_ADD_SUBDIRECTORY, whatever
// else the caller may do there.
TEST_P(NewNameTest, TakesTheFoldersRightToAddIt) {
  const std::u16string folder = In(u"dir");
  ASSERT_TRUE(MakeFolderWith(folder, OnlyTheCaller(win::FILE_ALL_ACCESS & ~GetParam().withheld)));
  const win::DWORD code = MakeIn(GetParam().maker, folder);
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: a folder's list does not limit what is made in it") {
    EXPECT_EQ(code, win::ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Exists(folder + u"\\new"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, NewNameTest,
    ::testing::Values(AddCase{"CreateFileW", Maker::CreateFile, win::FILE_ADD_FILE},
                      AddCase{"CreateDirectoryW", Maker::CreateDirectory,
                              win::FILE_ADD_SUBDIRECTORY},
                      AddCase{"NtCreateFileOfAFile", Maker::NtCreateFileFile, win::FILE_ADD_FILE},
                      AddCase{"NtCreateFileOfAFolder", Maker::NtCreateFileFolder,
                              win::FILE_ADD_SUBDIRECTORY}),
    LabelOf());

enum class Remover { DeleteFile, RemoveDirectory, Rename };

struct RemoveCase {
  const char* label;
  Remover remover;
  bool deleteOnIt;          // DELETE on the file or folder removed or renamed
  bool deleteChildOnFolder;  // FILE_DELETE_CHILD on its folder
};

class RemoveNameTest : public ContractTest, public ::testing::WithParamInterface<RemoveCase> {};

// Deleting or renaming takes DELETE on the object or FILE_DELETE_CHILD on its folder: either.
TEST_P(RemoveNameTest, TakesDeleteOrTheFoldersDeleteChild) {
  const RemoveCase& c = GetParam();
  const std::u16string folder = In(u"dir");
  const std::u16string name = folder + u"\\x";
  ASSERT_TRUE(MakeFolderWith(
      folder, OnlyTheCaller(c.deleteChildOnFolder ? win::FILE_ALL_ACCESS
                                                  : win::FILE_ALL_ACCESS & ~win::FILE_DELETE_CHILD)));
  const std::u16string own =
      OnlyTheCaller(c.deleteOnIt ? win::FILE_ALL_ACCESS : win::FILE_ALL_ACCESS & ~win::DELETE);
  ASSERT_TRUE(c.remover == Remover::RemoveDirectory ? MakeFolderWith(name, own)
                                                    : MakeFileWith(name, own));
  win::SetLastError(kUnset);
  bool done = false;
  switch (c.remover) {
    case Remover::DeleteFile:
      done = win::DeleteFileW(name.c_str()) != 0;
      break;
    case Remover::RemoveDirectory:
      done = win::RemoveDirectoryW(name.c_str()) != 0;
      break;
    case Remover::Rename:
      done = win::MoveFileExW(name.c_str(), (folder + u"\\y").c_str(), 0) != 0;
      break;
  }
  const win::DWORD code = done ? 0 : win::GetLastError();
  const bool allowed = c.deleteOnIt || c.deleteChildOnFolder;
  if (!allowed) DocumentedNotMeasured();
  TODO_WINE_IF(!allowed,
               "Wine 8: deletes and renames whatever the lists of the object and its folder") {
    EXPECT_EQ(code, allowed ? 0u : win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(Exists(name), !allowed);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, RemoveNameTest,
    ::testing::Values(RemoveCase{"DeleteFileWithNeither", Remover::DeleteFile, false, false},
                      RemoveCase{"DeleteFileWithDeleteChildOnly", Remover::DeleteFile, false, true},
                      RemoveCase{"DeleteFileWithDeleteOnly", Remover::DeleteFile, true, false},
                      RemoveCase{"RemoveDirectoryWithNeither", Remover::RemoveDirectory, false,
                                 false},
                      RemoveCase{"RemoveDirectoryWithDeleteChildOnly", Remover::RemoveDirectory,
                                 false, true},
                      RemoveCase{"RenameWithNeither", Remover::Rename, false, false},
                      RemoveCase{"RenameWithDeleteOnly", Remover::Rename, true, false}),
    LabelOf());

// What a folder's inheritable entries give a subfolder made without a descriptor is enforced
// there, and reads back as inherited.
TEST_F(ContractTest, InheritedEntriesAreEnforcedAndReadBackAsInherited) {
  constexpr win::DWORD kRights = win::FILE_ALL_ACCESS & ~win::FILE_ADD_FILE;
  ASSERT_TRUE(MakeFolderWith(In(u"dir"), OnlyTheCaller(kRights, u"OICI")));
  ASSERT_TRUE(win::CreateDirectoryW(In(u"dir\\sub").c_str(), nullptr));
  const win::DWORD code = MakeIn(Maker::CreateFile, In(u"dir\\sub"));
  auto sub = Open(In(u"dir\\sub"), win::READ_CONTROL, kShareAll, win::OPEN_EXISTING,
                  win::FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_TRUE(sub);
  win::PACL dacl = nullptr;
  win::PSECURITY_DESCRIPTOR read = nullptr;
  ASSERT_EQ(win::GetSecurityInfo(sub.Get(), win::SE_FILE_OBJECT, win::DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, &dacl, nullptr, &read),
            win::ERROR_SUCCESS);
  win::UniqueLocalMemory heldRead(read);
  ASSERT_NE(dacl, nullptr);
  const std::vector<Entry> entries = EntriesOf(dacl);
  const std::u16string caller = CallerSid();
  const std::string callerText(caller.begin(), caller.end());
  constexpr int kBothInherit = win::OBJECT_INHERIT_ACE | win::CONTAINER_INHERIT_ACE;
  DocumentedNotMeasured();
  // Measured on Wine 8: made anyway, and the subfolder's list is made from its mode bits,
  // inheritable but not inherited: SYSTEM and the Wine user full control, Everyone read and
  // execute.
  TODO_WINE("Wine 8: lists are not inherited; a subfolder's comes from its mode bits") {
    EXPECT_EQ(code, win::ERROR_ACCESS_DENIED);
    constexpr int kInherited = 0x10;
    EXPECT_EQ(entries, (std::vector<Entry>{{kBothInherit | kInherited, kRights, callerText}}));
  }
}

// A CREATOR OWNER entry reaches a new file as an entry for its owner.
TEST_F(ContractTest, CreatorOwnerEntryBecomesTheNewFilesOwner) {
  ASSERT_TRUE(MakeFolderWith(In(u"dir"), u"D:P(A;OICIIO;FA;;;S-1-3-0)(A;;FA;;;" + CallerSid() + u")"));
  ASSERT_TRUE(MakeFile(In(u"dir\\f")));
  auto file = Open(In(u"dir\\f"), win::READ_CONTROL, kShareAll);
  ASSERT_TRUE(file);
  win::PSID owner = nullptr;
  win::PACL dacl = nullptr;
  win::PSECURITY_DESCRIPTOR read = nullptr;
  ASSERT_EQ(win::GetSecurityInfo(file.Get(), win::SE_FILE_OBJECT,
                                 win::OWNER_SECURITY_INFORMATION | win::DACL_SECURITY_INFORMATION,
                                 &owner, nullptr, &dacl, nullptr, &read),
            win::ERROR_SUCCESS);
  win::UniqueLocalMemory heldRead(read);
  ASSERT_TRUE(owner != nullptr && dacl != nullptr);
  const std::vector<Entry> entries = EntriesOf(dacl);
  const std::string ownerText = SidString(owner);
  DocumentedNotMeasured();
  // Inherited, passing nothing on, for the file's owner. Measured on Wine 8: the owner is the
  // Wine user, and the list comes from the mode bits as for any file made without a descriptor.
  TODO_WINE("Wine 8: lists are not inherited; a file's comes from its mode bits") {
    EXPECT_EQ(entries, (std::vector<Entry>{{0x10, win::FILE_ALL_ACCESS, ownerText}}));
  }
}

enum class Mover { MoveFile, NtSetInformationFileLink };

struct TargetFolderCase {
  const char* label;
  Mover mover;
  bool heldUnshared;  // held open without sharing write, else its list withholds FILE_ADD_FILE
  win::DWORD code;    // Windows' answer
};

class TargetFolderTest : public ContractTest,
                         public ::testing::WithParamInterface<TargetFolderCase> {};

// A rename or a new link opens the folder it goes to for FILE_ADD_FILE, sharing read and write:
// refused while someone holds that folder without sharing write, and without that right there.
TEST_P(TargetFolderTest, IsOpenedForAddingAFileSharingReadAndWrite) {
  const TargetFolderCase& c = GetParam();
  const std::u16string folder = In(u"to");
  ASSERT_TRUE(MakeFile(In(u"a.txt"), "alpha"));
  ASSERT_TRUE(c.heldUnshared
                  ? win::CreateDirectoryW(folder.c_str(), nullptr) != 0
                  : MakeFolderWith(folder, OnlyTheCaller(win::FILE_ALL_ACCESS & ~win::FILE_ADD_FILE)));
  win::UniqueFile dir = OpenFolder(folder);
  ASSERT_TRUE(dir);
  win::UniqueFile holder;
  if (c.heldUnshared) {
    holder = OpenFolder(folder, win::FILE_SHARE_READ);
    ASSERT_TRUE(holder) << win::GetLastError();
  }
  const std::u16string target = folder + u"\\b.txt";
  win::SetLastError(kUnset);
  win::DWORD code = kUnset;
  switch (c.mover) {
    case Mover::MoveFile:
      code = win::MoveFileExW(In(u"a.txt").c_str(), target.c_str(), 0) ? 0 : win::GetLastError();
      break;
    case Mover::NtSetInformationFileLink: {
      auto file = Open(In(u"a.txt"), win::SYNCHRONIZE | win::FILE_READ_ATTRIBUTES, kShareAll);
      ASSERT_TRUE(file);
      const std::u16string_view name = u"b.txt";
      std::vector<std::uint8_t> buffer(sizeof(win::FILE_LINK_INFORMATION) + 2 * name.size());
      auto* info = reinterpret_cast<win::FILE_LINK_INFORMATION*>(buffer.data());
      info->RootDirectory = dir.Get();
      info->FileNameLength = static_cast<win::ULONG>(2 * name.size());
      std::memcpy(info->FileName, name.data(), 2 * name.size());
      win::IO_STATUS_BLOCK io{};
      code = win::RtlNtStatusToDosError(win::NtSetInformationFile(
          file.Get(), &io, info, static_cast<win::ULONG>(buffer.size()), win::FileLinkInformation));
      break;
    }
  }
  holder.Reset();
  DocumentedNotMeasured();
  TODO_WINE(c.heldUnshared ? "Wine 8: the folder a rename or link goes to is not opened, so its "
                             "holders' share modes do not count"
                           : "Wine 8: a folder's list does not limit what is renamed or linked "
                             "into it") {
    EXPECT_EQ(code, c.code);
    EXPECT_FALSE(Exists(target));
    EXPECT_EQ(ReadAll(In(u"a.txt")), "alpha");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, TargetFolderTest,
    ::testing::Values(
        TargetFolderCase{"MoveIntoAHeldFolder", Mover::MoveFile, true,
                         win::ERROR_SHARING_VIOLATION},
        TargetFolderCase{"LinkBelowAHeldFolder", Mover::NtSetInformationFileLink, true,
                         win::ERROR_SHARING_VIOLATION},
        TargetFolderCase{"MoveWithoutAddFile", Mover::MoveFile, false, win::ERROR_ACCESS_DENIED},
        TargetFolderCase{"LinkBelowWithoutAddFile", Mover::NtSetInformationFileLink, false,
                         win::ERROR_ACCESS_DENIED}),
    LabelOf());

struct OwnerCase {
  const char* label;
  Maker maker;
  bool system;  // O:SY, which no caller but LocalSystem may give; else the caller's own user
};

class NewOwnerTest : public ContractTest, public ::testing::WithParamInterface<OwnerCase> {};

// An owner given at creation must be the caller's user or a group it may own.
TEST_P(NewOwnerTest, IsTheCallersOrRefused) {
  Descriptor descriptor(GetParam().system ? std::u16string(u"O:SY") : u"O:" + CallerSid());
  ASSERT_TRUE(descriptor.held);
  const win::DWORD code = MakeIn(GetParam().maker, Dir(), &descriptor.attributes);
  if (!GetParam().system) {
    EXPECT_EQ(code, 0u);
    return;
  }
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: any owner given at creation is accepted (and not kept)") {
    EXPECT_EQ(code, win::ERROR_INVALID_OWNER);
    EXPECT_FALSE(Exists(In(u"new")));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, NewOwnerTest,
    ::testing::Values(OwnerCase{"CreateFileWOfSystem", Maker::CreateFile, true},
                      OwnerCase{"CreateDirectoryWOfSystem", Maker::CreateDirectory, true},
                      OwnerCase{"NtCreateFileOfSystem", Maker::NtCreateFileFolder, true},
                      OwnerCase{"CreateFileWOfTheCaller", Maker::CreateFile, false}),
    LabelOf());

// Administrators have what a list gives them, backup semantics or not: the backup privilege is
// not enabled unless a program enables it. (The caller may write and delete the file, so that
// Wine, which would mark it read-only otherwise, lets the scratch folder go.)
TEST_F(ContractTest, ListRefusesEvenWithBackupSemantics) {
  ASSERT_TRUE(MakeFileWith(In(u"unreadable.txt"),
                           OnlyTheCaller(win::FILE_WRITE_DATA | win::FILE_WRITE_ATTRIBUTES |
                                         win::DELETE | win::SYNCHRONIZE)));
  win::SetLastError(kUnset);
  auto file = Open(In(u"unreadable.txt"), win::GENERIC_READ, kShareAll, win::OPEN_EXISTING,
                   win::FILE_FLAG_BACKUP_SEMANTICS);
  const win::DWORD code = file ? 0 : win::GetLastError();
  file.Reset();
  DocumentedNotMeasured();
  TODO_WINE("Wine 8: a file's list does not limit its opens (root reads any mode bits)") {
    EXPECT_EQ(code, win::ERROR_ACCESS_DENIED);
  }
}

}  // namespace
