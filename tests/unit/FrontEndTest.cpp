// corvane.exe on the simulated machine, with CorvaneService installed by its own -Service switch:
// the command line, the requests, the stored list and what the user reads.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "frontend/Arguments.h"
#include "engine/LinkList.h"
#include "frontend/FrontEnd.h"
#include "platform/UniqueHandle.h"
#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

constexpr char16_t kFrontEnd[] = u"C:\\Program Files\\Corvane\\corvane.exe";
constexpr char16_t kList[] = u"C:\\Program Files\\Corvane\\Corvane.dat";

struct ParseCase {
  const char* name;
  std::vector<std::u16string> arguments;
  // What the command holds, as "verb kind link target"; empty for a usage error.
  std::u16string parsed;
};

class ParseArguments : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseArguments, ReadsTheCommandOrRefusesIt) {
  std::u16string problem;
  const auto command = frontend::ParseArguments(GetParam().arguments, problem);
  ASSERT_EQ(command.has_value(), !GetParam().parsed.empty()) << Narrow(problem);
  if (!command) {
    EXPECT_FALSE(problem.empty());
    return;
  }
  const char16_t* verbs[] = {u"help", u"create", u"delete", u"add", u"remove", u"list", u"restore"};
  EXPECT_EQ(std::u16string(verbs[static_cast<int>(command->verb)]) + u" " + command->kind + u" " +
                command->link + u" " + command->target,
            GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseArguments,
    ::testing::Values(
        ParseCase{"Create", {u"CREATE", u"File", u"b.txt", u"a.txt"}, u"create File b.txt a.txt"},
        ParseCase{"DriveLetterUpperCased", {u"create", u"drive", u"x:", u"D:\\"},
                  u"create Drive X: D:\\"},
        ParseCase{"Delete", {u"delete", u"folder", u"j"}, u"delete Folder j "},
        ParseCase{"Add", {u"add", u"drive", u"Q:", u"data"}, u"add Drive Q: data"},
        ParseCase{"Remove", {u"Remove", u"DRIVE", u"q:"}, u"remove Drive Q: "},
        ParseCase{"List", {u"list"}, u"list   "},
        ParseCase{"Help", {u"/?"}, u"help   "},
        ParseCase{"Nothing", {}, u""},
        ParseCase{"UnknownVerb", {u"make", u"file", u"a", u"b"}, u""},
        ParseCase{"UnknownKind", {u"create", u"link", u"a", u"b"}, u""},
        ParseCase{"CreateWithoutTarget", {u"create", u"file", u"a"}, u""},
        ParseCase{"DeleteWithTarget", {u"delete", u"file", u"a", u"b"}, u""},
        ParseCase{"AddFolder", {u"add", u"folder", u"a", u"b"}, u""},
        ParseCase{"NoDriveLetter", {u"create", u"drive", u"XY:", u"D:\\"}, u""},
        ParseCase{"ListWithArgument", {u"list", u"all"}, u""},
        ParseCase{"KindMissing", {u"remove"}, u""}),
    [](const auto& p) { return std::string(p.param.name); });

// The service installed as an administrator installs it, and the front end beside it.
class FrontEnd : public ::testing::Test {
 protected:
  FrontEnd() {
    machine.InstallProgram(kServiceImage, ServiceProgram());
    EXPECT_EQ(machine.RunProgram(kServiceImage, u"\"" + std::u16string(kServiceImage) + u"\" -Service"),
              0u);
    machine.MakeDirectories(u"C:\\Program Files\\Corvane");
    machine.MakeDirectories(u"C:\\work\\data");
    machine.PutFile(u"C:\\work\\a.txt", "text");
  }

  // Runs corvane with these arguments from C:\work.
  win::DWORD Run(std::vector<std::u16string> arguments) {
    machine.InstallProgram(kFrontEnd, sim::Program{[arguments] {
                             win::SetCurrentDirectoryW(u"C:\\work");
                             return frontend::RunFrontEnd(arguments);
                           },
                                                   {}});
    return machine.RunProgram(kFrontEnd, u"corvane");
  }

  // The list's records as "action,kind,link,target" lines.
  std::vector<std::string> StoredRecords() {
    LoadedLinkList list;
    EXPECT_EQ(LoadLinkList(kList, list), LoadOutcome::loaded);
    std::vector<std::string> records;
    for (const auto& r : list.links.records) {
      records.push_back(std::to_string(static_cast<int>(r.action)) + "," +
                        std::to_string(static_cast<int>(r.kind)) + "," + Narrow(r.link) + "," +
                        Narrow(r.target));
    }
    return records;
  }

