// The archive encoding, byte for byte: counts, integers and both string forms.
#include <random>

#include "tests/unit/ListBytes.h"

namespace corvane_test {
namespace {

class LinkArchiveTest : public ::testing::Test {
 protected:
  // Runs `read` over an archive loading `bytes`.
  template <typename F>
  void Load(const std::string& bytes, F read) {
    machine.PutFile(u"C:\\bytes.bin", bytes);
    win::UniqueFile file(win::CreateFileW(u"C:\\bytes.bin", win::GENERIC_READ, 0, nullptr,
                                          win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    LinkArchive archive(file.Get(), LinkArchive::Mode::load);
    read(archive);
  }

  template <typename F>
  std::string Store(F write) {
    {
      win::UniqueFile file(win::CreateFileW(u"C:\\out.bin", win::GENERIC_WRITE, 0, nullptr,
                                            win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL,
                                            nullptr));
      LinkArchive archive(file.Get(), LinkArchive::Mode::store);
      write(archive);
      archive.Close();
    }
    return machine.FileContent(u"C:\\out.bin").value_or("");
  }

  sim::Machine machine;
};

TEST_F(LinkArchiveTest, WorkedExampleReadsAndWritesByteForByte) {
  LinkList read;
  ASSERT_EQ(LoadBytes(machine, kWorkedExample, read), LoadOutcome::loaded);
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_EQ(read.records[0], Record(1, 0, u"X:", u"D:\\Data"));

  LinkList written;
  written.records.push_back(Record(1, 0, u"X:", u"D:\\Data"));
  EXPECT_EQ(StoreList(machine, written), kWorkedExample);
}

struct StringCase {
  const char* name;
  std::string bytes;
  std::u16string value;
};

class ReadStringForms : public LinkArchiveTest, public ::testing::WithParamInterface<StringCase> {};

// Each string is followed by a 32-bit sentinel, which proves exactly the body was consumed.
TEST_P(ReadStringForms, YieldTheValueAndConsumeTheWholeBody) {
  Load(GetParam().bytes + Bytes({0x78, 0x56, 0x34, 0x12}), [&](LinkArchive& archive) {
    EXPECT_EQ(archive.ReadString(), GetParam().value);
    EXPECT_EQ(archive.ReadInt32(), 0x12345678);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ReadStringForms,
    ::testing::Values(
        StringCase{"AnsiShort", Bytes({0x02, 0x58, 0x3A}), u"X:"},
        StringCase{"UnicodeShort", Bytes({0xFF, 0xFE, 0xFF, 0x02, 0x58, 0x00, 0x3A, 0x00}), u"X:"},
        StringCase{"AnsiEmpty", Bytes({0x00}), u""},
        StringCase{"UnicodeEmpty", Bytes({0xFF, 0xFE, 0xFF, 0x00}), u""},
        StringCase{"Ansi2Byte", Bytes({0xFF, 0x00, 0x01}) + std::string(256, 'a'),
                   std::u16string(256, u'a')},
        StringCase{"AnsiFFFD", Bytes({0xFF, 0xFD, 0xFF}) + std::string(0xFFFD, 'b'),
                   std::u16string(0xFFFD, u'b')},
        StringCase{"Ansi4Byte", Bytes({0xFF, 0xFF, 0xFF, 0x03, 0, 0, 0}) + "abc", u"abc"},
        StringCase{"Ansi8Byte",
                   Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0, 0, 0, 0}) + "ok",
                   u"ok"},
        StringCase{
            "Unicode2Byte",
            Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0x00, 0x01}) + Utf16Bytes(std::u16string(256, u'c')),
            std::u16string(256, u'c')},
        StringCase{
            "UnicodeFFFEIsALength",
            Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFE, 0xFF}) + Utf16Bytes(std::u16string(0xFFFE, u'd')),
            std::u16string(0xFFFE, u'd')},
        StringCase{"Unicode4Byte",
                   Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0}) + Utf16Bytes(u"\u00e9z"),
                   u"\u00e9z"},
        StringCase{"Unicode8Byte",
                   Bytes({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0,
                          0, 0, 0}) +
                       Utf16Bytes(u"q"),
                   u"q"},
        StringCase{"UnicodeCutAtNul",
                   Bytes({0xFF, 0xFE, 0xFF, 0x04, 0x58, 0x00, 0x3A, 0x00, 0x00, 0x00, 0x59, 0x00}),
                   u"X:"},
        StringCase{"AnsiCutAtNul", Bytes({0x04, 0x58, 0x00, 0x3A, 0x59}), u"X"},
        StringCase{"AnsiLeadingNul", Bytes({0x02, 0x00, 0x41}), u""},
        StringCase{"Ansi1252", Bytes({0x03, 0x80, 0xE9, 0x9F}), u"\u20AC\u00E9\u0178"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(LinkArchiveTest, AnsiBodiesUseTheThreadsAnsiCodePage) {
  machine.SetAnsiCodePage(28591);
  Load(Bytes({0x02, 0x80, 0xE9}),
       [](LinkArchive& archive) { EXPECT_EQ(archive.ReadString(), u"\u0080\u00E9"); });
}

TEST_F(LinkArchiveTest, FailedAnsiConversionGivesTheEmptyStringAndReadingGoesOn) {
  machine.FailNext("MultiByteToWideChar", win::ERROR_INVALID_PARAMETER);
  Load(Bytes({0x02, 0x58, 0x3A, 0x01, 0x41}), [](LinkArchive& archive) {
    EXPECT_EQ(archive.ReadString(), u"");
    EXPECT_EQ(archive.ReadString(), u"A");
  });
}

// An 8-byte length above 0x7FFFFFFF is refused as such; one at the limit is merely more than
// the file holds.
TEST_F(LinkArchiveTest, EightByteLengthLimitIs7FFFFFFF) {
  for (const auto& [top, cause] :
       {std::pair{0x80, ArchiveError::generic}, std::pair{0x7F, ArchiveError::endOfFile}}) {
    const std::uint8_t low = top == 0x80 ? 0 : 0xFF;
    Load(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, low, low, low, top, 0, 0, 0, 0}),
         [&](LinkArchive& archive) {
           try {
             archive.ReadString();
             FAIL() << "no error";
           } catch (const ArchiveError& error) {
             EXPECT_EQ(error.cause(), cause);
           }
         });
  }
}

