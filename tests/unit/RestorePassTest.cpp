// A start without arguments: the stored drive mappings are made again, and nothing else.
#include "tests/unit/ListBytes.h"
#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

const std::u16string kListPath = u"C:\\Program Files\\Corvane\\Corvane.dat";

class RestorePass : public ServiceHarness {
 protected:
  void WriteList(std::vector<CHardLink> records) {
    HardLinkArray array;
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
             Record(1, 0, u"k:", u"C:\\lower")});
  const auto run = StartService();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(machine.DosDevice(u"G:"), std::vector<std::u16string>{u"\\??\\C:\\seven"});
  EXPECT_EQ(machine.DosDevice(u"J:"), std::vector<std::u16string>{u"\\??\\C:\\minus"});
  EXPECT_TRUE(machine.DosDevice(u"H:").empty());
  EXPECT_TRUE(machine.DosDevice(u"I:").empty());
  EXPECT_TRUE(machine.DosDevice(u"FOO").empty() && machine.DosDevice(u"AA:").empty());
  EXPECT_EQ(machine.DosDevice(u"K:"), std::vector<std::u16string>{u"\\??\\C:\\lower"});
  EXPECT_FALSE(machine.Exists(u"C:\\s\\junction"));
  EXPECT_FALSE(machine.Exists(u"C:\\s\\b.txt"));
}

TEST_F(RestorePass, AFailingRecordDoesNotStopThePass) {
  WriteList({Record(1, 0, u"K:", u"C:\\one"), Record(1, 0, u"L:", u"C:\\two"),
             Record(1, 0, u"M:", u"C:\\three")});
  int calls = 0;
  machine.OnCall("DefineDosDeviceW", [&] {
    if (++calls == 2) machine.FailNext("DefineDosDeviceW", win::ERROR_ACCESS_DENIED);
  });
  const auto run = StartService();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(machine.DosDevice(u"K:").empty());
  EXPECT_TRUE(machine.DosDevice(u"L:").empty());
  EXPECT_FALSE(machine.DosDevice(u"M:").empty());
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
  EXPECT_EQ(EventTexts(), std::vector<std::u16string>{u"Service stopped"});
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RestoreOutcomes,
    ::testing::Values(RestoreCase{"Missing", std::nullopt, win::ERROR_FILE_NOT_FOUND},
                      RestoreCase{"Empty", Bytes({0, 0}), 0},
                      RestoreCase{"ZeroBytes", std::string(), 0},
                      RestoreCase{"CountPromisesMore", Bytes({2, 0}) + kWorkedExample.substr(2), 0},
                      RestoreCase{"HugeCount", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RestorePass, ListHeldByAnotherProcessGives2) {
  machine.PutFile(kListPath, kWorkedExample);
  win::UniqueFile holder(win::CreateFileW(kListPath.c_str(), win::GENERIC_WRITE, 0, nullptr,
                                          win::OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  EXPECT_EQ(StartService().exitCode, win::ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(machine.DosDevice(u"X:").empty());
}

TEST_F(RestorePass, ReadErrorExecutesNothingAndGivesZero) {
  machine.PutFile(kListPath, kWorkedExample);
  machine.FailNext("ReadFile", win::ERROR_READ_FAULT);
  EXPECT_EQ(StartService().exitCode, 0u);
  EXPECT_TRUE(machine.DosDevice(u"X:").empty());
}

}  // namespace
}  // namespace corvane_test