  sim::Machine machine;
};

TEST_F(FrontEnd, RequestsResolvePathsAndTellTheOutcome) {
  EXPECT_EQ(Run({u"create", u"file", u"b.txt", u"a.txt"}), 0u);
  EXPECT_EQ(machine.LinkCount(u"C:\\work\\b.txt"), 2u);
  EXPECT_EQ(Run({u"create", u"drive", u"x:", u"data"}), 0u);
  EXPECT_EQ(machine.DosDevice(u"X:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
  EXPECT_EQ(Run({u"create", u"file", u"c.txt", u"missing.txt"}), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Run({u"delete", u"drive", u"X:"}), 0u);
  EXPECT_TRUE(machine.DosDevice(u"X:").empty());
  EXPECT_EQ(machine.ConsoleText(),
            "The operation completed successfully. (code 0)\r\n"
            "The operation completed successfully. (code 0)\r\n"
            "The system cannot find the file specified. (code 2)\r\n"
            "The operation completed successfully. (code 0)\r\n");
}

TEST_F(FrontEnd, UsageErrorsExitWithInvalidParameter) {
  EXPECT_EQ(Run({u"create", u"file", u"only-a-link"}), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(machine.ConsoleText().find("corvane: create needs a link and a target\r\nUsage:"), 0u);
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"--help"}), 0u);
  EXPECT_EQ(machine.StandardOutput().find("Usage:"), 0u);
}

struct StartFailureCase {
  const char* name;
  std::function<void(sim::Machine&)> arrange;
  win::DWORD exitCode;
  std::string advice;  // the first line on standard error
};

class StartFailures : public FrontEnd, public ::testing::WithParamInterface<StartFailureCase> {};

TEST_P(StartFailures, SayWhatToDo) {
  GetParam().arrange(machine);
  EXPECT_EQ(Run({u"restore"}), GetParam().exitCode);
  const std::string shown = machine.ConsoleText();
  EXPECT_EQ(shown.substr(0, shown.find("\r\n")), GetParam().advice);
}

void SetStartType(win::DWORD startType) {
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  win::UniqueService service(
      win::OpenServiceW(manager.Get(), u"CorvaneService", win::SERVICE_CHANGE_CONFIG));
  win::ChangeServiceConfigW(service.Get(), win::SERVICE_NO_CHANGE, startType,
                            win::SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartFailures,
    ::testing::Values(
        StartFailureCase{"NotInstalled",
                         [](sim::Machine& m) {
                           m.RunProgram(kServiceImage,
                                        u"\"" + std::u16string(kServiceImage) + u"\" -UnregServer");
                         },
                         win::ERROR_SERVICE_DOES_NOT_EXIST,
                         "The CorvaneService service is not installed. Install it from an "
                         "elevated command prompt with: CorvaneService.exe -Service"},
        StartFailureCase{"NoAdministrator", [](sim::Machine& m) { m.SetAdministrator(false); },
                         win::ERROR_ACCESS_DENIED,
                         "Only administrators may start CorvaneService. Run corvane from an "
                         "elevated command prompt (Run as administrator)."},
        StartFailureCase{"Disabled", [](sim::Machine&) { SetStartType(win::SERVICE_DISABLED); },
                         win::ERROR_SERVICE_DISABLED,
                         "The CorvaneService service is disabled. Set it to start automatically "
                         "with CorvaneAutoStart.exe (or in services.msc) and try again."},
        StartFailureCase{"StillBusy",
                         [](sim::Machine& m) {
                           m.HoldServiceRunning(u"CorvaneService");
                           m.FailNext("Sleep", 0, 1000);
                         },
                         win::ERROR_SERVICE_ALREADY_RUNNING,
                         "CorvaneService is still busy with another request. Try again in a "
                         "moment."}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FrontEnd, AddListRemoveKeepTheListAndTheMapping) {
  EXPECT_EQ(Run({u"add", u"drive", u"q:", u"data"}), 0u);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"elsewhere"}), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Run({u"create", u"drive", u"R:", u"C:\\work"}), 0u);
  EXPECT_EQ(Run({u"add", u"drive", u"S:", u"C:\\work"}), 0u);
  EXPECT_EQ(Run({u"delete", u"drive", u"S:"}), 0u);
  const std::size_t before = machine.StandardOutput().size();
  EXPECT_EQ(Run({u"list"}), 0u);
  EXPECT_EQ(machine.StandardOutput().substr(before), "");  // a console gets it as UTF-16
  EXPECT_EQ(StoredRecords(),
            (std::vector<std::string>{"1,0,Q:,C:\\work\\data", "1,0,S:,C:\\work"}));
  EXPECT_EQ(Run({u"remove", u"drive", u"q:"}), 0u);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,S:,C:\\work"});
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
  EXPECT_EQ(Run({u"remove", u"drive", u"S:"}), 0u);  // stored, though not mapped now
  EXPECT_EQ(Run({u"remove", u"drive", u"T:"}), win::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(machine.Exists(std::u16string(kList) + u".new"));
  const std::string shown = machine.ConsoleText();
  EXPECT_NE(shown.find("Create Drive Q: -> C:\\work\\data  (mapped now)\r\n"
                       "Create Drive S: -> C:\\work  (not mapped now)\r\n"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("S: is no longer stored; it was not mapped.\r\n"), std::string::npos);
  EXPECT_NE(shown.find("T: was not stored.\r\n"), std::string::npos);
}

TEST_F(FrontEnd, RestoreMapsTheStoredDrives) {
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), 0u);
  EXPECT_EQ(Run({u"delete", u"drive", u"Q:"}), 0u);
  EXPECT_EQ(Run({u"restore"}), 0u);
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
}

