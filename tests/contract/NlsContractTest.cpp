// ANSI text from a link list is converted with the thread's ANSI code page.
#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

constexpr win::DWORD kUnset = 0xdeadbeef;

TEST_F(ContractTest, ThreadAnsiCodePage1252ConvertsTheHighBytes) {
  if (win::GetACP() != 1252) GTEST_SKIP() << "the ANSI code page here is " << win::GetACP();
  const char text[] =
      "\x80\xE9\x9F"
      "a";
  EXPECT_EQ(win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, text, 4, nullptr, 0), 4);
  char16_t wide[8] = {};
  ASSERT_EQ(win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, text, 4, wide, 8), 4);
  EXPECT_EQ(std::u16string(wide, 4), u"\u20AC\u00E9\u0178a");
}

TEST_F(ContractTest, ConversionIntoTooSmallABufferFails) {
  char16_t wide[2] = {};
  win::SetLastError(kUnset);
  EXPECT_EQ(win::MultiByteToWideChar(win::CP_THREAD_ACP, 0, "abc", 3, wide, 2), 0);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(ContractTest, MalformedUtf8BecomesReplacementCharacters) {
  char16_t wide[8] = {};
  const int units = win::MultiByteToWideChar(win::CP_UTF8, 0, "a\xC3(b", 4, wide, 8);
  EXPECT_EQ(std::u16string(wide, static_cast<std::size_t>(units)), u"a\uFFFD(b");
}

}  // namespace
}  // namespace contract
