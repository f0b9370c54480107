// File Delete requests whose link is written as \\?\ or \??\: success must mean the file is
// gone, and a failure must say why.
#include <gtest/gtest.h>

#include <string>

#include "engine/LinkRequest.h"
#include "platform/UniqueHandle.h"
#include "platform/sim/Machine.h"

namespace {

LinkRequest FileDelete(std::u16string link) {
  LinkRequest request;
  request.action = LinkAction::Delete;
  request.kind = LinkKind::File;
  request.link = std::move(link);
  return request;
}

struct PrefixCase {
  const char* label;
  const char16_t* link;  // C:\dir\f.txt, which \\server\d serves as well
};

class VerbatimLinkPathTest : public ::testing::TestWithParam<PrefixCase> {
 protected:
  sim::Machine machine;
};

TEST_P(VerbatimLinkPathTest, FileDeleteRemovesTheFile) {
  machine.PutFile(u"C:\\dir\\f.txt", "x");
  machine.AddShare(u"server\\d", u"C:\\dir");
  win::SetLastError(0xdeadbeef);
  EXPECT_TRUE(FileDelete(GetParam().link).Execute()) << win::GetLastError();
  EXPECT_FALSE(machine.Exists(u"C:\\dir\\f.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Prefixes, VerbatimLinkPathTest,
    ::testing::Values(PrefixCase{"Verbatim", u"\\\\?\\C:\\dir\\f.txt"},
                      PrefixCase{"Nt", u"\\??\\C:\\dir\\f.txt"},
                      PrefixCase{"VerbatimUnc", u"\\\\?\\UNC\\server\\d\\f.txt"}),
    [](const ::testing::TestParamInfo<PrefixCase>& c) { return std::string(c.param.label); });

// Past MAX_PATH only a \\?\ path can name a file, and the existence test refuses every path
// that long: a File Delete must still remove the file, and a File Create still replace it.
class LongVerbatimLinkTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  // A link of GetParam() units: \\?\C:\a...a\b...b\f.txt
  LongVerbatimLinkTest() {
    std::u16string directory = u"\\\\?\\C:\\" + std::u16string(150, u'a');
    win::CreateDirectoryW(directory.c_str(), nullptr);
    directory += u"\\" + std::u16string(GetParam() - 164, u'b');
    win::CreateDirectoryW(directory.c_str(), nullptr);
    link = directory + u"\\f.txt";
    win::UniqueFile file(win::CreateFileW(link.c_str(), win::GENERIC_WRITE, 0, nullptr,
                                          win::CREATE_NEW, win::FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  bool LinkExists() const {
    return win::GetFileAttributesW(link.c_str()) != win::INVALID_FILE_ATTRIBUTES;
  }

  sim::Machine machine;
  std::u16string link;
};

TEST_P(LongVerbatimLinkTest, FileDeleteRemovesTheFile) {
  ASSERT_TRUE(LinkExists());
  EXPECT_TRUE(FileDelete(link).Execute()) << win::GetLastError();
  EXPECT_FALSE(LinkExists());
  EXPECT_TRUE(FileDelete(link).Execute()) << "a missing link is still no failure";
}

TEST_P(LongVerbatimLinkTest, FileCreateReplacesTheFile) {
  ASSERT_EQ(link.size(), GetParam());
  machine.PutFile(u"C:\\a.txt", "alpha");
  LinkRequest request = FileDelete(link);
  request.action = LinkAction::Create;
  request.target = u"C:\\a.txt";
  EXPECT_TRUE(request.Execute()) << win::GetLastError();
  EXPECT_EQ(machine.LinkCount(u"C:\\a.txt"), 2u);
}

// MAX_PATH exactly, and well past it.
INSTANTIATE_TEST_SUITE_P(Lengths, LongVerbatimLinkTest, ::testing::Values(260, 310));

}  // namespace