// A list that cannot be used is never overwritten, and a write that fails leaves it as it was.
struct ListProblemCase {
  const char* name;
  std::function<void(sim::Machine&, win::UniqueFile&)> arrange;
  win::DWORD exitCode;
  bool mapped;  // Q: was mapped all the same
};

class ListProblems : public FrontEnd, public ::testing::WithParamInterface<ListProblemCase> {};

TEST_P(ListProblems, LeaveTheListAsItWas) {
  machine.PutFile(kList, std::string("\x01\x00\x01\x00\x00\x00\x00\x00\x00\x00\x02Y:\x07""C:\\data", 21));
  win::UniqueFile held;
  GetParam().arrange(machine, held);
  const auto before = machine.FileContent(kList);
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), GetParam().exitCode);
  held.Reset();
  EXPECT_EQ(machine.FileContent(kList), before);
  EXPECT_FALSE(machine.Exists(std::u16string(kList) + u".new"));
  EXPECT_EQ(machine.DosDevice(u"Q:").size(), GetParam().mapped ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ListProblems,
    ::testing::Values(
        ListProblemCase{"Damaged",
                        [](sim::Machine& m, win::UniqueFile&) {
                          m.PutFile(kList, std::string("\x05\x00garbage", 9));
                        },
                        win::ERROR_INVALID_DATA, false},
        ListProblemCase{"HeldByTheService",
                        [](sim::Machine& m, win::UniqueFile& held) {
                          held.Reset(win::CreateFileW(kList, win::GENERIC_READ, 0, nullptr,
                                                      win::OPEN_EXISTING, 0, nullptr));
                          m.FailNext("Sleep", 0, 1000);
                        },
                        win::ERROR_SHARING_VIOLATION, false},
        ListProblemCase{"WriteFails",
                        [](sim::Machine& m, win::UniqueFile&) {
                          m.FailNext("WriteFile", 112);  // ERROR_DISK_FULL
                        },
                        112, true},
        ListProblemCase{"ReplaceFails",
                        [](sim::Machine& m, win::UniqueFile&) {
                          m.FailNext("MoveFileExW", win::ERROR_ACCESS_DENIED, 1000);
                          m.FailNext("Sleep", 0, 1000);
                        },
                        win::ERROR_ACCESS_DENIED, true}),
    [](const auto& p) { return std::string(p.param.name); });

// Paths of any characters print as they are: UTF-16 to a console, UTF-8 to a pipe.
TEST_F(FrontEnd, TextKeepsEveryCharacter) {
  machine.MakeDirectories(u"C:\\work\\Ünï日本");
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"Ünï日本"}), 0u);
  EXPECT_EQ(machine.ConsoleText(), "Q: is mapped onto C:\\work\\Ünï日本, now and at every boot.\r\n");
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"list"}), 0u);
  EXPECT_EQ(machine.StandardOutput(), "Create Drive Q: -> C:\\work\\Ünï日本  (mapped now)\r\n");
}

}  // namespace
}  // namespace corvane_test
