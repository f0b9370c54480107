// The desired-state file reader: what it takes from a file in list --json's form, and what it
// refuses, with the code and the place it names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/DesiredState.h"
#include "platform/sim/Machine.h"
#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

struct ReadCase {
  const char* name;
  std::string bytes;
  win::DWORD code;
  // Read: every entry as "Kind link target [label] line:column;". Refused: a part of the problem.
  std::string said;
};

std::string Entries(const std::vector<frontend::DesiredLink>& links) {
  const char* kinds[] = {"Drive", "Folder", "File"};
  std::string text;
  for (const frontend::DesiredLink& link : links) {
    text += std::string(kinds[static_cast<int>(link.kind)]) + " " + Narrow(link.link) + " " +
            Narrow(link.target) + (link.label.empty() ? "" : " [" + Narrow(link.label) + "]") +
            " " + std::to_string(link.line) + ":" + std::to_string(link.column) + ";";
  }
  return text;
}

class ReadDesiredState : public ::testing::TestWithParam<ReadCase> {
 protected:
  sim::Machine machine;
};

TEST_P(ReadDesiredState, TakesTheCreateEntriesOrSaysWhereItStopped) {
  std::vector<frontend::DesiredLink> links;
  std::u16string problem;
  EXPECT_EQ(frontend::ParseDesiredState(GetParam().bytes, links, problem), GetParam().code)
      << Narrow(problem);
  if (GetParam().code == 0) {
    EXPECT_EQ(Entries(links), GetParam().said);
    EXPECT_TRUE(problem.empty());
  } else {
    EXPECT_NE(Narrow(problem).find(GetParam().said), std::string::npos) << Narrow(problem);
    EXPECT_TRUE(links.empty());
  }
}

std::string Padded(std::string json, std::size_t size) {
  json.insert(1, size - json.size(), ' ');
  return json;
}

const std::string kDrive = R"({"action": "Create", "kind": "Drive", "link": "Q:", )";

