// A start without arguments: the stored drive mappings are made again, and nothing else.
#include <algorithm>

#include "engine/DriveLabel.h"
#include "engine/DrivePolicy.h"
#include "tests/unit/ListBytes.h"
#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

const std::u16string kListPath = u"C:\\Program Files\\Corvane\\Corvane.dat";

class RestorePass : public ServiceHarness {
 protected:
  void WriteList(std::vector<LinkRequest> records) {
    LinkList array;
    array.records = std::move(records);
    machine.PutFile(kListPath, StoreList(machine, array));
  }
};

TEST_F(RestorePass, WorkedExampleMapsXOntoData) {
  machine.PutFile(kListPath, kWorkedExample);
  const auto run = StartService();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(machine.DosDevice(u"X:"), std::vector<std::u16string>{u"\\??\\D:\\Data"});
  EXPECT_EQ(machine.FileContent(kListPath), kWorkedExample);
}

TEST_F(RestorePass, OnlyCreateRecordsOfDrivesAreExecuted) {
  machine.PutFile(u"C:\\s\\a.txt", "a");
  WriteList({Record(7, 0, u"G:", u"C:\\seven"), Record(1, 1, u"C:\\s\\junction", u"C:\\s"),
             Record(1, 2, u"C:\\s\\b.txt", u"C:\\s\\a.txt"), Record(1, 5, u"H:", u"C:\\five"),
             Record(0, 0, u"I:", u"C:\\deleted"), Record(-1, 0, u"J:", u"C:\\minus"),
             Record(1, 0, u"FOO", u"C:\\foo"), Record(1, 0, u"AA:", u"C:\\aa"),
             Record(1, 0, u"k:", u"C:\\lower"), Record(1, 0, u"A:", u"C:\\first"),
             Record(1, 0, u"@:", u"C:\\at")});
  const auto run = StartService();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(machine.DosDevice(u"G:"), std::vector<std::u16string>{u"\\??\\C:\\seven"});
  EXPECT_EQ(machine.DosDevice(u"J:"), std::vector<std::u16string>{u"\\??\\C:\\minus"});
  EXPECT_TRUE(machine.DosDevice(u"H:").empty());
  EXPECT_TRUE(machine.DosDevice(u"I:").empty());
  EXPECT_TRUE(machine.DosDevice(u"FOO").empty() && machine.DosDevice(u"AA:").empty());
  EXPECT_EQ(machine.DosDevice(u"K:"), std::vector<std::u16string>{u"\\??\\C:\\lower"});
  EXPECT_EQ(machine.DosDevice(u"A:"), std::vector<std::u16string>{u"\\??\\C:\\first"});
  EXPECT_TRUE(machine.DosDevice(u"@:").empty());
  EXPECT_FALSE(machine.Exists(u"C:\\s\\junction"));
  EXPECT_FALSE(machine.Exists(u"C:\\s\\b.txt"));
}

// Every record is still tried; the pass ends with the first failure's code, and each failed
// letter is named in an error event with the system's reason.
TEST_F(RestorePass, AFailingRecordDoesNotStopThePassButGivesItsCode) {
  WriteList({Record(1, 0, u"K:", u"C:\\one"), Record(1, 0, u"L:", u"C:\\two"),
             Record(1, 0, u"M:", u"C:\\three"), Record(1, 0, u"N:", u"C:\\four")});
  int calls = 0;
  machine.OnCall("DefineDosDeviceW", [&] {
    if (++calls == 2) machine.FailNext("DefineDosDeviceW", win::ERROR_ACCESS_DENIED);
    if (calls == 3) machine.FailNext("DefineDosDeviceW", 0);  // a failure without a code
  });
  const auto run = StartService();
  EXPECT_EQ(run.exitCode, win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(calls, 4);
  EXPECT_FALSE(machine.DosDevice(u"K:").empty());
  EXPECT_TRUE(machine.DosDevice(u"L:").empty());
  EXPECT_TRUE(machine.DosDevice(u"M:").empty());
  EXPECT_FALSE(machine.DosDevice(u"N:").empty());
  EXPECT_EQ(EventTexts(),
            (std::vector<std::u16string>{
                u"The drive letter L: could not be mapped onto C:\\two: Access is denied. (code 5)",
                u"The drive letter M: could not be mapped onto C:\\three: The system has no text "
                u"for it. (code 31)",
                u"Service stopped"}));
  EXPECT_EQ(machine.Events().front().type, win::EVENTLOG_ERROR_TYPE);
}

// The boot pass needs no labels and reads nothing after the records: a trailer, even a damaged
// one, and bytes an older writer might have left there do not stop it.
TEST_F(RestorePass, WhatFollowsTheRecordsIsNotRead) {
  for (const std::string& after :
       {kLabelTrailer, std::string("DriveLabels\xFF"), std::string(9, '\x5A')}) {
    machine.PutFile(kListPath, kWorkedExample + after);
    EXPECT_EQ(StartService().exitCode, 0u);
    EXPECT_EQ(machine.DosDevice(u"X:"), std::vector<std::u16string>{u"\\??\\D:\\Data"});
    ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"Global\\X:", nullptr));
  }
}

