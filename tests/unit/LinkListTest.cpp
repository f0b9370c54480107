// The link list file: where it is, how it is opened, and every way a file can be malformed.
#include "frontend/StoredList.h"
#include "tests/unit/ListBytes.h"

namespace corvane_test {
namespace {

class LinkListTest : public ::testing::Test {
 protected:
  sim::Machine machine;
};

TEST_F(LinkListTest, EveryTruncationOfTheWorkedExampleIsMalformed) {
  for (std::size_t length = 0; length < kWorkedExample.size(); ++length) {
    LinkList read;
    EXPECT_EQ(LoadBytes(machine, kWorkedExample.substr(0, length), read), LoadOutcome::malformed)
        << "first " << length << " bytes";
    EXPECT_TRUE(read.records.empty());
  }
}

struct ListCase {
  const char* name;
  std::string bytes;
  LoadOutcome outcome;
  std::size_t records;
};

class ListFiles : public LinkListTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListFiles, LoadAsExpected) {
  LinkList read;
  EXPECT_EQ(LoadBytes(machine, GetParam().bytes, read), GetParam().outcome);
  EXPECT_EQ(read.records.size(), GetParam().records);
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

const std::string kRecord = kWorkedExample.substr(2);

INSTANTIATE_TEST_SUITE_P(
    Files, ListFiles,
    ::testing::Values(
        ListCase{"EmptyList", Bytes({0, 0}), LoadOutcome::loaded, 0},
        ListCase{"ZeroBytes", "", LoadOutcome::malformed, 0},
        ListCase{"OneByte", Bytes({1}), LoadOutcome::malformed, 0},
        ListCase{"TrailingBytesIgnored", kWorkedExample + std::string(10, '\x5A'),
                 LoadOutcome::loaded, 1},
        ListCase{"CountPromisesMore", Bytes({2, 0}) + kRecord, LoadOutcome::malformed, 0},
        ListCase{"WideCount", Bytes({0xFF, 0xFF, 2, 0, 0, 0}) + kRecord + kRecord,
                 LoadOutcome::loaded, 2},
        ListCase{"Count65534Short", Bytes({0xFE, 0xFF}) + kRecord, LoadOutcome::malformed, 0},
        ListCase{"HugeCount", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}) + kRecord,
                 LoadOutcome::malformed, 0},
        ListCase{"HugeStringLength",
                 Bytes({1,    0,    1,    0,    0,    0,    0,    0,    0,    0,
                        0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
                 LoadOutcome::malformed, 0},
        ListCase{"Huge8ByteLength",
                 Bytes({1,    0,    1,    0,    0,    0,    0,    0,    0, 0, 0xFF, 0xFF, 0xFF,
                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0,    0}),
                 LoadOutcome::malformed, 0},
        ListCase{"StringLongerThanFile", Bytes({1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x05, 'a', 'b'}),
                 LoadOutcome::malformed, 0},
        ListCase{"AnsiRecord", Bytes({1,   0,   1, 0,   0,   0,    0,   0,   0,   0,  2,
                                      'X', ':', 7, 'D', ':', '\\', 'D', 'a', 't', 'a'}),
                 LoadOutcome::loaded, 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(LinkListTest, AnsiAndUnicodeRecordsLoadTheSameValue) {
  LinkList ansi;
  ASSERT_EQ(LoadBytes(machine, Bytes({1,   0,   1, 0,   0,   0,    0,   0,   0,   0,  2,
                                      'X', ':', 7, 'D', ':', '\\', 'D', 'a', 't', 'a'}),
                      ansi),
            LoadOutcome::loaded);
  LinkList unicode;
  ASSERT_EQ(LoadBytes(machine, kWorkedExample, unicode), LoadOutcome::loaded);
  EXPECT_EQ(ansi.records, unicode.records);
}

TEST_F(LinkListTest, MalformedListIsClosedAtOnce) {
  machine.PutFile(u"C:\\list.dat", kWorkedExample.substr(0, 10));
  LoadedLinkList list;
  EXPECT_EQ(LoadLinkList(u"C:\\list.dat", list), LoadOutcome::malformed);
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

TEST_F(LinkListTest, ReadErrorIsMalformed) {
  machine.FailNext("ReadFile", win::ERROR_READ_FAULT);
  LinkList read;
  EXPECT_EQ(LoadBytes(machine, kWorkedExample, read), LoadOutcome::malformed);
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

// A file that claims 0xFFFFFFFF records is refused before anything of that size is allocated:
// the reader compares the claim with what the file can hold.
TEST_F(LinkListTest, HostileCountIsRefusedBeforeAllocation) {
  LinkList read;
  std::string bytes = Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  for (int i = 0; i < 100; ++i) bytes += kRecord;
  EXPECT_EQ(LoadBytes(machine, bytes, read), LoadOutcome::malformed);
  EXPECT_EQ(read.records.capacity(), 0u);
}

TEST_F(LinkListTest, OpenFailuresAreNotOpened) {
  LinkList read;
  LoadedLinkList list;
  EXPECT_EQ(LoadLinkList(u"C:\\missing.dat", list), LoadOutcome::notOpened);
  EXPECT_EQ(LoadLinkList(u"", list), LoadOutcome::notOpened);

  const std::u16string longPath = u"C:\\" + std::u16string(256, u'l') + u".dat";  // 263 units
  machine.PutFile(longPath, kWorkedExample);
  EXPECT_EQ(LoadLinkList(longPath, list), LoadOutcome::notOpened);

  // Held open by a writer: not opened, and the code says the list is in use.
  machine.PutFile(u"C:\\held.dat", kWorkedExample);
  win::UniqueFile holder(win::CreateFileW(u"C:\\held.dat", win::GENERIC_WRITE, win::FILE_SHARE_READ,
                                          nullptr, win::OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  EXPECT_EQ(LoadLinkList(u"C:\\held.dat", list), LoadOutcome::notOpened);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
}

TEST_F(LinkListTest, LoadedListKeepsTheFileOpenForReadersOnly) {
  machine.PutFile(u"C:\\list.dat", kWorkedExample);
  {
    LoadedLinkList list;
    ASSERT_EQ(LoadLinkList(u"C:\\list.dat", list), LoadOutcome::loaded);
    constexpr win::DWORD shareAll = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
    win::UniqueFile reader(win::CreateFileW(u"C:\\list.dat", win::GENERIC_READ, shareAll, nullptr,
                                            win::OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(reader);
    win::SetLastError(0xdeadbeef);
    win::UniqueFile writer(win::CreateFileW(u"C:\\list.dat", win::GENERIC_WRITE, shareAll, nullptr,
                                            win::OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer);
    EXPECT_EQ(win::GetLastError(), win::ERROR_SHARING_VIOLATION);
    EXPECT_EQ(machine.InheritableHandles(), 1u);
  }
  EXPECT_EQ(machine.OpenHandles(), 0u);
  EXPECT_EQ(machine.FileContent(u"C:\\list.dat"), kWorkedExample) << "the service never writes";
}

// The trailer is written only when there is a label, after the records that older programs read.
TEST_F(LinkListTest, LabelsAreWrittenAsATrailerOnlyWhenThereIsOne) {
  LinkList array;
  array.records.push_back(Record(1, 0, u"X:", u"D:\\Data"));
  array.SetLabel(u"X:", u"Old");
  array.SetLabel(u"x:", u"Data");  // the same letter: its label changes
  EXPECT_EQ(StoreList(machine, array), kWorkedExample + kLabelTrailer);
  EXPECT_EQ(*array.LabelOf(u"x:"), u"Data");
  array.RemoveLabel(u"x:");
  EXPECT_EQ(array.LabelOf(u"X:"), nullptr);
  EXPECT_EQ(StoreList(machine, array), kWorkedExample);
}

struct TrailerCase {
  const char* name;
  std::string after;    // the bytes after the worked example's record
  win::DWORD frontEnd;  // what the front end's reader says
  std::size_t labels;
};

class Trailers : public LinkListTest, public ::testing::WithParamInterface<TrailerCase> {};

// The front end reads the labels and never takes a damaged trailer for none; every other reader
// (the boot pass's) loads the records whatever follows them.
TEST_P(Trailers, FrontEndReadsLabelsOthersSkipThem) {
  machine.PutFile(u"C:\\list.dat", kWorkedExample + GetParam().after);
  LinkList links;
  EXPECT_EQ(frontend::ReadStoredList(u"C:\\list.dat", links), GetParam().frontEnd);
  EXPECT_EQ(links.labels.size(), GetParam().labels);
  if (GetParam().labels == 1) {
    EXPECT_EQ(*links.LabelOf(u"X:"), u"Data");
  }
  LoadedLinkList list;
  EXPECT_EQ(LoadLinkList(u"C:\\list.dat", list), LoadOutcome::loaded);
  EXPECT_EQ(list.links.records.size(), 1u);
  EXPECT_TRUE(list.links.labels.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Tails, Trailers,
    ::testing::Values(
        TrailerCase{"None", "", 0, 0}, TrailerCase{"Garbage", std::string(20, 'Z'), 0, 0},
        TrailerCase{"ShorterThanTheMarker", "DriveLabel", 0, 0},
        TrailerCase{"Labels", kLabelTrailer, 0, 1},
        TrailerCase{"BytesAfterTheLabels", kLabelTrailer + "zz", 0, 1},
        TrailerCase{"MarkerOnly", "DriveLabels", win::ERROR_INVALID_DATA, 0},
        TrailerCase{"Cut", kLabelTrailer.substr(0, kLabelTrailer.size() - 1),
                    win::ERROR_INVALID_DATA, 0},
        TrailerCase{"CountPromisesMore",
                    "DriveLabels" + Bytes({2, 0}) + StringBytes(u"X:") + StringBytes(u"Data"),
                    win::ERROR_INVALID_DATA, 0},
        TrailerCase{"NotALetter",
                    "DriveLabels" + Bytes({1, 0}) + StringBytes(u"XY") + StringBytes(u"Data"),
                    win::ERROR_INVALID_DATA, 0}),
    [](const auto& p) { return std::string(p.param.name); });

// Without its own path the program has no list: a path cut off inside a directory name, or none
// at all, would name another directory (here C:\).
TEST_F(LinkListTest, ProgramPathNotReadGivesNoList) {
  const std::u16string longPath = u"C:\\" + std::u16string(300, u'd') + u"\\CorvaneService.exe";
  const std::u16string shortPath = u"C:\\Corvane\\CorvaneService.exe";
  for (const auto& program : {longPath, shortPath}) {
    machine.InstallProgram(program,
                           sim::Program{[] { return LinkListPath().empty() ? 0u : 1u; }, {}});
  }
  EXPECT_EQ(machine.RunProgram(longPath, u"x"), 0u);
  machine.FailNext("GetModuleFileNameW", win::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(machine.RunProgram(shortPath, u"x"), 0u);
}

TEST_F(LinkListTest, ListIsBesideTheProgramWhateverTheCurrentDirectory) {
  machine.InstallProgram(
      u"C:\\Program Files\\Corvane\\CorvaneService.exe",
      sim::Program{[] {
                     const std::u16string path = LinkListPath();
                     return path == u"C:\\Program Files\\Corvane\\Corvane.dat" ? 0u : 1u;
                   },
                   {}});
  machine.SetCurrentDirectory(u"C:\\");
  EXPECT_EQ(machine.RunProgram(u"C:\\Program Files\\Corvane\\CorvaneService.exe", u"x"), 0u);
}

}  // namespace
}  // namespace corvane_test