struct PrefixCase {
  std::size_t length;
  std::string prefix;  // the bytes after the Unicode marker
};

class WriteStringPrefix : public LinkArchiveTest,
                          public ::testing::WithParamInterface<PrefixCase> {};

TEST_P(WriteStringPrefix, IsTheShortestTheRuleAllowsAndReadsBack) {
  const std::u16string text(GetParam().length, u'w');
  const std::string bytes = Store([&](LinkArchive& archive) { archive.WriteString(text); });
  const std::string expectedHead = Bytes({0xFF, 0xFE, 0xFF}) + GetParam().prefix;
  ASSERT_EQ(bytes.size(), expectedHead.size() + 2 * text.size());
  EXPECT_EQ(bytes.substr(0, expectedHead.size()), expectedHead);
  Load(bytes, [&](LinkArchive& archive) { EXPECT_EQ(archive.ReadString(), text); });
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, WriteStringPrefix,
    ::testing::Values(PrefixCase{0, Bytes({0x00})}, PrefixCase{254, Bytes({0xFE})},
                      PrefixCase{255, Bytes({0xFF, 0xFF, 0x00})},
                      PrefixCase{0xFFFD, Bytes({0xFF, 0xFD, 0xFF})},
                      PrefixCase{0xFFFE, Bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
                      PrefixCase{0xFFFF, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00})},
                      PrefixCase{0x10000, Bytes({0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00})}),
    [](const auto& p) { return "Length" + std::to_string(p.param.length); });