INSTANTIATE_TEST_SUITE_P(
    Table, ReadDesiredState,
    ::testing::Values(
        ReadCase{"ListOutput",
                 "[\r\n  {\r\n    \"action\": \"Create\",\r\n    \"kind\": \"Drive\",\r\n"
                 "    \"link\": \"Q:\",\r\n    \"target\": \"C:\\\\work\\\\data\",\r\n"
                 "    \"mappedNow\": true\r\n  },\r\n  {\r\n    \"action\": \"Delete\",\r\n"
                 "    \"kind\": \"File\",\r\n    \"link\": \"C:\\\\gone\",\r\n"
                 "    \"target\": \"\"\r\n  },\r\n  {\r\n    \"action\": \"Create\",\r\n"
                 "    \"kind\": \"File\",\r\n    \"link\": \"\\\\\\\\server\\\\s\\\\b\",\r\n"
                 "    \"target\": \"\\\\\\\\?\\\\C:\\\\a\"\r\n  }\r\n]\r\n",
                 0, "Drive Q: C:\\work\\data 2:3;File \\\\server\\s\\b \\\\?\\C:\\a 15:3;"},
        ReadCase{"ByteOrderMarkAndAnyCase",
                 "\xEF\xBB\xBF[{\"action\": \"CREATE\", \"kind\": \"drive\", \"link\": \"q:\", "
                 "\"target\": \"C:\\\\\xC3\x9C\xC2\x80\", \"label\": \"Work\", \"future\": [1]},\n"
                 " {\"action\": \"create\", \"KIND\": \"x\", \"kind\": \"FOLDER\", \"link\": "
                 "\"C:\\\\j\", \"target\": \"C:\\\\\"}]",
                 0, "Drive Q: C:\\?? [Work] 1:2;Folder C:\\j C:\\ 2:2;"},
        ReadCase{"DeleteEntriesAreSkipped", R"([{"action": "delete", "kind": 7}])", 0, ""},
        ReadCase{"Malformed", "[\n  {\"action\": \"Create\",,}\n]", win::ERROR_INVALID_DATA,
                 "not valid JSON at line 2, column 23: syntax error"},
        ReadCase{"InvalidUtf8", "[\n \"\xC3\xA9\xFF\"]", win::ERROR_INVALID_DATA,
                 "not valid JSON at line 2, column 4: syntax error while parsing value - "
                 "invalid string: ill-formed UTF-8 byte."},
        ReadCase{"NotAnArray", " {\"a\": {\"k\": 1, \"k\": 2}}", win::ERROR_INVALID_DATA,
                 "no JSON array of links: its value at line 1, column 2 is not an array"},
        ReadCase{"EntryNotAnObject", R"([{"action": "Delete"}, 1])", win::ERROR_INVALID_DATA,
                 "Entry 2 of the file, at line 1, column 24, is not a JSON object."},
        ReadCase{"NoAction", R"([{"kind": "Drive"}])", win::ERROR_INVALID_DATA,
                 "Entry 1 of the file, at line 1, column 2, has no \"action\" of"},
        ReadCase{"MemberNamedTwice",
                 "[" + kDrive + R"("target": "C:\\t", "x": {"kind": 1}, "kind": "Folder"}])",
                 win::ERROR_INVALID_DATA, "names \"kind\" twice"},
        ReadCase{"UnknownKind", R"([{"action": "Create", "kind": "Junction"}])",
                 win::ERROR_INVALID_DATA,
                 "Entry 1 of the file, at line 1, column 2, has an unknown \"kind\""},
        ReadCase{"KindNumber", R"([{"action": "Create", "kind": 1, "link": "C:\\j"}])",
                 win::ERROR_INVALID_DATA, "has an unknown \"kind\""},
        ReadCase{"RelativeLink",
                 R"([{"action": "Create", "kind": "Folder", "link": "j", "target": "C:\\t"}])",
                 win::ERROR_INVALID_DATA, "has a \"link\" that is not a full path"},
        ReadCase{"RelativeTarget", "[" + kDrive + R"("target": "C:t"}])", win::ERROR_INVALID_DATA,
                 "has a \"target\" that is not a full path"},
        ReadCase{"DriveLinkNotALetter", R"([{"action": "Create", "kind": "Drive", "link": "C:\\",
                 "target": "C:\\t"}])",
                 win::ERROR_INVALID_DATA, "not a drive letter and a colon"},
        ReadCase{"LabelOf33",
                 "[" + kDrive + R"("target": "C:\\t", "label": ")" + std::string(33, 'L') + "\"}]",
                 win::ERROR_INVALID_DATA,
                 "Entry 1 of the file, at line 1, column 2, has a \"label\" that is not 1 to 32 "
                 "characters free of control characters."},
        ReadCase{"LabelWithAnEscape",
                 "[\n" + kDrive + R"("target": "C:\\t", "label": "a\u001b[2Jb"}])",
                 win::ERROR_INVALID_DATA, "line 2, column 1, has a \"label\" that is not 1 to 32"},
        ReadCase{"LabelEmpty", "[" + kDrive + R"("target": "C:\\t", "label": ""}])",
                 win::ERROR_INVALID_DATA, "has a \"label\" that is not"},
        ReadCase{"LabelOnAFolder",
                 R"([{"action": "Create", "kind": "Folder", "link": "C:\\j", "target": "C:\\t",
                 "label": "x"}])",
                 win::ERROR_INVALID_DATA, "has a \"label\", which only a drive has"},
        ReadCase{
            "NulInALink",
            R"([{"action": "Create", "kind": "File", "link": "C:\\a\u0000b", "target": "C:\\t"}])",
            win::ERROR_INVALID_DATA, "has a NUL character in its \"link\""},
        ReadCase{"Duplicate",
                 "[" + kDrive + R"("target": "C:\\t"},)" + "\n" +
                     R"({"action": "Create", "kind": "Drive", "link": "q:", "target": "c:\\T"}])",
                 win::ERROR_INVALID_DATA,
                 "names one link twice: entry 2 (line 2, column 1) and entry 1 (line 1, column 2) "
                 "both make the Drive "
                 "link Q:."},
        ReadCase{
            "TwoTargets",
            R"([{"action": "Create", "kind": "Folder", "link": "C:\\Work\\j", "target": "C:\\a"},
{"action": "Delete", "kind": "Folder", "link": "C:\\x", "target": ""},
{"action": "Create", "kind": "Folder", "link": "c:\\work\\J", "target": "C:\\b"}])",
            win::ERROR_INVALID_DATA,
            "entry 3 (line 3, column 1) and entry 1 (line 1, column 2) lead c:\\work\\J onto "
            "two targets, C:\\a and C:\\b."},
        ReadCase{"TwoLabels",
                 "[" + kDrive + R"("target": "C:\\t", "label": "A"}, )" + kDrive +
                     R"("target": "C:\\t", "label": "B"}])",
                 win::ERROR_INVALID_DATA, "give Q: two labels, \"A\" and \"B\"."},
        ReadCase{"FolderAndFile",
                 R"([{"action": "Create", "kind": "Folder", "link": "C:\\j", "target": "C:\\a"},
 {"action": "Create", "kind": "File", "link": "C:\\J", "target": "C:\\a"}])",
                 win::ERROR_INVALID_DATA, "make C:\\J both a Folder and a File link."},
        ReadCase{"LongestTarget",
                 "[" + kDrive + "\"target\": \"C:\\\\" + std::string(1020, 'a') + "\"}]", 0,
                 "Drive Q: C:\\" + std::string(1020, 'a') + " 1:2;"},
        ReadCase{"TargetTooLong",
                 "[" + kDrive + "\"target\": \"C:\\\\" + std::string(1021, 'a') + "\"}]",
                 win::ERROR_FILENAME_EXCED_RANGE, "has a \"target\" of 1024 characters or more"},
        ReadCase{"LargestFile", Padded("[]", frontend::kLargestDesiredStateFile), 0, ""},
        ReadCase{"FileTooLarge", Padded("[]", frontend::kLargestDesiredStateFile + 1),
                 win::ERROR_FILE_TOO_LARGE, "goes on past 1048576 bytes"},
        ReadCase{"DeepestNesting", R"([{"x": [["a]["]], "action": "Delete"}])", 0, ""},
        ReadCase{"TooDeep", "[{\"x\": [[\"a]\", \n [1]]]}]", win::ERROR_INVALID_DATA,
                 "nests values more than 4 levels deep at line 2, column 2."}),
    [](const auto& p) { return std::string(p.param.name); });

