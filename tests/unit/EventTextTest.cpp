// Event texts: printf-style conversions, and never more than the 256-unit buffer holds.
#include <gtest/gtest.h>

#include <vector>

#include "service/EventText.h"

namespace {

struct TextCase {
  const char* name;
  std::u16string format;
  std::vector<EventArgument> arguments;
  std::u16string text;
};

class EventTextCases : public ::testing::TestWithParam<TextCase> {};

TEST_P(EventTextCases, FormatAsPrintfWould) {
  EXPECT_EQ(FormatEventText(GetParam().format, GetParam().arguments), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, EventTextCases,
    ::testing::Values(
        TextCase{"Plain", u"Service stopped", {}, u"Service stopped"},
        TextCase{
            "Text", u"Bad %s request", {std::u16string_view(u"service")}, u"Bad service request"},
        TextCase{"Integers", u"%d/%u", {std::int64_t{-5}, std::int64_t{87}}, u"-5/87"},
        TextCase{"Percent", u"100%% done", {}, u"100% done"},
        TextCase{"UnknownConversionIsCopied", u"%x%", {}, u"%x%"},
        TextCase{"MissingArgumentPrintsNothing", u"a%sb", {}, u"ab"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(EventText, IsCutToTheBufferLessItsTerminator) {
  const std::u16string longText(400, u'x');
  EXPECT_EQ(FormatEventText(longText).size(), 255u);
  const std::vector<EventArgument> arguments{std::u16string_view(longText)};
  const std::u16string viaArgument = FormatEventText(u"ab%s", arguments);
  EXPECT_EQ(viaArgument.size(), 255u);
  EXPECT_EQ(viaArgument.substr(0, 3), u"abx");
}

}  // namespace
