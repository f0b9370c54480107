// Stepping through and upper-casing characters, and reading a number from text: what a
// registry script's reader relies on.
#include <cstdint>
#include <string>

#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

struct Step {
  const char* label;
  const char16_t* text;
  std::ptrdiff_t units;      // how far CharNextW moves, as Windows documents it
  std::ptrdiff_t wineUnits;  // what Wine 8 answers
};

class CharNext : public ContractTest, public ::testing::WithParamInterface<Step> {};

TEST_P(CharNext, StepsOverOneUserCharacter) {
  const Step& step = GetParam();
  const std::ptrdiff_t moved = win::CharNextW(step.text) - step.text;
  DocumentedNotMeasured();
  TODO_WINE_IF(step.wineUnits != step.units,
               "Wine 8: CharNextW steps one unit and ignores combining marks") {
    EXPECT_EQ(moved, step.units);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CharNext,
                         ::testing::Values(Step{"AtTheEnd", u"", 0, 0}, Step{"Ascii", u"ab", 1, 1},
                                           Step{"Tab", u"\tx", 1, 1},
                                           Step{"RingAbove", u"a\u030Ab", 2, 1},
                                           Step{"FourMarks", u"a\u0301\u0302\u0303\u0304b", 5, 1},
                                           Step{"MarkAtTheEnd", u"a\u0301", 2, 1},
                                           Step{"PrecomposedLetter", u"\u00E5b", 1, 1}),
                         [](const ::testing::TestParamInfo<Step>& c) {
                           return std::string(c.param.label);
                         });

struct Upper {
  const char* label;
  char16_t lower;
  char16_t upper;
};

class CharUpper : public ContractTest, public ::testing::WithParamInterface<Upper> {};

TEST_P(CharUpper, SingleCharacterInTheLowWord) {
  const auto in = reinterpret_cast<win::LPWSTR>(static_cast<std::uintptr_t>(GetParam().lower));
  const auto out = reinterpret_cast<std::uintptr_t>(win::CharUpperW(in));
  EXPECT_EQ(out, static_cast<std::uintptr_t>(GetParam().upper));
}

TEST_P(CharUpper, StringInPlace) {
  char16_t text[] = {u'x', GetParam().lower, u'1', u'\0'};
  EXPECT_EQ(win::CharUpperW(text), text);
  EXPECT_EQ(std::u16string(text), (std::u16string{u'X', GetParam().upper, u'1'}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CharUpper,
    ::testing::Values(
        Upper{"Ascii", u'q', u'Q'}, Upper{"Digit", u'7', u'7'}, Upper{"Brace", u'{', u'{'},
        Upper{"EAcute", u'\u00E9', u'\u00C9'}, Upper{"SharpSStays", u'\u00DF', u'\u00DF'},
        Upper{"YDiaeresis", u'\u00FF', u'\u0178'},
        // A capital in another block is not taken (measured on Wine 8).
        Upper{"MicroSignStays", u'\u00B5', u'\u00B5'}, Upper{"DotlessIStays", u'\u0131', u'\u0131'},
        Upper{"LongSStays", u'\u017F', u'\u017F'}, Upper{"FinalSigmaStays", u'\u03C2', u'\u03C2'},
        Upper{"Sigma", u'\u03C3', u'\u03A3'}, Upper{"Cyrillic", u'\u0434', u'\u0414'},
        Upper{"AlreadyUpper", u'\u00C9', u'\u00C9'}),
    [](const ::testing::TestParamInfo<Upper>& c) { return std::string(c.param.label); });

struct Number {
  const char* label;
  const char16_t* text;
  win::HRESULT result;
  win::ULONG value;  // when the result is S_OK
};

class VarUI4 : public ContractTest, public ::testing::WithParamInterface<Number> {};

TEST_P(VarUI4, FromStr) {
  win::ULONG value = 0xdeadbeef;
  const win::HRESULT result = win::VarUI4FromStr(GetParam().text, 0, 0, &value);
  EXPECT_EQ(result, GetParam().result) << std::hex << result;
  if (GetParam().result == win::S_OK) {
    EXPECT_EQ(value, GetParam().value);
  }
}

constexpr win::HRESULT kOverflow = win::DISP_E_OVERFLOW;
constexpr win::HRESULT kMismatch = win::DISP_E_TYPEMISMATCH;

INSTANTIATE_TEST_SUITE_P(
    Cases, VarUI4,
    ::testing::Values(
        Number{"Zero", u"0", win::S_OK, 0}, Number{"Decimal", u"42", win::S_OK, 42},
        Number{"LeadingZeros", u"0000000000000017", win::S_OK, 17},
        Number{"Largest", u"4294967295", win::S_OK, 4294967295u},
        Number{"TooLarge", u"4294967296", kOverflow, 0},
        Number{"FarTooLarge", u"99999999999999999999", kOverflow, 0},
        Number{"Blanks", u"  12 \t", win::S_OK, 12}, Number{"Plus", u"+7", win::S_OK, 7},
        Number{"Negative", u"-1", kOverflow, 0}, Number{"NegativeZero", u"-0", win::S_OK, 0},
        Number{"Empty", u"", kMismatch, 0}, Number{"OnlyBlanks", u"   ", kMismatch, 0},
        Number{"Word", u"abc", kMismatch, 0}, Number{"TrailingText", u"12abc", kMismatch, 0},
        Number{"InnerBlank", u"1 2", kMismatch, 0}, Number{"Hex", u"&H1F", win::S_OK, 31},
        Number{"HexLower", u"&hff", win::S_OK, 255},
        Number{"HexLargest", u"&HFFFFFFFF", win::S_OK, 4294967295u},
        Number{"Octal", u"&O17", win::S_OK, 15}, Number{"HexNoDigits", u"&H", kMismatch, 0},
        Number{"HexBadDigit", u"&HG", kMismatch, 0}, Number{"RoundsDown", u"0.4", win::S_OK, 0},
        Number{"HalfToEvenZero", u"0.5", win::S_OK, 0}, Number{"AboveHalf", u"0.6", win::S_OK, 1},
        Number{"HalfToEvenTwo", u"1.5", win::S_OK, 2},
        Number{"HalfToEvenTwoFromAbove", u"2.5", win::S_OK, 2},
        Number{"NegativeHalf", u"-0.5", win::S_OK, 0},
        Number{"NegativeAboveHalf", u"-0.6", kOverflow, 0},
        Number{"Thousands", u"1,000", win::S_OK, 1000},
        Number{"Exponent", u"15e2", win::S_OK, 1500}),
    [](const ::testing::TestParamInfo<Number>& c) { return std::string(c.param.label); });

TEST_F(ContractTest, VarUI4FromNullIsAMismatch) {
  win::ULONG value = 0xdeadbeef;
  EXPECT_EQ(win::VarUI4FromStr(nullptr, 0, 0, &value), win::DISP_E_TYPEMISMATCH);
}

}  // namespace
}  // namespace contract