// The service defines in the global set, where a second definition would stack on the first.
TEST_F(RestorePass, RestoringTwiceLeavesOneDefinition) {
  machine.PutFile(kListPath, kWorkedExample);
  EXPECT_EQ(StartService().exitCode, 0u);
  EXPECT_EQ(StartService().exitCode, 0u);
  EXPECT_EQ(machine.DosDevice(u"X:"), std::vector<std::u16string>{u"\\??\\D:\\Data"});
}

TEST_F(RestorePass, AVerbatimTargetAlreadyInForceIsNotStacked) {
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\X:", u"c:\\DATA"));
  WriteList({Record(1, 0, u"X:", u"\\\\?\\C:\\data")});
  EXPECT_EQ(StartService().exitCode, 0u);
  EXPECT_EQ(machine.DosDevice(u"X:"), std::vector<std::u16string>{u"\\??\\c:\\DATA"});
  EXPECT_EQ(EventTexts(), std::vector<std::u16string>{u"Service stopped"});
}

// What the letter is now unknown, mapping it could stack on something: it is left alone.
TEST_F(RestorePass, ALetterThatCannotBeReadIsNotMapped) {
  WriteList({Record(1, 0, u"K:", u"C:\\one")});
  machine.FailNext("QueryDosDeviceW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(StartService().exitCode, win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine.DosDevice(u"K:").empty());
  EXPECT_EQ(EventTexts().front(),
            u"The drive letter K: was not mapped onto C:\\one, because what it is now could not "
            u"be read: Access is denied. (code 5)");
}

// A letter that stands for something else now (a disk plugged in since) is not mapped over.
TEST_F(RestorePass, ALetterTakenByAVolumeIsLeftAloneWithAWarning) {
  ASSERT_TRUE(
      win::DefineDosDeviceW(win::DDD_RAW_TARGET_PATH, u"Global\\H:", u"\\Device\\HarddiskVolume1"));
  WriteList({Record(1, 0, u"G:", u"C:\\one"), Record(1, 0, u"H:", u"C:\\data"),
             Record(1, 0, u"J:", u"C:\\two")});
  EXPECT_EQ(StartService().exitCode, win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(machine.DosDevice(u"H:"), std::vector<std::u16string>{u"\\Device\\HarddiskVolume1"});
  EXPECT_EQ(machine.DosDevice(u"G:"), std::vector<std::u16string>{u"\\??\\C:\\one"});
  EXPECT_EQ(machine.DosDevice(u"J:"), std::vector<std::u16string>{u"\\??\\C:\\two"});
  const auto events = machine.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, win::EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(events[0].strings.front(),
            u"The drive letter H: was not mapped onto C:\\data, because it stands for "
            u"\\Device\\HarddiskVolume1 now; it was left as it is.");
}

struct RestoreCase {
  const char* name;
  std::optional<std::string> list;  // none: no file
  win::DWORD exitCode;
};

class RestoreOutcomes : public RestorePass, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreOutcomes, ExecuteNothingAndGiveTheExitCode) {
  if (GetParam().list) machine.PutFile(kListPath, *GetParam().list);
  int executions = 0;
  machine.OnCall("DefineDosDeviceW", [&] { ++executions; });
  const auto run = StartService();
  EXPECT_EQ(run.exitCode, GetParam().exitCode);
  EXPECT_EQ(executions, 0);
  // A damaged list is told of: the mappings it held are not in force.
  std::vector<std::u16string> events{u"Service stopped"};
  if (GetParam().exitCode == win::ERROR_INVALID_DATA) {
    events.insert(events.begin(), u"The link list " + kListPath +
                                      u" cannot be read: it is damaged or not a link list, so no "
                                      u"drive was mapped.");
  }
  EXPECT_EQ(EventTexts(), events);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RestoreOutcomes,
    ::testing::Values(RestoreCase{"Missing", std::nullopt, win::ERROR_FILE_NOT_FOUND},
                      RestoreCase{"Empty", Bytes({0, 0}), 0},
                      RestoreCase{"ZeroBytes", std::string(), win::ERROR_INVALID_DATA},
                      RestoreCase{"CountPromisesMore", Bytes({2, 0}) + kWorkedExample.substr(2),
                                  win::ERROR_INVALID_DATA},
                      RestoreCase{"HugeCount", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
                                  win::ERROR_INVALID_DATA}),
    [](const auto& p) { return std::string(p.param.name); });

// Another program holding the list open: a reader that shares reading stops nothing; one that
// does not is waited for, with a warning after 5 s, and given up on after 30 s with 32.
struct HeldCase {
  const char* name;
  win::DWORD access;
  win::DWORD share;
  int releasedAtWait;  // 0: never
  win::DWORD exitCode;
  std::vector<win::WORD> eventTypes;
};

class ListHeld : public RestorePass, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(ListHeld, IsWaitedForAndNeverReadAsMissing) {
  machine.PutFile(kListPath, kWorkedExample);
  win::UniqueFile holder(win::CreateFileW(kListPath.c_str(), GetParam().access, GetParam().share,
                                          nullptr, win::OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  machine.FailNext("Sleep", 0, 1000);  // each 100-ms wait passes at once
  int waits = 0;
  machine.OnCall("Sleep", [&] {
    if (++waits == GetParam().releasedAtWait) holder.Reset();
  });
  EXPECT_EQ(StartService().exitCode, GetParam().exitCode);
  EXPECT_EQ(machine.DosDevice(u"X:").empty(), GetParam().exitCode != 0);
  std::vector<win::WORD> types;
  for (const auto& event : machine.Events()) types.push_back(event.type);
  EXPECT_EQ(types, GetParam().eventTypes);
}

constexpr win::WORD kInformation = win::EVENTLOG_INFORMATION_TYPE;
constexpr win::WORD kWarning = win::EVENTLOG_WARNING_TYPE;
constexpr win::WORD kError = win::EVENTLOG_ERROR_TYPE;

INSTANTIATE_TEST_SUITE_P(
    Holders, ListHeld,
    ::testing::Values(
        HeldCase{
            "ReaderSharingReading", win::GENERIC_READ, win::FILE_SHARE_READ, 0, 0, {kInformation}},
        HeldCase{"ReleasedAfterSixSeconds", win::GENERIC_WRITE, 0, 60, 0, {kWarning, kInformation}},
        HeldCase{"HeldThroughout",
                 win::GENERIC_WRITE,
                 0,
                 0,
                 win::ERROR_SHARING_VIOLATION,
                 {kWarning, kError, kInformation}}),
    [](const auto& p) { return std::string(p.param.name); });

// A list that another user owns or may change is not the machine's: nothing of it is mapped.
struct TrustCase {
  const char* name;
  const char16_t* security;
  win::DWORD exitCode;
};

class ListTrust : public RestorePass, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(ListTrust, OnlyAListOfSystemAndAdministratorsIsUsed) {
  machine.PutFile(kListPath, kWorkedExample);
  machine.SetSecurity(kListPath, GetParam().security);
  EXPECT_EQ(StartService().exitCode, GetParam().exitCode);
  EXPECT_EQ(machine.DosDevice(u"X:").empty(), GetParam().exitCode != 0);
  const auto events = machine.Events();
  ASSERT_FALSE(events.empty());
  if (GetParam().exitCode == 0) return;
  EXPECT_EQ(events.front().type, kError);
  EXPECT_TRUE(
      events.front().strings.front().starts_with(u"The link list " + kListPath + u" was not used"));
}

INSTANTIATE_TEST_SUITE_P(
    Owners, ListTrust,
    ::testing::Values(
        TrustCase{"OwnedByAUser", u"O:S-1-5-21-1000-2000-3000-1002", win::ERROR_ACCESS_DENIED},
        TrustCase{"UsersMayChangeIt", u"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1301bf;;;BU)",
                  win::ERROR_ACCESS_DENIED},
        TrustCase{"AUserMayChangeItsList", u"D:(A;;FA;;;BA)(A;;WD;;;S-1-5-21-1000-2000-3000-1002)",
                  win::ERROR_ACCESS_DENIED},
        TrustCase{"SystemsWithEveryoneReading",
                  u"O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;WD)", 0}),
    [](const auto& p) { return std::string(p.param.name); });

// A list that is there and cannot be opened is a failure of its own, never read as no list.
TEST_F(RestorePass, ListThatCannotBeOpenedIsNoMissingList) {
  machine.PutFile(kListPath, kWorkedExample);
  machine.SetSecurity(kListPath, u"O:BAD:P(D;;FA;;;SY)(A;;FA;;;BA)");
  machine.MakeDirectories(u"C:\\p");  // not even where policy maps letters
  machine.SetRegistryString(win::HKEY_LOCAL_MACHINE, kPolicyDrivesKey, u"P:", u"C:\\p");
  EXPECT_EQ(StartService().exitCode, win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine.DosDevice(u"X:").empty());
  EXPECT_TRUE(EventTexts().front().starts_with(u"The link list " + kListPath +
                                               u" could not be opened, so no stored drive"))
      << Narrow(EventTexts().front());
}

TEST_F(RestorePass, ReadErrorExecutesNothingAndIsNoSuccess) {
  machine.PutFile(kListPath, kWorkedExample);
  machine.FailNext("ReadFile", win::ERROR_READ_FAULT);
  EXPECT_EQ(StartService().exitCode, win::ERROR_INVALID_DATA);
  EXPECT_TRUE(machine.DosDevice(u"X:").empty());
}

// Policy's letters are mapped and labelled first, and win over the list: a letter stored onto
// another folder gives way, and comes back once the policy no longer names it; one the policy
// stops naming goes with its label; one that is something else now is left alone. A trigger
// start runs the same pass.
TEST_F(RestorePass, PolicyLettersWinOverTheListAndGiveBack) {
  for (const char16_t* folder : {u"C:\\p", u"C:\\q", u"C:\\stored"})
    machine.MakeDirectories(folder);
  const auto policy = [&](const char16_t* letter, const char16_t* folder) {
    machine.SetRegistryString(win::HKEY_LOCAL_MACHINE, kPolicyDrivesKey, letter, folder);
  };
  policy(u"P:", u"C:\\p");
  policy(u"S:", u"C:\\q");
  policy(u"T:", u"C:\\q");
  machine.SetRegistryString(win::HKEY_LOCAL_MACHINE, kPolicyLabelsKey, u"P:", u"Projects");
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\T:", u"C:\\stored"));  // not corvane's
  WriteList({Record(1, 0, u"S:", u"C:\\stored")});
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\S:", u"C:\\stored"));
  EXPECT_EQ(StartService({u"TriggerStarted"}).exitCode, win::ERROR_ALREADY_EXISTS);  // T:
  EXPECT_EQ(machine.DosDevice(u"P:"), std::vector<std::u16string>{u"\\??\\C:\\p"});
  EXPECT_EQ(machine.DosDevice(u"S:"), std::vector<std::u16string>{u"\\??\\C:\\q"});
  EXPECT_EQ(machine.DosDevice(u"T:"), std::vector<std::u16string>{u"\\??\\C:\\stored"});
  std::u16string label;
  EXPECT_EQ(ReadDriveLabel(u"P:", label), 0u);
  EXPECT_EQ(label, u"Projects");
  EXPECT_EQ(StartService().exitCode, win::ERROR_ALREADY_EXISTS);  // said once, not again
  const auto texts = EventTexts();
  EXPECT_EQ(
      std::ranges::count_if(texts,
                            [](const std::u16string& t) {
                              return t.starts_with(
                                  u"The drive letter S: is stored onto C:\\stored, but machine");
                            }),
      1);
  machine.DeleteRegistryTree(win::HKEY_LOCAL_MACHINE, kPolicyDrivesKey);
  policy(u"T:", u"C:\\q");
  EXPECT_EQ(StartService().exitCode, win::ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(machine.DosDevice(u"P:").empty());
  EXPECT_NE(ReadDriveLabel(u"P:", label), 0u);
  EXPECT_EQ(machine.DosDevice(u"S:"), std::vector<std::u16string>{u"\\??\\C:\\stored"});
  EXPECT_EQ(machine.DosDevice(u"T:"), std::vector<std::u16string>{u"\\??\\C:\\stored"});
  // A letter that cannot be mapped is said, and keeps the pass from 0.
  policy(u"U:", u"C:\\p");
  machine.FailNext("DefineDosDeviceW", win::ERROR_ACCESS_DENIED);
  EXPECT_NE(StartService().exitCode, 0u);
  EXPECT_EQ(std::ranges::count(EventTexts(),
                               u"The drive letter U: could not be mapped onto "
                               u"C:\\p for machine policy: Access is denied. (code 5)"),
            1);
  // Nothing given, nothing kept.
  EXPECT_FALSE(machine.GetRegistryValue(win::HKEY_LOCAL_MACHINE,
                                        u"SYSTEM\\CurrentControlSet\\Services\\CorvaneService",
                                        u"PolicyDrives"));
  // What was kept for a name that is no drive letter is never taken off, whatever it maps.
  machine.SetRegistryString(win::HKEY_LOCAL_MACHINE,
                            u"SYSTEM\\CurrentControlSet\\Services\\CorvaneService",
                            u"PolicyDrives", std::u16string_view(u"AB:\tC:\\p\t\0", 10),
                            win::REG_MULTI_SZ);
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\AB:", u"C:\\p"));
  StartService();
  EXPECT_EQ(machine.DosDevice(u"AB:"), std::vector<std::u16string>{u"\\??\\C:\\p"});
}

}  // namespace
}  // namespace corvane_test