// A file that cannot be read gives the system's code and says which file; one that others may
// change is read, and says why it is not the administrators' alone.
TEST(ReadDesiredStateFile, ReadsTheFileOrGivesTheSystemsCode) {
  sim::Machine machine;
  machine.MakeDirectories(u"C:\\work");
  machine.PutFile(u"C:\\work\\links.json", "[" + kDrive + R"("target": "C:\\t"}])");
  std::vector<frontend::DesiredLink> links;
  std::u16string problem, untrusted;
  EXPECT_EQ(frontend::ReadDesiredState(u"C:\\work\\links.json", links, problem, untrusted), 0u);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0].link, u"Q:");
  EXPECT_EQ(untrusted, u"");
  machine.SetSecurity(u"C:\\work\\links.json", u"D:(A;;FA;;;BA)(A;;0x100116;;;BU)");
  EXPECT_EQ(frontend::ReadDesiredState(u"C:\\work\\links.json", links, problem, untrusted), 0u);
  EXPECT_EQ(Narrow(untrusted),
            "its permissions let users other than SYSTEM and Administrators change it");
  EXPECT_EQ(frontend::ReadDesiredState(u"C:\\work\\none.json", links, problem, untrusted),
            win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Narrow(problem),
            "C:\\work\\none.json cannot be read: The system cannot find the file "
            "specified. (code 2)");
  machine.PutFile(u"C:\\work\\big.json", Padded("[]", frontend::kLargestDesiredStateFile + 4096));
  EXPECT_EQ(frontend::ReadDesiredState(u"C:\\work\\big.json", links, problem, untrusted),
            win::ERROR_FILE_TOO_LARGE);
  // A read that fails without a code is still a failure.
  machine.FailNext("ReadFile", 0);
  EXPECT_EQ(frontend::ReadDesiredState(u"C:\\work\\links.json", links, problem, untrusted),
            win::ERROR_READ_FAULT);
}

}  // namespace
}  // namespace corvane_test
