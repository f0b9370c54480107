// Reading the drive policy from HKEY_LOCAL_MACHINE: what is mapped, what is skipped and why, and
// keys that someone but SYSTEM and Administrators may change, which are not read at all.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/DrivePolicy.h"
#include "platform/UniqueHandle.h"
#include "platform/sim/Machine.h"
#include "tests/Utf8.h"

namespace {

using corvane_test::Utf8;

const auto HKLM = win::HKEY_LOCAL_MACHINE;
constexpr char16_t kDrives[] = u"SOFTWARE\\Policies\\Corvane\\Drives";
constexpr char16_t kLabels[] = u"SOFTWARE\\Policies\\Corvane\\Labels";

void Drive(sim::Machine& m, std::u16string_view letter, std::u16string_view folder,
           win::DWORD type = win::REG_SZ) {
  m.SetRegistryString(HKLM, kDrives, letter, folder, type);
}

// Runs `change` once, at the start of the `nth` RegEnumValueW call: the registry changing while
// the policy is read.
void OnEnumCall(sim::Machine& m, int nth, std::function<void()> change) {
  auto calls = std::make_shared<int>(0);
  m.OnCall("RegEnumValueW", [calls, nth, change] {
    if (++*calls == nth) change();
  });
}

struct Row {
  Row(const char* rowName, std::function<void(sim::Machine&)> rowSetup,
      std::vector<std::string> rowDrives, std::vector<std::string> rowSkipped,
      win::DWORD rowError = 0, std::string rowUntrusted = {})
      : name(rowName),
        setup(std::move(rowSetup)),
        drives(std::move(rowDrives)),
        skipped(std::move(rowSkipped)),
        error(rowError),
        untrusted(std::move(rowUntrusted)) {}
  const char* name;
  std::function<void(sim::Machine&)> setup;
  std::vector<std::string> drives;   // "S:=C:\Shared" or "S:=C:\Shared|label"
  std::vector<std::string> skipped;  // "Drives\S:: why", "Labels\S:: why"
  win::DWORD error = 0;
  std::string untrusted;
};

const Row kRows[] = {
    {"NoKeyIsNoPolicy", [](sim::Machine&) {}, {}, {}},
    {"FullPathIsMapped",
     [](sim::Machine& m) { Drive(m, u"S:", u"C:\\Shared"); },
     {"S:=C:\\Shared"},
     {}},
    {"LetterIsUpperCased",
     [](sim::Machine& m) { Drive(m, u"s:", u"C:\\Shared"); },
     {"S:=C:\\Shared"},
     {}},
    {"ExpandStringIsExpanded",
     [](sim::Machine& m) { Drive(m, u"T:", u"%SystemDrive%\\Shared", win::REG_EXPAND_SZ); },
     {"T:=C:\\Shared"},
     {}},
    {"NameThatIsNoLetterIsSkipped",
     [](sim::Machine& m) { Drive(m, u"AA:", u"C:\\Shared"); },
     {},
     {"Drives\\AA:: is not one letter and a colon"}},
    {"OtherTypeIsSkipped",
     [](sim::Machine& m) { m.SetRegistryDword(HKLM, kDrives, u"S:", 1); },
     {},
     {"Drives\\S:: is not a REG_SZ or REG_EXPAND_SZ value"}},
    {"RelativeFolderIsSkipped",
     [](sim::Machine& m) { Drive(m, u"S:", u"Shared"); },
     {},
     {"Drives\\S:: names a relative folder"}},
    {"DotDotIsSkipped",
     [](sim::Machine& m) { Drive(m, u"S:", u"C:\\Shared\\..\\Windows"); },
     {},
     {"Drives\\S:: names a relative folder"}},
    {"ShareIsSkipped",
     [](sim::Machine& m) { Drive(m, u"S:", u"\\\\server\\share"); },
     {},
     {"Drives\\S:: names a network or device path, not a local folder"}},
    {"MissingFolderIsSkipped",
     [](sim::Machine& m) { Drive(m, u"S:", u"C:\\Missing"); },
     {},
     {"Drives\\S:: names a folder that does not exist"}},
    {"FileIsSkipped",
     [](sim::Machine& m) { Drive(m, u"S:", u"C:\\Shared\\file.txt"); },
     {},
     {"Drives\\S:: names a file, not a folder"}},
    {"SameLetterTwiceKeepsTheFirst",
     [](sim::Machine& m) {
       Drive(m, u"S:", u"C:\\Shared");
       Drive(m, u"Z:", u"C:\\Other");
       // Between the first value and the second, S: is removed and made again as s:, so the
       // enumeration meets the letter a second time.
       OnEnumCall(m, 3, [] {
         win::UniqueKey key;
         win::RegOpenKeyExW(HKLM, kDrives, 0, win::KEY_SET_VALUE, key.Put());
         win::RegDeleteValueW(key.Get(), u"S:");
         const char16_t other[] = u"C:\\Other";
         win::RegSetValueExW(key.Get(), u"s:", 0, win::REG_SZ,
                             reinterpret_cast<const win::BYTE*>(other), sizeof other);
       });
     },
     {"S:=C:\\Shared"},
     {"Drives\\s:: names a letter the policy already maps"}},
    {"ValueThatGrowsIsReadAgain",
     [](sim::Machine& m) {
       Drive(m, u"S:", u"C:\\Other");
       OnEnumCall(m, 2, [&m] { Drive(m, u"S:", u"C:\\Shared\\Longer"); });
     },
     {"S:=C:\\Shared\\Longer"},
     {}},
    {"StringWithoutNulIsReadToItsEnd",
     [](sim::Machine& m) {
       m.SetRegistryValue(HKLM, kDrives, u"S:", win::REG_SZ,
                          {'C', 0, ':', 0, '\\', 0, 'O', 0, 't', 0, 'h', 0, 'e', 0, 'r', 0});
     },
     {"S:=C:\\Other"},
     {}},
    {"OddLengthIsSkipped",
     [](sim::Machine& m) {
       m.SetRegistryValue(HKLM, kDrives, u"S:", win::REG_SZ, {'C', 0, ':', 0, '\\'});
     },
     {},
     {"Drives\\S:: is damaged (an odd number of bytes)"}},
    {"TooLongIsSkipped",
     [](sim::Machine& m) {
       m.SetRegistryValue(HKLM, kDrives, u"S:", win::REG_SZ, std::vector<std::uint8_t>(70000, 'a'));
     },
     {},
     {"Drives\\S:: is too long for a folder"}},
    {"LabelIsRead",
     [](sim::Machine& m) {
       Drive(m, u"S:", u"C:\\Shared");
       m.SetRegistryString(HKLM, kLabels, u"s:", u"Team share");
     },
     {"S:=C:\\Shared|Team share"},
     {}},
    {"BadLabelIsSkipped",
     [](sim::Machine& m) {
       Drive(m, u"S:", u"C:\\Shared");
       m.SetRegistryString(HKLM, kLabels, u"S:", u"Team\tshare");
     },
     {"S:=C:\\Shared"},
     {"Labels\\S:: is not a REG_SZ label of 1 to 32 characters without control characters"}},
    {"LabelForALetterNotMappedIsSkipped",
     [](sim::Machine& m) {
       Drive(m, u"S:", u"C:\\Shared");
       m.SetRegistryString(HKLM, kLabels, u"T:", u"Team share");
     },
     {"S:=C:\\Shared"},
     {"Labels\\T:: labels a letter the policy does not map"}},
    {"KeyOwnedByAUserIsNotRead",
     [](sim::Machine& m) {
       Drive(m, u"S:", u"C:\\Shared");
       m.SetKeySecurity(HKLM, kDrives, u"O:S-1-5-21-1-2-3-1002");
     },
     {},
     {},
     win::ERROR_ACCESS_DENIED,
     "it is owned by S-1-5-21-1-2-3-1002"},
    {"KeyUsersMaySetIsNotRead",
     [](sim::Machine& m) {
       Drive(m, u"S:", u"C:\\Shared");
       m.SetKeySecurity(HKLM, kDrives, u"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;0x20003;;;BU)");
     },
     {},
     {},
     win::ERROR_ACCESS_DENIED,
     "S-1-5-32-545 may change it"},
    {"LabelsKeyUsersMaySetIsNotRead",
     [](sim::Machine& m) {
       Drive(m, u"S:", u"C:\\Shared");
       m.SetRegistryString(HKLM, kLabels, u"S:", u"Team share");
       m.SetKeySecurity(HKLM, kLabels, u"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;0x2;;;AU)");
     },
     {},
     {},
     win::ERROR_ACCESS_DENIED,
     "its Labels key: S-1-5-11 may change it"},
    {"InheritOnlyCreatorOwnerEntryIsTrusted",
     [](sim::Machine& m) {
       Drive(m, u"S:", u"C:\\Shared");
       m.SetKeySecurity(HKLM, kDrives,
                        u"O:BAD:P(A;CIIO;GA;;;CO)(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
     },
     {"S:=C:\\Shared"},
     {}},
};

class DrivePolicyTest : public ::testing::TestWithParam<Row> {};

TEST_P(DrivePolicyTest, ReadsWhatThePolicyMayGive) {
  const Row& row = GetParam();
  sim::Machine m;
  m.MakeDirectories(u"C:\\Shared\\Longer");
  m.MakeDirectories(u"C:\\Other");
  m.PutFile(u"C:\\Shared\\file.txt", "x");
  row.setup(m);

  const DrivePolicy policy = ReadDrivePolicy();

  std::vector<std::string> drives;
  for (const PolicyDrive& drive : policy.drives) {
    drives.push_back(Utf8(drive.letter) + "=" + Utf8(drive.folder) +
                     (drive.label.empty() ? "" : "|" + Utf8(drive.label)));
  }
  std::vector<std::string> skipped;
  for (const PolicyProblem& problem : policy.skipped) {
    const std::u16string_view key = problem.key;
    skipped.push_back(Utf8(key.substr(key.rfind(u'\\') + 1)) + "\\" + Utf8(problem.value) + ": " +
                      Utf8(problem.why));
  }
  EXPECT_EQ(drives, row.drives);
  EXPECT_EQ(skipped, row.skipped);
  EXPECT_EQ(policy.error, row.error);
  EXPECT_EQ(Utf8(policy.untrusted), row.untrusted);
  EXPECT_EQ(m.OpenRegistryKeys(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rules, DrivePolicyTest, ::testing::ValuesIn(kRows),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
