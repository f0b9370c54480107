// PathExists: the five conditions, in order, on volumes with and without Unicode names on disk.
#include <gtest/gtest.h>

#include "engine/LinkRequest.h"
#include "platform/sim/Machine.h"

namespace {

// Wine's C: reports these flags: no FILE_UNICODE_ON_DISK.
constexpr win::DWORD kFlagsWithoutUnicode =
    win::FILE_CASE_PRESERVED_NAMES | win::FILE_PERSISTENT_ACLS;
constexpr win::DWORD kFlagsWithUnicode = kFlagsWithoutUnicode | win::FILE_UNICODE_ON_DISK;

class PathExistsTest : public ::testing::Test {
 protected:
  PathExistsTest() {
    machine.AddVolume(u'D', 0xD0D0, kFlagsWithoutUnicode);
    machine.AddVolume(u'E', 0xE0E0, kFlagsWithUnicode);
    machine.PutFile(u"C:\\d\\file.txt", "x");
    machine.MakeDirectories(u"C:\\d\\sub");
    machine.AddShare(u"server\\d", u"C:\\d");
  }
  sim::Machine machine;
};

struct PathCase {
  const char* name;
  std::u16string path;
  bool exists;
};

class PathExistsCases : public PathExistsTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathExistsCases, AnswersWhetherAnEntryIsThere) {
  machine.SetCurrentDirectory(u"C:\\d");
  EXPECT_EQ(PathExists(GetParam().path), GetParam().exists);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathExistsCases,
    ::testing::Values(
        PathCase{"File", u"C:\\d\\file.txt", true}, PathCase{"Directory", u"C:\\d\\sub", true},
        PathCase{"OtherCase", u"c:\\D\\FILE.TXT", true}, PathCase{"Relative", u"file.txt", true},
        PathCase{"RelativeParent", u"..\\d\\sub", true},
        PathCase{"Missing", u"C:\\d\\none.txt", false},
        PathCase{"MissingParent", u"C:\\none\\file.txt", false}, PathCase{"Empty", u"", false},
        PathCase{"TrailingBackslash", u"C:\\d\\sub\\", false},
        PathCase{"DriveRoot", u"C:\\", false}, PathCase{"WildcardMatching", u"C:\\d\\*.txt", true},
        PathCase{"QuestionMarkMatching", u"C:\\d\\fil?.txt", true},
        PathCase{"WildcardNotMatching", u"C:\\d\\*.doc", false},
        PathCase{"VolumeMissing", u"Q:\\d\\file.txt", false},
        PathCase{"UncWithoutServer", u"\\\\server\\share\\file.txt", false},
        PathCase{"UncShare", u"\\\\server\\d\\file.txt", true},
        PathCase{"UncShareMissing", u"\\\\server\\d\\none.txt", false}),
    [](const auto& p) { return std::string(p.param.name); });

// A path of 259 units is tested normally; one of 260 counts as missing.
TEST_F(PathExistsTest, LengthLimitIs259) {
  const std::u16string directory = u"E:\\" + std::u16string(200, u'a');
  const std::u16string name259 =
      directory + u"\\" + std::u16string(259 - directory.size() - 1, u'b');
  ASSERT_EQ(name259.size(), 259u);
  machine.PutFile(name259, "x");
  EXPECT_TRUE(PathExists(name259));

  const std::u16string name260 = name259 + u"c";
  machine.PutFile(u"\\\\?\\" + name260, "x");  // long names need the \\?\ form
  ASSERT_TRUE(machine.Exists(u"\\\\?\\" + name260));
  EXPECT_FALSE(PathExists(name260));
}

// The limit is on the path as given, not on what it resolves to.
TEST_F(PathExistsTest, PathOf260CountsAsMissingEvenWhenItResolvesShorter) {
  std::u16string path = u"C:\\d\\xxx\\..\\";
  while (path.size() < 252) path += u"x\\..\\";
  path += u"file.txt";
  ASSERT_EQ(path.size(), 260u);
  EXPECT_FALSE(PathExists(path));
  EXPECT_TRUE(PathExists(path.substr(2)));  // 258 units, from the current drive's root
}

// Without Unicode names on disk, the stored name the find reports must still fit in place of
// the last component; with them, the check is not made.
TEST_F(PathExistsTest, StoredNameMustFitOnlyWithoutUnicodeOnDisk) {
  for (char16_t drive : {u'D', u'E'}) {
    const std::u16string directory = std::u16string(1, drive) + u":\\" + std::u16string(150, u'a');
    const std::u16string stored = std::u16string(110, u'n');  // full path: 153 + 1 + 110 = 264
    machine.PutFile(u"\\\\?\\" + directory + u"\\" + stored, "x");
    const std::u16string pattern = directory + u"\\n*";
    EXPECT_EQ(PathExists(pattern), drive == u'E') << "drive " << static_cast<char>(drive);
    EXPECT_TRUE(PathExists(directory));  // short names fit on both
  }
  // Exactly 259 units with the stored name in place still fit.
  const std::u16string directory = u"D:\\" + std::u16string(150, u'b');
  machine.PutFile(u"\\\\?\\" + directory + u"\\" + std::u16string(105, u'n'), "x");
  EXPECT_TRUE(PathExists(directory + u"\\n*"));
}

struct FailingCallCase {
  const char* function;
};

class PathExistsFailingCall : public PathExistsTest,
                              public ::testing::WithParamInterface<FailingCallCase> {};

TEST_P(PathExistsFailingCall, CountsAsMissing) {
  machine.FailNext(GetParam().function, win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(PathExists(u"C:\\d\\file.txt"));
  EXPECT_TRUE(PathExists(u"C:\\d\\file.txt"));  // only that one call failed
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Calls, PathExistsFailingCall,
                         ::testing::Values(FailingCallCase{"GetFullPathNameW"},
                                           FailingCallCase{"GetVolumeInformationW"},
                                           FailingCallCase{"FindFirstFileW"}),
                         [](const auto& p) { return std::string(p.param.function); });

}  // namespace
