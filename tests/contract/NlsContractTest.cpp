// ANSI text from a link list is converted with the thread's ANSI code page; UTF-8 goes both ways.
#include <string>
#include <string_view>

#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

constexpr win::DWORD kUnset = 0xdeadbeef;

TEST_F(ContractTest, ThreadAnsiCodePage1252ConvertsTheHighBytes) {
  if (AnsiCodePage() != 1252) GTEST_SKIP() << "the ANSI code page here is " << AnsiCodePage();
  const char text[] =
      "\x80\xE9\x9F"
      "a";
  EXPECT_EQ(win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, text, 4, nullptr, 0), 4);
  char16_t wide[8] = {};
  ASSERT_EQ(win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, text, 4, wide, 8), 4);
  EXPECT_EQ(std::u16string(wide, 4), u"\u20AC\u00E9\u0178a");
}

// A character the code page lacks, and has no look-alike for, becomes its default character.
// Names compared as the file system compares them: folded beyond ASCII, ordered by code unit.
TEST_F(ContractTest, OrdinalComparisonFoldsCaseWhenAsked) {
  const char16_t a[] = u"\\??\\C:\\Donn\u00E9es";
  const char16_t b[] = u"\\??\\c:\\DONN\u00C9ES";
  EXPECT_EQ(win::CompareStringOrdinal(a, -1, b, -1, win::TRUE), win::CSTR_EQUAL);
  EXPECT_EQ(win::CompareStringOrdinal(b, -1, a, -1, win::FALSE), win::CSTR_GREATER_THAN);
  EXPECT_EQ(win::CompareStringOrdinal(a, 5, b, 6, win::TRUE), win::CSTR_LESS_THAN);
}

TEST_F(ContractTest, ThreadAnsiCodePage1252MarksTheCharactersItLacks) {
  if (AnsiCodePage() != 1252) GTEST_SKIP() << "the ANSI code page here is " << AnsiCodePage();
  char text[4] = {'#', '#', '#', '#'};
  win::BOOL usedDefault = win::FALSE;
  win::SetLastError(kUnset);
  EXPECT_EQ(win::WideCharToMultiByte(win::CP_THREAD_ACP, 0, u"\u20AC\u65E5", 2, text, 4, nullptr,
                                     &usedDefault),
            2);
  EXPECT_EQ(std::string(text, 3), "\x80?#");
  EXPECT_NE(usedDefault, win::FALSE);
  EXPECT_EQ(win::GetLastError(), kUnset);
}

TEST_F(ContractTest, ConversionIntoTooSmallABufferFails) {
  char16_t wide[2] = {};
  win::SetLastError(kUnset);
  EXPECT_EQ(win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, "abc", 3, wide, 2), 0);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
}

struct Utf8Case {
  const char* label;
  const char* bytes;
  const char16_t* text;
};

class Utf8Test : public ContractTest, public ::testing::WithParamInterface<Utf8Case> {};

// No character comes out of a form that does not encode it.
TEST_P(Utf8Test, DecodesOrReplaces) {
  const std::string bytes = GetParam().bytes;
  char16_t wide[16] = {};
  win::SetLastError(kUnset);
  const int units = win::MultiByteToWideChar(win::CP_UTF8, 0, bytes.data(),
                                             static_cast<int>(bytes.size()), wide, 16);
  EXPECT_EQ(std::u16string(wide, static_cast<std::size_t>(units > 0 ? units : 0)), GetParam().text);
  EXPECT_EQ(win::GetLastError(), kUnset);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Test,
    ::testing::Values(Utf8Case{"Truncated", "a\xC3(b", u"a\uFFFD(b"},
                      Utf8Case{"TruncatedAtTheEnd", "a\xE2\x82", u"a\uFFFD"},
                      Utf8Case{"OverlongTwoBytes", "\xC0\xAF", u"\uFFFD\uFFFD"},
                      Utf8Case{"OverlongThreeBytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD"},
                      Utf8Case{"OverlongFourBytes", "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
                      Utf8Case{"EncodedHighSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD"},
                      Utf8Case{"EncodedLowSurrogate", "\xED\xBF\xBF", u"\uFFFD\uFFFD"},
                      Utf8Case{"PastTheLastCodePoint", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
                      Utf8Case{"FiveByteForm", "\xF8\x88\x80\x80\x80",
                               u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
                      Utf8Case{"LastBeforeSurrogates", "\xED\x9F\xBF", u"\uD7FF"},
                      Utf8Case{"LastOfThePlane", "\xEF\xBF\xBF", u"\uFFFF"},
                      Utf8Case{"Supplementary", "\xF0\x9F\x98\x80", u"\U0001F600"}),
    [](const ::testing::TestParamInfo<Utf8Case>& c) { return std::string(c.param.label); });

struct ToUtf8Case {
  const char* label;
  std::u16string_view text;
  std::string_view bytes;
};

class ToUtf8Test : public ContractTest, public ::testing::WithParamInterface<ToUtf8Case> {};

// The size first, then a buffer one byte short, then one that fits.
TEST_P(ToUtf8Test, EncodesAfterTheSizeQuery) {
  const ToUtf8Case& c = GetParam();
  const int units = static_cast<int>(c.text.size());
  win::SetLastError(kUnset);
  const int needed =
      win::WideCharToMultiByte(win::CP_UTF8, 0, c.text.data(), units, nullptr, 0, nullptr, nullptr);
  ASSERT_EQ(needed, static_cast<int>(c.bytes.size())) << win::GetLastError();
  std::string out(c.bytes.size() + 1, '#');
  EXPECT_EQ(win::WideCharToMultiByte(win::CP_UTF8, 0, c.text.data(), units, out.data(), needed - 1,
                                     nullptr, nullptr),
            0);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  win::SetLastError(kUnset);
  EXPECT_EQ(win::WideCharToMultiByte(win::CP_UTF8, 0, c.text.data(), units, out.data(), needed,
                                     nullptr, nullptr),
            needed);
  EXPECT_EQ(out, std::string(c.bytes) + "#");
  EXPECT_EQ(win::GetLastError(), kUnset);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToUtf8Test,
    ::testing::Values(ToUtf8Case{"OneTwoThreeAndFourBytes", u"a\u00E9\u65E5\U0001D11E",
                                 "a\xC3\xA9\xE6\x97\xA5\xF0\x9D\x84\x9E"},
                      // Windows Vista on: an unpaired surrogate becomes U+FFFD.
                      ToUtf8Case{"UnpairedSurrogate",
                                 u"a\xD834"
                                 u"b",
                                 "a\xEF\xBF\xBD"
                                 "b"}),
    [](const ::testing::TestParamInfo<ToUtf8Case>& c) { return std::string(c.param.label); });

}  // namespace
}  // namespace contract