struct CountCase {
  std::uint32_t count;
  std::string bytes;
};

class CountEncoding : public LinkArchiveTest, public ::testing::WithParamInterface<CountCase> {};

TEST_P(CountEncoding, WritesAndReadsBothForms) {
  EXPECT_EQ(Store([&](LinkArchive& archive) { archive.WriteCount(GetParam().count); }),
            GetParam().bytes);
  Load(GetParam().bytes,
       [&](LinkArchive& archive) { EXPECT_EQ(archive.ReadCount(), GetParam().count); });
}

INSTANTIATE_TEST_SUITE_P(Values, CountEncoding,
                         ::testing::Values(CountCase{0, Bytes({0, 0})}, CountCase{2, Bytes({2, 0})},
                                           CountCase{0xFFFE, Bytes({0xFE, 0xFF})},
                                           CountCase{0xFFFF, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0})},
                                           CountCase{0x12345678,
                                                     Bytes({0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12})}),
                         [](const auto& p) { return "Count" + std::to_string(p.param.count); });

TEST_F(LinkArchiveTest, IntegersAreLittleEndianTwosComplement) {
  const std::string bytes = Store([](LinkArchive& archive) {
    archive.WriteInt32(1);
    archive.WriteInt32(-2);
  });
  EXPECT_EQ(bytes, Bytes({1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
  Load(bytes, [](LinkArchive& archive) {
    EXPECT_EQ(archive.ReadInt32(), 1);
    EXPECT_EQ(archive.ReadInt32(), -2);
  });
}

TEST_F(LinkArchiveTest, WrongDirectionRaisesItsCause) {
  Load(Bytes({1, 0, 0, 0}), [](LinkArchive& archive) {
    try {
      archive.WriteInt32(1);
      FAIL() << "write on a loading archive";
    } catch (const ArchiveError& error) {
      EXPECT_EQ(error.cause(), ArchiveError::readOnly);
    }
  });
  Store([](LinkArchive& archive) {
    try {
      archive.ReadInt32();
      FAIL() << "read on a storing archive";
    } catch (const ArchiveError& error) {
      EXPECT_EQ(error.cause(), ArchiveError::writeOnly);
    }
  });
}

// Arrays of random records survive a write and a read, strings cut at their first NUL.
TEST_F(LinkArchiveTest, RandomArraysRoundTrip) {
  std::mt19937 random(20261208);
  auto randomText = [&] {
    const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 300)(random);
    std::u16string text;
    for (std::size_t i = 0; i < length; ++i) {
      const int pick = std::uniform_int_distribution<int>(0, 40)(random);
      text.push_back(
          pick == 0 ? u'\0'
                    : static_cast<char16_t>(std::uniform_int_distribution<int>(1, 0xFFFF)(random)));
    }
    return text;
  };
  auto cut = [](std::u16string text) { return text.substr(0, text.find(u'\0')); };
  for (int round = 0; round < 20; ++round) {
    LinkList array;
    const std::size_t count = std::uniform_int_distribution<std::size_t>(0, 40)(random);
    for (std::size_t i = 0; i < count; ++i) {
      array.records.push_back(Record(static_cast<std::int32_t>(random()),
                                     static_cast<std::int32_t>(random()), randomText(),
                                     randomText()));
    }
    const std::string bytes = StoreList(machine, array);
    LinkList read;
    ASSERT_EQ(LoadBytes(machine, bytes, read), LoadOutcome::loaded);
    ASSERT_EQ(read.records.size(), array.records.size());
    for (std::size_t i = 0; i < count; ++i) {
      auto expected = array.records[i];
      expected.link = cut(expected.link);
      expected.target = cut(expected.target);
      EXPECT_EQ(read.records[i], expected) << "round " << round << " record " << i;
    }
  }
}

}  // namespace
}  // namespace corvane_test
