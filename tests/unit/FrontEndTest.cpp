// corvane.exe on the simulated machine, with CorvaneService installed by its own -Service switch:
// the command line, the requests, the stored list and what the user reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/DrivePolicy.h"
#include "engine/Junction.h"
#include "engine/LinkList.h"
#include "engine/LinkWords.h"
#include "frontend/ApplyCommand.h"
#include "frontend/Arguments.h"
#include "frontend/DesiredState.h"
#include "frontend/DriveCommands.h"
#include "frontend/FrontEnd.h"
#include "frontend/Json.h"
#include "frontend/MachineLock.h"
#include "frontend/Messages.h"
#include "platform/ReparseRecord.h"
#include "platform/UniqueHandle.h"
#include "tests/HardLinks.h"
#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

constexpr char16_t kFrontEnd[] = u"C:\\Program Files\\Corvane\\corvane.exe";
constexpr char16_t kFolder[] = u"C:\\Program Files\\Corvane";
constexpr char16_t kList[] = u"C:\\Program Files\\Corvane\\Corvane.dat";
constexpr char16_t kListLock[] = u"C:\\Program Files\\Corvane\\CorvaneService.LinkList.lock";
constexpr char16_t kRequestLock[] = u"C:\\Program Files\\Corvane\\CorvaneService.Request.lock";
// The list and the two lock files, which stay once made.
const std::vector<std::u16string> kListAndLocks = {u"Corvane.dat", u"CorvaneService.LinkList.lock",
                                                   u"CorvaneService.Request.lock"};

constexpr win::DWORD kShareAll =
    win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE;

// Holds a lock file as another corvane does.
win::HANDLE HoldLock(const char16_t* path) {
  return win::CreateFileW(path, win::GENERIC_READ, 0, nullptr, win::OPEN_ALWAYS, 0, nullptr);
}

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
  const bool kinded = command->verb >= frontend::Verb::Create && command->verb <= frontend::Verb::Remove;
  EXPECT_EQ(std::u16string(verbs[static_cast<int>(command->verb)]) + u" " +
                (kinded ? KindName(command->kind) : u"") + u" " +
                command->link + u" " + command->target +
                (command->label.empty() ? u"" : u" [" + command->label + u"]"),
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
        ParseCase{"KindMissing", {u"remove"}, u""},
        ParseCase{"AddWithLabel",
                  {u"add", u"drive", u"q:", u"data", u"--LABEL", u"My Data"},
                  u"add Drive Q: data [My Data]"},
        ParseCase{"LabelOf32",
                  {u"add", u"drive", u"q:", u"d", u"--label", std::u16string(32, u'L')},
                  u"add Drive Q: d [" + std::u16string(32, u'L') + u"]"},
        ParseCase{"LabelOf33",
                  {u"add", u"drive", u"q:", u"d", u"--label", std::u16string(33, u'L')},
                  u""},
        ParseCase{"LabelEmpty", {u"add", u"drive", u"q:", u"d", u"--label", u""}, u""},
        ParseCase{"LabelWithTab", {u"add", u"drive", u"q:", u"d", u"--label", u"a\tb"}, u""},
        ParseCase{"LabelWithC1", {u"add", u"drive", u"q:", u"d", u"--label", u"a\u0085"}, u""},
        ParseCase{"LabelWithDel", {u"add", u"drive", u"q:", u"d", u"--label", u"a\u007F"}, u""},
        ParseCase{"LabelWithoutName", {u"add", u"drive", u"q:", u"d", u"--label"}, u""},
        ParseCase{"LabelBeforeTarget", {u"add", u"drive", u"q:", u"--label", u"x", u"d"}, u""},
        ParseCase{"LabelOnCreate", {u"create", u"drive", u"q:", u"d", u"--label", u"x"}, u""}),
    [](const auto& p) { return std::string(p.param.name); });

// The service installed as an administrator installs it, and the front end beside it.
class FrontEnd : public ::testing::Test {
 protected:
  FrontEnd() {
    InstallWithServiceSwitch(machine);
    machine.MakeDirectories(u"C:\\Program Files\\Corvane");
    machine.MakeDirectories(u"C:\\work\\data");
    machine.PutFile(u"C:\\work\\a.txt", "text");
  }

  // Runs corvane with these arguments from C:\work.
  win::DWORD Run(std::vector<std::u16string> arguments) {
    machine.InstallProgram(
        kFrontEnd, sim::Program{[arguments] { return frontend::RunFrontEnd(arguments); }, {}});
    machine.SetCurrentDirectory(u"C:\\work");
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
  EXPECT_EQ(Run({u"create", u"folder", u"j", u"\\\\server\\share"}), win::ERROR_BAD_PATHNAME);
  machine.FailNext("GetFullPathNameW", win::ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(Run({u"delete", u"file", u"b.txt"}), win::ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(machine.ConsoleText(),
            "The operation completed successfully. (code 0)\r\n"
            "The operation completed successfully. (code 0)\r\n"
            "The system cannot find the file specified. (code 2)\r\n"
            "The operation completed successfully. (code 0)\r\n"
            "The specified path is invalid. (code 161)\r\n"
            "A junction can only lead to a folder on this machine.\r\n"
            "corvane: that path cannot be used.\r\nThe filename or extension is too long. "
            "(code 206)\r\n");
}

// The service will not go through a link on the way that users may change, whoever owns it: the
// front end names it and who may.
TEST_F(FrontEnd, LinkOnTheWayThatUsersMayChangeIsNamed) {
  machine.MakeDirectories(u"C:\\work\\shared");
  machine.MakeDirectories(u"C:\\elsewhere");
  ASSERT_TRUE(CreateJunction(u"C:\\work\\shared", u"C:\\elsewhere"));
  machine.SetSecurity(u"C:\\work\\shared", u"O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;AU)");
  EXPECT_EQ(Run({u"create", u"folder", u"shared\\j", u"data"}), win::ERROR_UNTRUSTED_MOUNT_POINT);
  EXPECT_TRUE(machine.List(u"C:\\elsewhere").empty());
  EXPECT_EQ(machine.ConsoleText(),
            "The path cannot be traversed because it contains an untrusted mount point. (code "
            "448)\r\nC:\\work\\shared is a link to another place that users other than SYSTEM, "
            "the administrators and TrustedInstaller may change (S-1-5-11 may change it), so "
            "CorvaneService does not go through it to C:\\work\\shared\\j. Nothing was "
            "changed.\r\n");
  // A folder of a user's at the link is not made a junction.
  machine.MakeDirectories(u"C:\\work\\bobs");
  machine.SetSecurity(u"C:\\work\\bobs", u"O:S-1-5-21-1000-2000-3000-1002");
  EXPECT_EQ(Run({u"create", u"folder", u"bobs", u"data"}), win::ERROR_ALREADY_EXISTS);
  EXPECT_NE(machine.ConsoleText().find("C:\\work\\bobs is a folder that users other than SYSTEM, "
                                       "the administrators and TrustedInstaller may change (it "
                                       "is owned by S-1-5-21-1000-2000-3000-1002)"),
            std::string::npos);
}

// A success goes to standard output, a failure to standard error.
TEST_F(FrontEnd, OutcomesGoToTheirStreams) {
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"create", u"file", u"b.txt", u"a.txt"}), 0u);
  EXPECT_EQ(Run({u"create", u"file", u"c.txt", u"missing.txt"}), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(machine.StandardOutput(), "The operation completed successfully. (code 0)\r\n");
  EXPECT_EQ(machine.ConsoleText(), "The system cannot find the file specified. (code 2)\r\n");
}

TEST_F(FrontEnd, ListSaysWhenNothingIsStored) {
  EXPECT_EQ(Run({u"list"}), 0u);
  EXPECT_EQ(machine.ConsoleText(),
            "No links are stored in C:\\Program Files\\Corvane\\Corvane.dat.\r\n");
}

TEST_F(FrontEnd, ListWithoutTheServiceSaysHowToInstallIt) {
  machine.RunProgram(kServiceImage, u"x -UnregServer");
  EXPECT_EQ(Run({u"list"}), win::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(machine.ConsoleText().find("The CorvaneService service is not installed."), 0u);
}

TEST_F(FrontEnd, UsageErrorsExitWithInvalidParameter) {
  EXPECT_EQ(Run({u"create", u"file", u"only-a-link"}), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(machine.ConsoleText().find("corvane: create needs a link and a target\r\nUsage:"), 0u);
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"--help"}), 0u);
  EXPECT_EQ(machine.StandardOutput().find("Usage:"), 0u);
}

// A count of tries within a time budget: the simulated clock runs on while the test itself runs,
// so under a sanitizer or on a busy machine the last try or two may no longer fit in the budget.
void ExpectTriesOfABudget(int counted, int budgeted) {
  EXPECT_LE(counted, budgeted);
  EXPECT_GE(counted, budgeted - budgeted / 50);
}

struct StartFailureCase {
  const char* name;
  std::function<void(sim::Machine&)> arrange;
  win::DWORD exitCode;
  std::string advice;  // the first line on standard error
  // Only a busy service is tried again, for five seconds: 1, 2, 4 ... 32 ms apart, then 50 ms.
  int waits = 0;
  bool runsOn = false;  // started, and not awaited: it ends before the machine does
  // What `waits` counts; a service that starts is then asked for its stop, sleeping in between.
  const char* counted = "Sleep";
};

class StartFailures : public FrontEnd, public ::testing::WithParamInterface<StartFailureCase> {};

TEST_P(StartFailures, SayWhatToDo) {
  GetParam().arrange(machine);
  int waits = 0;
  machine.OnCall(GetParam().counted, [&waits] { ++waits; });
  EXPECT_EQ(Run({u"restore"}), GetParam().exitCode);
  ExpectTriesOfABudget(waits, GetParam().waits);
  const std::string shown = machine.ConsoleText();
  EXPECT_EQ(shown.substr(0, shown.find("\r\n")), GetParam().advice);
  while (GetParam().runsOn && machine.ControlService(u"CorvaneService",
                                                     win::SERVICE_CONTROL_INTERROGATE) !=
                                  win::ERROR_SERVICE_NOT_ACTIVE) {
    std::this_thread::yield();
  }
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
                         "The CorvaneService service is not installed. Install Corvane with its "
                         "package (msiexec /i corvane-VERSION-x64.msi), or from an elevated "
                         "command prompt with: CorvaneService.exe -Service"},
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
                         "moment.",
                         105},
        StartFailureCase{"CannotWait",
                         [](sim::Machine& m) {
                           m.FailNext("QueryServiceStatus", win::ERROR_NOT_ENOUGH_MEMORY);
                         },
                         win::ERROR_NOT_ENOUGH_MEMORY,
                         "CorvaneService was started, but corvane could not wait for it to "
                         "finish. See how it is doing with: sc query CorvaneService",
                         0, true},
        // The service manager gave up once on a start that reached nothing: tried again, the
        // pass runs and finds no list.
        StartFailureCase{"StartGivenUpOnce",
                         [](sim::Machine& m) {
                           m.FailNext("StartServiceW", win::ERROR_SERVICE_REQUEST_TIMEOUT);
                         },
                         win::ERROR_FILE_NOT_FOUND,
                         "The system cannot find the file specified. (code 2)", 2, false,
                         "StartServiceW"},
        // Every start given up on for a minute: 10, 20 ... 640 ms apart, then a second.
        StartFailureCase{"TooBusyToStart",
                         [](sim::Machine& m) {
                           m.FailNext("StartServiceW", win::ERROR_SERVICE_REQUEST_TIMEOUT, 1000);
                           m.FailNext("Sleep", 0, 1000);
                         },
                         win::ERROR_SERVICE_REQUEST_TIMEOUT,
                         "The machine was too busy to start CorvaneService: for a minute the "
                         "service control manager gave up waiting for it to start, time after "
                         "time. Nothing was changed; try again when the machine is less busy.",
                         66},
        // Held by a corvane of the test's own process; the waits pass no time.
        StartFailureCase{"OtherRequestsTooLong",
                         [](sim::Machine& m) {
                           HoldLock(kRequestLock);
                           m.FailNext("Sleep", 0, 1000);
                         },
                         win::ERROR_TIMEOUT,
                         "CorvaneService is carrying out another corvane's request; waiting for "
                         "it to finish.",
                         600}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FrontEnd, ServiceBusyForAMomentIsWaitedFor) {
  machine.HoldServiceRunning(u"CorvaneService");
  bool stopped = false;
  machine.OnCall("Sleep", [this, &stopped] {
    if (!std::exchange(stopped, true)) {
      machine.ControlService(u"CorvaneService", win::SERVICE_CONTROL_STOP);
    }
  });
  EXPECT_EQ(Run({u"create", u"drive", u"K:", u"data"}), 0u);
  EXPECT_EQ(machine.DosDevice(u"K:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
}

// A start given up on before the request was reached is made again; one that Wine's manager
// gave up on after the service had already stopped ran its request, which is not run twice.
TEST_F(FrontEnd, StartGivenUpOnIsMadeAgainOnlyWhenNothingRan) {
  machine.FailNext("StartServiceW", win::ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_EQ(Run({u"create", u"drive", u"K:", u"data"}), 0u);
  EXPECT_EQ(machine.DosDevice(u"K:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
  machine.AnswerStartsLateAsWine();
  EXPECT_EQ(Run({u"add", u"drive", u"L:", u"data"}), 0u);
  EXPECT_EQ(machine.DosDevice(u"L:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
  EXPECT_EQ(Run({u"remove", u"drive", u"L:"}), 0u);
  EXPECT_TRUE(machine.DosDevice(u"L:").empty());
}

// A service that reports running and stays so until it is told to stop.
std::atomic<bool> lingeringStop{false};
sim::Program LingeringService() {
  return {[] {
            static win::SERVICE_STATUS_HANDLE handle = nullptr;
            static win::SERVICE_STATUS status{};
            const win::LPSERVICE_MAIN_FUNCTIONW main = [](win::DWORD, win::LPWSTR*) {
              handle = win::RegisterServiceCtrlHandlerW(u"CorvaneService", [](win::DWORD control) {
                if (control == win::SERVICE_CONTROL_STOP) lingeringStop = true;
              });
              status = {win::SERVICE_WIN32_OWN_PROCESS, win::SERVICE_RUNNING,
                        win::SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
              win::SetServiceStatus(handle, &status);
              while (!lingeringStop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
              status.dwCurrentState = win::SERVICE_STOPPED;
              win::SetServiceStatus(handle, &status);
            };
            win::SERVICE_TABLE_ENTRYW table[] = {{const_cast<char16_t*>(u"CorvaneService"), main},
                                                 {nullptr, nullptr}};
            return win::StartServiceCtrlDispatcherW(table) ? 0u : win::GetLastError();
          },
          {}};
}

TEST_F(FrontEnd, RequestNotFinishedInAMinuteIsGivenUp) {
  lingeringStop = false;
  machine.InstallProgram(kServiceImage, LingeringService());
  int waits = 0;
  machine.OnCall("Sleep", [&waits] { ++waits; });
  machine.FailNext("Sleep", 0, 100000);
  EXPECT_EQ(Run({u"restore"}), win::ERROR_SERVICE_REQUEST_TIMEOUT);
  // A minute of asking: 1, 2 ... 32 ms apart, then 50 ms (some real time passes too).
  EXPECT_GE(waits, 1190);
  EXPECT_LE(waits, 1206);
  EXPECT_EQ(machine.ConsoleText(),
            "CorvaneService did not finish within 60 seconds; it may still be working. See how it "
            "is doing with: sc query CorvaneService\r\n");
  // Given up at once, the front end may leave before the service has reported running.
  win::DWORD stop = 0;
  while ((stop = machine.ControlService(u"CorvaneService", win::SERVICE_CONTROL_STOP)) ==
         win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
    std::this_thread::yield();
  }
  EXPECT_EQ(stop, 0u);
}

TEST_F(FrontEnd, AddListRemoveKeepTheListAndTheMapping) {
  EXPECT_EQ(Run({u"add", u"drive", u"q:", u"data"}), 0u);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"C:\\work"}), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), 0u);  // again: stored once, mapped once
  EXPECT_EQ(Run({u"create", u"drive", u"Q:", u"C:\\work"}), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Run({u"create", u"drive", u"V:", u"a.txt"}), win::ERROR_DIRECTORY);
  EXPECT_EQ(Run({u"add", u"drive", u"V:", u"missing"}), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Run({u"create", u"drive", u"R:", u"C:\\work"}), 0u);
  EXPECT_EQ(Run({u"add", u"drive", u"S:", u"C:\\work"}), 0u);
  EXPECT_EQ(Run({u"delete", u"drive", u"S:"}), 0u);
  const std::size_t before = machine.StandardOutput().size();
  EXPECT_EQ(Run({u"list"}), 0u);
  EXPECT_EQ(machine.StandardOutput().substr(before), "");  // a console gets it as UTF-16
  EXPECT_EQ(StoredRecords(),
            (std::vector<std::string>{"1,0,Q:,C:\\work\\data", "1,0,S:,C:\\work"}));
  EXPECT_EQ(Run({u"remove", u"drive", u"S:"}), 0u);  // stored, though not mapped now
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
  EXPECT_EQ(Run({u"remove", u"drive", u"q:"}), 0u);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
  EXPECT_EQ(Run({u"remove", u"drive", u"T:"}), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(machine.List(kFolder), kListAndLocks);
  const std::string shown = machine.ConsoleText();
  EXPECT_NE(shown.find("Create Drive Q: -> C:\\work\\data  (mapped now)\r\n"
                       "Create Drive S: -> C:\\work  (not mapped now)\r\n"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("Q: is no longer stored and no longer mapped.\r\n"), std::string::npos);
  EXPECT_NE(shown.find("S: is no longer stored; it was not mapped.\r\n"), std::string::npos);
  EXPECT_NE(shown.find("T: was not stored.\r\n"), std::string::npos);
}

constexpr char16_t kDriveIcons[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";

// A label is Explorer's name for the letter: set and changed by add, kept by an add without one,
// stored in the list, and taken off by remove, which leaves the user's own icon for the letter.
TEST_F(FrontEnd, LabelIsSetKeptAndTakenOff) {
  const auto label = [this](const char16_t* letter) {
    return machine.RegistryTree(win::HKEY_LOCAL_MACHINE,
                                std::u16string(kDriveIcons) + u"\\" + letter);
  };
  const auto storedLabels = [] {
    LoadedLinkList list;
    EXPECT_EQ(LoadLinkList(kList, list, AfterRecords::labels), LoadOutcome::loaded);
    return list.links.labels;
  };
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data", u"--label", u"Data"}), 0u);
  EXPECT_EQ(label(u"Q"),
            (std::vector<std::string>{"", "DefaultLabel", "DefaultLabel [] = REG_SZ \"Data\""}));
  EXPECT_EQ(storedLabels(), (std::vector<DriveLabel>{{u"Q:", u"Data"}}));
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data", u"--label", u"Music"}), 0u);
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), 0u);
  EXPECT_EQ(label(u"Q"),
            (std::vector<std::string>{"", "DefaultLabel", "DefaultLabel [] = REG_SZ \"Music\""}));
  EXPECT_EQ(storedLabels(), (std::vector<DriveLabel>{{u"Q:", u"Music"}}));
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"list"}), 0u);
  EXPECT_NE(machine.StandardOutput().find(
                "Create Drive Q: -> C:\\work\\data  (mapped now)  label \"Music\"\r\n"),
            std::string::npos)
      << machine.StandardOutput();

  machine.SetRegistryString(win::HKEY_LOCAL_MACHINE,
                            std::u16string(kDriveIcons) + u"\\Q\\DefaultIcon", u"",
                            u"C:\\icons\\q.ico");
  EXPECT_EQ(Run({u"add", u"drive", u"R:", u"C:\\work", u"--label", u"Work"}), 0u);
  EXPECT_EQ(Run({u"add", u"drive", u"U:", u"C:\\work", u"--label", u"Kept"}), 0u);
  EXPECT_EQ(Run({u"remove", u"drive", u"Q:"}), 0u);
  EXPECT_EQ(Run({u"remove", u"drive", u"R:"}), 0u);
  // The mapping and the record are gone all the same when the label cannot be taken off.
  machine.FailNext("RegDeleteKeyW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run({u"remove", u"drive", u"U:"}), 0u);
  EXPECT_NE(machine.ConsoleText().find("The label of U: could not be taken off"),
            std::string::npos);
  EXPECT_EQ(label(u"U"),
            (std::vector<std::string>{"", "DefaultLabel", "DefaultLabel [] = REG_SZ \"Kept\""}));
  EXPECT_EQ(label(u"Q"), (std::vector<std::string>{
                             "", "DefaultIcon", "DefaultIcon [] = REG_SZ \"C:\\icons\\q.ico\""}));
  EXPECT_TRUE(label(u"R").empty());
  EXPECT_EQ(machine.FileContent(kList), std::string(2, '\0'));  // no trailer without a label

  // A label that cannot be set fails the add; the mapping and the record stay.
  machine.FailNext("RegCreateKeyExW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run({u"add", u"drive", u"S:", u"data", u"--label", u"S"}), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,S:,C:\\work\\data"});
  EXPECT_FALSE(machine.DosDevice(u"S:").empty());
  EXPECT_NE(machine.ConsoleText().find("S: is mapped onto C:\\work\\data, now and at every boot, "
                                       "but its label could not be set:"),
            std::string::npos);
  // Stored but never set: nothing to take off, and nothing to tell.
  EXPECT_EQ(Run({u"remove", u"drive", u"S:"}), 0u);
  EXPECT_EQ(machine.ConsoleText().find("The label of S:"), std::string::npos);
  machine.SetAdministrator(false);
  EXPECT_EQ(Run({u"add", u"drive", u"T:", u"data", u"--label", u"T"}), win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(label(u"T").empty());
}

// Each change of a letter is told to the shell of the user's desktop, queued and not waited for.
TEST_F(FrontEnd, RestoreMapsTheStoredDrives) {
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), 0u);
  EXPECT_EQ(Run({u"delete", u"drive", u"Q:"}), 0u);
  EXPECT_EQ(Run({u"restore"}), 0u);
  EXPECT_EQ(Run({u"restore"}), 0u);  // what is in force already is not mapped again
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
  // The same mapping twice, as an older restore left it.
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\Q:", u"C:\\work\\data"));
  // A remove whose start is refused keeps the record, so that running it again finishes the job.
  machine.FailNext("StartServiceW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run({u"remove", u"drive", u"Q:"}), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
  EXPECT_NE(machine.ConsoleText().find("Q: is still stored; run the command again to finish."),
            std::string::npos);
  EXPECT_EQ(Run({u"remove", u"drive", u"Q:"}), 0u);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
  EXPECT_EQ(Run({u"delete", u"drive", u"Q:"}), win::ERROR_FILE_NOT_FOUND);
  using N = sim::ShellNotification;
  EXPECT_EQ(machine.ShellNotifications(),
            (std::vector<N>{N{win::SHCNE_DRIVEADD, win::SHCNF_PATHW, u"Q:\\"},
                            N{win::SHCNE_DRIVEREMOVED, win::SHCNF_PATHW, u"Q:\\"},
                            N{win::SHCNE_DRIVEADD, win::SHCNF_PATHW, u"Q:\\"},
                            N{win::SHCNE_DRIVEREMOVED, win::SHCNF_PATHW, u"Q:\\"}}));
  // A delete takes off each definition of the folder it finds, as a remove does.
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\Q:", u"C:\\work"));
  EXPECT_EQ(Run({u"delete", u"drive", u"Q:"}), 0u);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
  // A removal takes off eight at most: with a ninth the letter is still mapped, and still stored.
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), 0u);
  for (int i = 0; i < 8; ++i) win::DefineDosDeviceW(0, u"Global\\Q:", u"C:\\work\\data");
  EXPECT_EQ(Run({u"remove", u"drive", u"Q:"}), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
  EXPECT_NE(machine.ConsoleText().find("Q: is still mapped onto C:\\work\\data."),
            std::string::npos);
}

// A command connects to the service manager once and reads the service's record once; a drive's
// letter is read twice, for the plan and for the look that tells whether a start given up on ran.
TEST_F(FrontEnd, CreateDriveAsksTheSystemOnlyWhatItNeeds) {
  int connects = 0, records = 0, letters = 0;
  machine.OnCall("OpenSCManagerW", [&connects] { ++connects; });
  machine.OnCall("QueryServiceConfigW", [&records] { ++records; });
  machine.OnCall("QueryDosDeviceW", [&letters] { ++letters; });
  EXPECT_EQ(Run({u"create", u"drive", u"X:", u"data"}), 0u);
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(records, 2);  // its size, then the record
  EXPECT_EQ(letters, 4);  // the global set and the session's, twice
}

// A folder written as \\?\C:\... is the one the system stores as \??\C:\...: it is never mapped
// twice, and a remove takes it off.
TEST_F(FrontEnd, VerbatimFolderIsTheFolderInForce) {
  const std::vector<std::u16string> add = {u"add", u"drive", u"Q:", u"\\\\?\\C:\\work\\DATA"};
  EXPECT_EQ(Run(add), 0u);
  EXPECT_EQ(Run(add), 0u);
  EXPECT_EQ(Run({u"create", u"drive", u"Q:", u"c:\\WORK\\data"}), 0u);
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work\\DATA"});
  EXPECT_EQ(Run({u"remove", u"drive", u"Q:"}), 0u);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
}

// The machine's letters are what corvane decides from and changes; a session's own letter hides
// the new mapping from that session alone, and corvane says so.
TEST_F(FrontEnd, SessionWithItsOwnLetterIsTold) {
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"X:", u"\\\\server\\share"));
  EXPECT_EQ(Run({u"create", u"drive", u"X:", u"data"}), 0u);
  EXPECT_EQ(machine.DosDevice(u"X:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
  EXPECT_NE(machine.ConsoleText().find("This session has its own X:, a network drive "
                                       "(\\\\server\\share), which hides the machine's X: here"),
            std::string::npos);
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"show", u"--json", u"X:"}), 0u);
  EXPECT_NE(machine.StandardOutput().find("\"global\":[\"\\\\??\\\\C:\\\\work\\\\data\"],"
                                          "\"session\":[\"\\\\??\\\\UNC\\\\server\\\\share\"]}"),
            std::string::npos)
      << machine.StandardOutput();
  // Only a folder mapping of the machine is taken off: never a volume's own letter.
  EXPECT_EQ(Run({u"delete", u"drive", u"C:"}), win::ERROR_NOT_SUPPORTED);
  EXPECT_EQ(machine.DosDevice(u"C:"), std::vector<std::u16string>{u"\\Device\\HarddiskVolume1"});
  EXPECT_NE(machine.ConsoleText().find("C: is a local volume (\\Device\\HarddiskVolume1), not a "
                                       "folder mapping, so it was left alone"),
            std::string::npos);
}

// A list that cannot be used is never overwritten, and a write that fails leaves it as it was.
struct ListProblemCase {
  const char* name;
  std::function<void(sim::Machine&, win::UniqueFile&)> arrange;
  win::DWORD exitCode;
  bool mapped;       // Q: was mapped all the same
  std::string said;  // the line about the list
  // Calls of CreateFileW (the lock files' among them) and MoveFileExW: a list held by another
  // program is tried again for 30 seconds, every 100 ms.
  int opens = 2;
  int moves = 0;
};

class ListProblems : public FrontEnd, public ::testing::WithParamInterface<ListProblemCase> {};

TEST_P(ListProblems, LeaveTheListAsItWas) {
  machine.PutFile(kList, std::string("\x01\x00\x01\x00\x00\x00\x00\x00\x00\x00\x02Y:\x07""C:\\data", 21));
  win::UniqueFile held;
  GetParam().arrange(machine, held);
  const auto before = machine.FileContent(kList);
  int opens = 0;
  int moves = 0;
  machine.OnCall("CreateFileW", [&opens] { ++opens; });
  machine.OnCall("MoveFileExW", [&moves] { ++moves; });
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), GetParam().exitCode);
  held.Reset();
  ExpectTriesOfABudget(opens, GetParam().opens);
  EXPECT_EQ(moves, GetParam().moves);
  EXPECT_NE(machine.ConsoleText().find("The link list " + Narrow(kList) + GetParam().said + "\r\n"),
            std::string::npos)
      << machine.ConsoleText();
  EXPECT_EQ(machine.ConsoleText().find(" is in use by another program; waiting for it.\r\n") !=
                std::string::npos,
            GetParam().exitCode == win::ERROR_SHARING_VIOLATION);
  EXPECT_EQ(machine.FileContent(kList), before);
  EXPECT_EQ(machine.List(kFolder),
            std::vector<std::u16string>(kListAndLocks.begin(),
                                        kListAndLocks.end() - (GetParam().mapped ? 0 : 1)));
  EXPECT_EQ(machine.DosDevice(u"Q:").size(), GetParam().mapped ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ListProblems,
    ::testing::Values(
        ListProblemCase{"Damaged",
                        [](sim::Machine& m, win::UniqueFile&) {
                          m.PutFile(kList, std::string("\x05\x00garbage", 9));
                        },
                        win::ERROR_INVALID_DATA, false,
                        " is damaged, so it is left as it is. Move it aside and add the mappings "
                        "again."},
        ListProblemCase{"HeldByTheService",
                        [](sim::Machine& m, win::UniqueFile& held) {
                          held.Reset(win::CreateFileW(kList, win::GENERIC_READ, 0, nullptr,
                                                      win::OPEN_EXISTING, 0, nullptr));
                          m.FailNext("Sleep", 0, 1000);
                        },
                        win::ERROR_SHARING_VIOLATION, false,
                        " is in use by another program. Nothing was changed; try again in a moment.",
                        302},
        ListProblemCase{"WriteFails",
                        [](sim::Machine& m, win::UniqueFile&) {
                          m.FailNext("WriteFile", 112);  // ERROR_DISK_FULL
                        },
                        112, true, " could not be changed; it is as it was.", 4},
        ListProblemCase{"FlushFails",
                        [](sim::Machine& m, win::UniqueFile&) {
                          m.FailNext("FlushFileBuffers", 112);
                        },
                        112, true, " could not be changed; it is as it was.", 4},
        // Held by a corvane of the test's own process; the waits pass no time.
        ListProblemCase{"ChangedElsewhereTooLong",
                        [](sim::Machine& m, win::UniqueFile& held) {
                          held.Reset(HoldLock(kListLock));
                          m.FailNext("Sleep", 0, 1000);
                        },
                        win::ERROR_TIMEOUT, false,
                        " stayed busy with another corvane for 30 seconds, so nothing was changed. "
                        "Try again when it has finished.",
                        601},
        ListProblemCase{"WriteFailsWithoutAReason",
                        [](sim::Machine& m, win::UniqueFile&) { m.FailNext("WriteFile", 0); },
                        win::ERROR_WRITE_FAULT, true, " could not be changed; it is as it was.", 4},
        ListProblemCase{"ReplaceFails",
                        [](sim::Machine& m, win::UniqueFile&) {
                          m.FailNext("MoveFileExW", win::ERROR_ACCESS_DENIED, 1000);
                          // The replace's waits pass no time; the wait for the request's stop
                          // before them is real.
                          m.OnCall("MoveFileExW", [&m] { m.FailNext("Sleep", 0, 1000); });
                        },
                        win::ERROR_SHARING_VIOLATION, true,
                        " is in use by another program. Nothing was changed; try again in a moment.",
                        4, 301},
        ListProblemCase{"ReadDenied",
                        [](sim::Machine& m, win::UniqueFile&) {
                          m.SetSecurity(kList, u"D:P(A;;FA;;;SY)");
                        },
                        win::ERROR_ACCESS_DENIED, false,
                        " can only be read by administrators. Run corvane from an elevated command "
                        "prompt (Run as administrator)."},
        ListProblemCase{"FolderGone",
                        [](sim::Machine& m, win::UniqueFile&) {
                          // The list's open, after the lock's.
                          m.OnCall("CreateFileW", [&m, opens = std::make_shared<int>(0)] {
                            if (++*opens == 2) m.FailNext("CreateFileW", win::ERROR_PATH_NOT_FOUND);
                          });
                        },
                        win::ERROR_PATH_NOT_FOUND, false, " cannot be read."}),
    [](const auto& p) { return std::string(p.param.name); });

// Writes the list as another program would.
void PutList(const LinkList& list) {
  LinkList links = list;
  win::UniqueFile file(
      win::CreateFileW(kList, win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS, 0, nullptr));
  LinkArchive archive(file.Get(), LinkArchive::Mode::store);
  links.Serialize(archive);
  archive.Close();
}

// A list written elsewhere: every record is shown as it is, and letters match in either case.
TEST_F(FrontEnd, ListShowsEveryRecordAndRemoveMatchesEitherCase) {
  LinkList links;
  const auto add = [&links](LinkAction action, LinkKind kind, std::u16string link,
                            std::u16string target) {
    LinkRequest record;
    record.action = action;
    record.kind = kind;
    record.link = std::move(link);
    record.target = std::move(target);
    links.records.push_back(record);
  };
  add(LinkAction::Create, LinkKind::File, u"C:\\l.txt", u"C:\\t.txt");
  add(LinkAction::Delete, LinkKind::Drive, u"a:", u"C:\\x");
  add(LinkAction::Create, LinkKind::Drive, u"z:", u"C:\\work");
  add(static_cast<LinkAction>(5), static_cast<LinkKind>(17), u"k", u"t");
  PutList(links);
  EXPECT_EQ(Run({u"create", u"drive", u"Z:", u"C:\\"}), 0u);
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"list"}), 0u);
  EXPECT_EQ(machine.StandardOutput(),
            "Create File C:\\l.txt -> C:\\t.txt\r\n"
            "Delete Drive a: -> C:\\x\r\n"
            "Create Drive z: -> C:\\work  (mapped onto \\??\\C:\\ now)\r\n"
            "Create Kind 17 k -> t\r\n");
  EXPECT_EQ(Run({u"remove", u"drive", u"A:"}), 0u);  // stored, though not mapped
  EXPECT_EQ(Run({u"remove", u"drive", u"Z:"}), 0u);
  EXPECT_EQ(StoredRecords(), (std::vector<std::string>{"1,2,C:\\l.txt,C:\\t.txt", "5,17,k,t"}));
  // Z: is mapped onto another folder than the one stored: that mapping is not corvane's.
  EXPECT_EQ(machine.DosDevice(u"Z:"), std::vector<std::u16string>{u"\\??\\C:\\"});
}

// Long output goes to the console in pieces it can take, and what a piece's write did not take
// goes again; a write that fails, or takes nothing, fails the command.
TEST_F(FrontEnd, LongOutputReachesTheConsoleAndAFailedWriteFailsTheCommand) {
  LinkList links;
  links.records.resize(3000);
  for (auto& record : links.records) record.link = record.target = u"C:\\work\\data";
  PutList(links);
  EXPECT_EQ(Run({u"list"}), 0u);
  const std::string shown = machine.ConsoleText();
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 3000) << shown.size();
  machine.LimitConsoleWrites(1000, 1000);  // a console that takes less than it is given
  EXPECT_EQ(Run({u"list"}), 0u);
  EXPECT_TRUE(machine.ConsoleText() == shown + shown) << machine.ConsoleText().size();
  // A write that succeeds and takes nothing, with an earlier call's code still there.
  machine.LimitConsoleWrites(0);
  machine.OnCall("WriteConsoleW", [] { win::SetLastError(win::ERROR_ACCESS_DENIED); });
  EXPECT_EQ(Run({u"list"}), win::ERROR_WRITE_FAULT);
  machine.FailNext("WriteConsoleW", win::ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Run({u"list"}), win::ERROR_NOT_ENOUGH_MEMORY);
}

// SC_MAX_ARGUMENT_LENGTH: C:\work\ and 1015 characters make the longest start argument.
TEST_F(FrontEnd, StartArgumentsLongerThanTheServiceTakesAreRefused) {
  EXPECT_NE(Run({u"create", u"drive", u"X:", std::u16string(1015, u'd')}),
            win::ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(Run({u"create", u"drive", u"Y:", std::u16string(1016, u'd')}),
            win::ERROR_FILENAME_EXCED_RANGE);
  EXPECT_TRUE(machine.DosDevice(u"Y:").empty());
  EXPECT_NE(machine.ConsoleText().find("A link or target of 1024 characters or more cannot be "
                                       "passed to CorvaneService"),
            std::string::npos);
}

TEST_F(FrontEnd, ListHeldForAMomentIsWaitedFor) {
  machine.PutFile(kList, std::string(2, '\0'));  // a list of no records
  win::UniqueFile held(win::CreateFileW(kList, win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING,
                                        0, nullptr));
  machine.OnCall("Sleep", [&held] { held.Reset(); });
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), 0u);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
}

TEST_F(FrontEnd, ListHeldWhenReplacedIsWaitedFor) {
  win::UniqueFile held;
  bool first = true;
  machine.OnCall("MoveFileExW", [&held, &first] {
    if (std::exchange(first, false)) {
      held.Reset(win::CreateFileW(kList, win::GENERIC_READ, 0, nullptr, win::OPEN_ALWAYS, 0,
                                  nullptr));
    }
  });
  machine.OnCall("Sleep", [&held] { held.Reset(); });
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), 0u);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
}

// A second corvane started at one step of a first: it waits for the first's lock, and each
// ends as it would alone.
struct InterleaveCase {
  const char* step;  // the first's call during which the second is started
  std::vector<std::u16string> first, second;
  win::DWORD firstExit, secondExit;
  std::vector<std::string> stored;
};

class Interleaved : public FrontEnd, public ::testing::WithParamInterface<InterleaveCase> {};

TEST_P(Interleaved, NeitherLosesTheOthersWork) {
  machine.PutFile(kList, std::string(2, '\0'));  // a list of no records
  std::atomic<bool> armed{true}, waiting{false};
  std::atomic<win::DWORD> secondExit{0xdeadbeef};
  std::thread second;
  machine.OnCall("Sleep", [&waiting] { waiting = true; });
  machine.OnCall(GetParam().step, [&] {
    if (!armed.exchange(false)) return;
    waiting = false;
    second = std::thread([&] { secondExit = Run(GetParam().second); });
    while (!waiting && secondExit == 0xdeadbeef) std::this_thread::yield();
  });
  EXPECT_EQ(Run(GetParam().first), GetParam().firstExit);
  ASSERT_TRUE(second.joinable());
  second.join();
  EXPECT_EQ(secondExit, GetParam().secondExit);
  if (!GetParam().stored.empty()) {
    EXPECT_EQ(StoredRecords(), GetParam().stored);
  }
}

const std::vector<std::u16string> kAddQ = {u"add", u"drive", u"Q:", u"data"};
const std::vector<std::u16string> kAddR = {u"add", u"drive", u"R:", u"C:\\work"};
const std::vector<std::string> kBoth = {"1,0,Q:,C:\\work\\data", "1,0,R:,C:\\work"};

INSTANTIATE_TEST_SUITE_P(
    Steps, Interleaved,
    ::testing::Values(
        InterleaveCase{"ReadFile", kAddQ, kAddR, 0, 0, kBoth},
        InterleaveCase{"StartServiceW", kAddQ, kAddR, 0, 0, kBoth},
        InterleaveCase{"WriteFile", kAddQ, kAddR, 0, 0, kBoth},
        InterleaveCase{"FlushFileBuffers", kAddQ, kAddR, 0, 0, kBoth},
        InterleaveCase{"MoveFileExW", kAddQ, kAddR, 0, 0, kBoth},
        // Two corvanes never both find a letter free.
        InterleaveCase{"QueryDosDeviceW",
                       {u"create", u"drive", u"Q:", u"data"},
                       {u"create", u"drive", u"Q:", u"C:\\work"},
                       0, win::ERROR_ALREADY_EXISTS, {}},
        InterleaveCase{"QueryServiceStatus",
                       {u"create", u"file", u"b.txt", u"a.txt"},
                       {u"create", u"file", u"c.txt", u"missing.txt"},
                       0, win::ERROR_FILE_NOT_FOUND, {}}),
    [](const auto& p) { return std::string(p.param.step); });

// A corvane that died holding the list's lock keeps nobody waiting: the system closed its handle.
TEST_F(FrontEnd, LockOfADeadCorvaneIsTakenOver) {
  machine.InstallProgram(
      u"C:\\dies.exe",
      sim::Program{[] { return HoldLock(kListLock) != win::INVALID_HANDLE_VALUE ? 0u : 1u; }, {}});
  EXPECT_EQ(machine.RunProgram(u"C:\\dies.exe", u"dies"), 0u);
  machine.FailNext("Sleep", 0, 1000);  // a wait would take no time, and be seen below
  EXPECT_EQ(Run(kAddQ), 0u);
  EXPECT_EQ(machine.ConsoleText(), "Q: is mapped onto C:\\work\\data, now and at every boot.\r\n");
}

// Cases run on a volume of each delete semantics: a name deleted while another program has the
// file open stays until that program closes it, or goes at once.
class FrontEndDeletes : public FrontEnd,
                        public ::testing::WithParamInterface<sim::DeleteSemantics> {
 protected:
  FrontEndDeletes() { machine.SetDeleteSemantics(u'C', GetParam()); }
};

// The lock files are made for SYSTEM and Administrators only, so that no standard user can hold
// one; one found that another user owns and anyone may open is made anew, even while its owner
// keeps it open for no data (which keeps no one out, and keeps its deleted name pending).
TEST_P(FrontEndDeletes, LockFilesLetNoOtherUserIn) {
  machine.PutFile(kListLock, "");
  machine.SetSecurity(kListLock, u"O:S-1-5-21-1000-2000-3000-1002D:(A;;FA;;;WD)");
  win::UniqueFile planted(win::CreateFileW(kListLock, win::FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                           win::OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(Run(kAddQ), 0u);
  planted.Reset();
  for (const char16_t* lock : {kListLock, kRequestLock}) {
    EXPECT_EQ(machine.Security(lock), u"O:BAD:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)");
  }
  EXPECT_EQ(machine.List(kFolder), kListAndLocks);
  // A lock file of corvane's own is used as it is.
  const auto fileIndex = [] {
    win::UniqueFile lock(win::CreateFileW(kListLock, win::FILE_READ_ATTRIBUTES, 0, nullptr,
                                          win::OPEN_EXISTING, 0, nullptr));
    win::BY_HANDLE_FILE_INFORMATION info{};
    win::GetFileInformationByHandle(lock.Get(), &info);
    return info.nFileIndexLow;
  };
  const win::DWORD made = fileIndex();
  EXPECT_EQ(Run({u"remove", u"drive", u"Q:"}), 0u);
  EXPECT_EQ(fileIndex(), made);
  machine.SetAdministrator(false);
  EXPECT_EQ(HoldLock(kRequestLock), win::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
}

// A dead writer's file that another program (a virus scanner, say) holds open keeps no writer from
// storing the list, whether its deleted name stays until the scanner closes it or not.
TEST_P(FrontEndDeletes, ListIsStoredWhileADeadWritersFileIsHeld) {
  const std::u16string dead = std::u16string(kList) + u".1.new";
  machine.PutFile(dead, "dead");
  win::UniqueFile scanner(win::CreateFileW(dead.c_str(), win::GENERIC_READ, kShareAll, nullptr,
                                           win::OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(Run(kAddQ), 0u);
  scanner.Reset();
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
  EXPECT_EQ(machine.List(kFolder), kListAndLocks);
}

INSTANTIATE_TEST_SUITE_P(Semantics, FrontEndDeletes,
                         ::testing::Values(sim::DeleteSemantics::Classic,
                                           sim::DeleteSemantics::Posix),
                         [](const auto& p) {
                           return p.param == sim::DeleteSemantics::Posix ? "Posix" : "Classic";
                         });

// A lock file that keeps administrators out is reported as such; a standard user is told that
// what is missing is elevation.
TEST_F(FrontEnd, LockDeniedIsToldAsWhatItIs) {
  for (const char16_t* lock : {kListLock, kRequestLock}) {
    machine.PutFile(lock, "");
    machine.SetSecurity(lock,
                        u"O:S-1-5-21-1000-2000-3000-1002D:P(A;;FA;;;S-1-5-21-1000-2000-3000-1002)");
  }
  EXPECT_EQ(Run(kAddQ), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run({u"create", u"folder", u"j", u"data"}), win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty() && !machine.Exists(u"C:\\work\\j"));
  const std::string denied =
      " does not let administrators open it, so nothing was changed. corvane makes it for SYSTEM "
      "and Administrators only; delete it, and the next corvane makes it again.\r\nAccess is "
      "denied. (code 5)\r\n";
  EXPECT_EQ(machine.ConsoleText(), "The lock file " + Narrow(kListLock) + denied +
                                       "The lock file " + Narrow(kRequestLock) + denied);
  machine.SetAdministrator(false);
  EXPECT_EQ(Run(kAddQ), win::ERROR_ACCESS_DENIED);
  EXPECT_NE(machine.ConsoleText().find("Only administrators may start CorvaneService."),
            std::string::npos);
}

// The new list is on the disk before it replaces the old one.
TEST_F(FrontEnd, StoredMappingSurvivesAPowerCut) {
  for (int n = 1; n <= 100; ++n) {
    machine.PutFile(std::u16string(kList) + u"." + frontend::DecimalText(n) + u".new", "dead");
  }
  EXPECT_EQ(Run(kAddQ), 0u);
  machine.PowerCut();
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
  // What writers that died left was cleared first: 100 of them took every name.
  EXPECT_EQ(machine.List(kFolder), kListAndLocks);
  // One that dies at its write leaves its file, and the next corvane clears it.
  bool dies = true;
  machine.OnCall("WriteFile", [&dies] {
    if (std::exchange(dies, false)) win::ExitProcess(1);
  });
  EXPECT_EQ(Run({u"add", u"drive", u"R:", u"data"}), 1u);
  EXPECT_EQ(machine.List(kFolder).size(), kListAndLocks.size() + 1);
  EXPECT_EQ(Run({u"add", u"drive", u"R:", u"data"}), 0u);
  EXPECT_EQ(machine.List(kFolder), kListAndLocks);
}

// Links made on another volume are on its disk before the list that names them is on its own; a
// volume that cannot be written out is said.
TEST_F(FrontEnd, AppliedLinksAndTheirListSurviveAPowerCutTogether) {
  machine.AddVolume(u'D', 0xD0D0,
                    win::FILE_SUPPORTS_REPARSE_POINTS | win::FILE_SUPPORTS_HARD_LINKS);
  machine.PutFile(u"D:\\a.txt", "a");
  machine.PutFile(u"D:\\in\\a.txt", "a");
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\P:", u"D:\\in"));  // a letter onto D: too
  machine.AddShare(u"server\\share", u"C:\\work\\data");  // and a link on another's disk
  machine.PutFile(u"C:\\work\\data\\x", "");
  machine.PutFile(u"C:\\work\\d.json",
                  R"([{"action": "Create", "kind": "File", "link": "D:\\b.txt", "target": "D:\\a.txt"},
 {"action": "Create", "kind": "Folder", "link": "D:\\j", "target": "C:\\work\\data"},
 {"action": "Create", "kind": "File", "link": "P:\\b.txt", "target": "P:\\a.txt"},
 {"action": "Create", "kind": "File", "link": "\\\\server\\share\\z", "target": "\\\\server\\share\\x"}])");
  EXPECT_EQ(Run({u"apply", u"d.json"}), 0u);
  machine.PowerCut();
  EXPECT_EQ(StoredRecords().size(), 4u);
  EXPECT_EQ(machine.LinkCount(u"D:\\a.txt"), 2u);
  EXPECT_EQ(machine.LinkCount(u"D:\\in\\a.txt"), 2u);
  EXPECT_TRUE(machine.Exists(u"D:\\j\\x"));  // through the junction
  EXPECT_EQ(machine.ConsoleText().find("Warning"), std::string::npos);
  for (const win::DWORD error : {win::ERROR_INVALID_FUNCTION, win::ERROR_ACCESS_DENIED}) {
    ASSERT_EQ(Run({u"delete", u"file", u"D:\\b.txt"}), 0u);
    machine.FailNext("FlushFileBuffers", error);
    EXPECT_EQ(Run({u"apply", u"d.json"}), 0u);
    EXPECT_EQ(machine.ConsoleText().find("Warning: the volume that holds D:\\b.txt could not"
                                         " be written out") != std::string::npos,
              error == win::ERROR_ACCESS_DENIED);
  }
}

// The list is the administrators' alone: no other user may open it, so none can plant a mapping
// or hold the boot pass up.
TEST_F(FrontEnd, ListIsWrittenForAdministratorsOnly) {
  EXPECT_EQ(Run(kAddQ), 0u);
  EXPECT_EQ(machine.Security(kList), u"O:BAD:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)");
  machine.SetAdministrator(false);
  EXPECT_EQ(Run({u"list"}), win::ERROR_ACCESS_DENIED);
  EXPECT_NE(machine.ConsoleText().find(" can only be read by administrators."),
            std::string::npos);
}

// The boot pass waits for a change that holds the list's lock, and maps from the list it leaves.
TEST_F(FrontEnd, BootPassWaitsWhileAChangeHoldsTheLock) {
  EXPECT_EQ(Run(kAddQ), 0u);
  EXPECT_EQ(Run({u"delete", u"drive", u"Q:"}), 0u);
  sim::ServiceRun boot;
  std::thread booting;
  std::atomic<bool> waiting{false};
  std::atomic<bool> finished{false};
  machine.OnCall("Sleep", [&] { waiting = true; });
  machine.OnCall("FlushFileBuffers", [&] {
    if (booting.joinable()) return;
    booting = std::thread([&] {
      // The delete's process may still be ending; the boot start comes once it has.
      do {
        boot = machine.StartService(u"CorvaneService", {});
      } while (boot.exitCode == win::ERROR_SERVICE_ALREADY_RUNNING);
      finished = true;
    });
    while (!waiting && !finished) std::this_thread::yield();
  });
  EXPECT_EQ(Run(kAddR), 0u);
  booting.join();
  EXPECT_TRUE(waiting) << "the boot pass ran while the add held the lock";
  EXPECT_EQ(boot.exitCode, 0u);
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
}

// The list lies beside the program however the record writes its path.
class UnquotedProgramPaths : public FrontEnd,
                             public ::testing::WithParamInterface<std::u16string> {};

TEST_P(UnquotedProgramPaths, FindTheListBesideTheProgram) {
  {
    win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
    win::UniqueService installed(win::OpenServiceW(manager.Get(), u"CorvaneService", win::DELETE));
    ASSERT_TRUE(win::DeleteService(installed.Get()));
  }
  machine.InstallProgram(u"C:\\My Tools\\CorvaneService.EXE", ServiceProgram());
  machine.MakeDirectories(u"C:\\My Tools");
  machine.CreateService(u"CorvaneService", GetParam());
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"data"}), 0u);
  EXPECT_TRUE(machine.FileContent(u"C:\\My Tools\\Corvane.dat").has_value());
}

INSTANTIATE_TEST_SUITE_P(Paths, UnquotedProgramPaths,
                         ::testing::Values(u"C:\\My Tools\\CorvaneService.EXE",
                                           u"C:\\My Tools\\CorvaneService.EXE -x"));

// Sets a reparse record on a new, empty folder, as another program would.
void PutReparseRecord(const char16_t* folder, const std::vector<std::uint8_t>& record) {
  win::CreateDirectoryW(folder, nullptr);
  win::UniqueFile directory(win::CreateFileW(
      folder, win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING,
      win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  std::vector<std::uint8_t> bytes = record;
  ASSERT_TRUE(win::DeviceIoControl(directory.Get(), win::FSCTL_SET_REPARSE_POINT, bytes.data(),
                                   static_cast<win::DWORD>(bytes.size()), nullptr, 0, nullptr,
                                   nullptr))
      << win::GetLastError();
}

std::vector<std::uint8_t> JunctionRecord(std::u16string_view substituteName) {
  std::vector<std::uint8_t> record(reparse::MountPointSize(substituteName.size()));
  reparse::WriteMountPoint(record.data(), substituteName);
  return record;
}

// A symbolic link's record whose substitute name runs past the record's end.
std::vector<std::uint8_t> DamagedSymbolicLinkRecord() {
  std::vector<std::uint8_t> record(reparse::kSymbolicLinkPathBufferAt + 4, 0);
  reparse::Put32(record.data(), reparse::kTagAt, win::IO_REPARSE_TAG_SYMLINK);
  reparse::Put16(record.data(), reparse::kDataLengthAt,
                 static_cast<std::uint16_t>(record.size() - reparse::kHeaderSize));
  reparse::Put16(record.data(), reparse::kSubstituteNameLengthAt, 200);
  return record;
}

struct ShowCase {
  const char* name;
  std::function<void()> arrange;  // in the test's own process
  std::vector<std::u16string> arguments;
  win::DWORD exitCode;
  std::string shown;  // how the console text begins
};

class Show : public FrontEnd, public ::testing::WithParamInterface<ShowCase> {};

TEST_P(Show, SaysWhatAPathOrALetterIs) {
  GetParam().arrange();
  EXPECT_EQ(Run(GetParam().arguments), GetParam().exitCode);
  EXPECT_EQ(machine.ConsoleText().substr(0, GetParam().shown.size()), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Show,
    ::testing::Values(
        ShowCase{"FolderMapping",
                 [] { win::DefineDosDeviceW(0, u"Global\\X:", u"C:\\work\\data"); },
                 {u"show", u"x:"},
                 0,
                 "X: is a folder mapping: C:\\work\\data\r\n"
                 "  in force:          \\??\\C:\\work\\data\r\n"},
        ShowCase{"MappingOverAVolume",
                 [] {
                   win::DefineDosDeviceW(win::DDD_RAW_TARGET_PATH, u"Global\\X:",
                                         u"\\Device\\HarddiskVolume2");
                   win::DefineDosDeviceW(0, u"Global\\X:", u"C:\\work");
                 },
                 {u"show", u"X:"},
                 0,
                 "X: is a folder mapping: C:\\work\r\n"
                 "  in force:          \\??\\C:\\work\r\n"
                 "  hidden beneath it: \\Device\\HarddiskVolume2\r\n"},
        ShowCase{"NetworkDrive",
                 [] { win::DefineDosDeviceW(0, u"N:", u"\\\\server\\share"); },
                 {u"show", u"N:"},
                 0,
                 "N: is a network drive: \\\\server\\share\r\n"},
        ShowCase{"UndefinedLetter",
                 [] {},
                 {u"show", u"Q:"},
                 win::ERROR_FILE_NOT_FOUND,
                 "Q: is not defined.\r\nThe system cannot find the file specified. (code 2)\r\n"},
        ShowCase{"Junction",
                 [] { PutReparseRecord(u"C:\\work\\j", JunctionRecord(u"\\??\\C:\\work\\data")); },
                 {u"show", u"j"},
                 0,
                 "C:\\work\\j is a junction to C:\\work\\data\r\n  print name: (none)\r\n"},
        ShowCase{"JunctionToANameWithControls",
                 [] {
                   PutReparseRecord(
                       u"C:\\work\\j",
                       JunctionRecord(u"\\??\\C:\\x\x1b[2J\r\nC:\\work\\j is a\tfolder\x7f"));
                 },
                 {u"show", u"j"},
                 0,
                 "C:\\work\\j is a junction to C:\\x\\u001b[2J\\u000d\\u000aC:\\work\\j is "
                 "a\\u0009folder\\u007f\r\n  print name: (none)\r\n"},
        ShowCase{"CloudPlaceholder",
                 [] {
                   std::vector<std::uint8_t> record(reparse::kHeaderSize);
                   reparse::Put32(record.data(), reparse::kTagAt, 0x9000001A);
                   PutReparseRecord(u"C:\\work\\c", record);
                 },
                 {u"show", u"c"},
                 0,
                 "C:\\work\\c is a folder with a reparse point of another kind (tag "
                 "0x9000001A)\r\n"},
        ShowCase{"JunctionAsJson",
                 [] { PutReparseRecord(u"C:\\work\\j", JunctionRecord(u"\\??\\C:\\work\\data")); },
                 {u"show", u"--json", u"j"},
                 0,
                 "{\"path\":\"C:\\\\work\\\\j\",\"type\":\"Junction\",\"target\":"
                 "\"C:\\\\work\\\\data\",\"printName\":\"\",\"damaged\":false}\r\n"},
        ShowCase{"DamagedRecord",
                 [] { PutReparseRecord(u"C:\\work\\s", DamagedSymbolicLinkRecord()); },
                 {u"show", u"s"},
                 0,
                 "C:\\work\\s is a symbolic link to \r\n  print name: (none)\r\n"
                 "  its record is damaged: a name lies outside it\r\n"},
        ShowCase{"Folder", [] {}, {u"show", u"data"}, 0, "C:\\work\\data is a folder\r\n"},
        ShowCase{"FileWithTwoNames",
                 [] { MakeHardLink(u"C:\\work\\b.txt", u"C:\\work\\a.txt"); },
                 {u"show", u"b.txt"},
                 0,
                 "C:\\work\\b.txt is a file with 2 names; volume 1234ABCD, file index "},
        ShowCase{"FileAsJson",
                 [] {},
                 {u"show", u"a.txt", u"--json"},
                 0,
                 "{\"path\":\"C:\\\\work\\\\a.txt\",\"type\":\"File\",\"linkCount\":1,"
                 "\"volumeSerialNumber\":305441741,\"fileIndex\":"},
        ShowCase{
            "MissingPath",
            [] {},
            {u"show", u"none\\x"},
            win::ERROR_PATH_NOT_FOUND,
            "none\\x cannot be shown.\r\nThe system cannot find the path specified. (code 3)"}),
    [](const auto& p) { return std::string(p.param.name); });

struct JsonCase {
  std::u16string text;
  std::u16string json;
};

class JsonStrings : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonStrings, EscapeWhatTheRfcRequires) {
  EXPECT_EQ(frontend::JsonText(frontend::JsonValue(GetParam().text), -1),
            GetParam().json + u"\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonStrings,
    ::testing::Values(
        JsonCase{u"C:\\a \"b\"", u"\"C:\\\\a \\\"b\\\"\""},
        JsonCase{u"\b\f\n\r\t", u"\"\\b\\f\\n\\r\\t\""},
        JsonCase{std::u16string(u"\x01\x1f\x7f", 3), u"\"\\u0001\\u001f\x7f\""},
        JsonCase{u"\u0080Ünï日本\U0001F600\U00020BB7\U000E0041",
                 u"\"\u0080Ünï日本\U0001F600\U00020BB7\U000E0041\""},
        JsonCase{std::u16string{u'a', char16_t(0xD83D), u'b'}, u"\"a\\ud83db\""},
        JsonCase{std::u16string{char16_t(0xDEFF), char16_t(0xD83D)}, u"\"\\udeff\\ud83d\""},
        JsonCase{std::u16string(u"\0\0abcd\\u0000", 12), u"\"\\u0000\\u0000abcd\\\\u0000\""}));

// The strict reading refuses every byte sequence that is not UTF-8.
TEST(Utf8, OnlyUtf8IsRead) {
  std::u16string text;
  EXPECT_TRUE(frontend::Utf16FromUtf8("a\xC3\xA9\xE6\x97\xA5\xF0\xA0\xAE\xB7", text));
  EXPECT_EQ(text, u"aé日\U00020BB7");
  for (const char* bytes : {"\xC3", "\xF0\xA0\xAE", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\x80", "\xC3\x28", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(frontend::Utf16FromUtf8(bytes, text)) << bytes;
  }
}

TEST_F(FrontEnd, ListAsJsonGivesEveryRecord) {
  LinkList links;
  links.records.resize(3);
  links.records[0] = {};
  links.records[0].action = LinkAction::Create;
  links.records[0].link = u"Q:";
  links.records[0].target = u"C:\\work\\data";
  links.records[1].kind = LinkKind::File;
  links.records[1].link = u"C:\\l\"x";
  links.records[2].action = static_cast<LinkAction>(5);
  links.records[2].kind = static_cast<LinkKind>(17);
  PutList(links);
  win::DefineDosDeviceW(0, u"Global\\Q:", u"C:\\work\\data");
  machine.SetRegistryString(win::HKEY_LOCAL_MACHINE, kPolicyDrivesKey, u"p:", u"C:\\work");
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"list", u"--json"}), 0u);
  EXPECT_EQ(machine.StandardOutput(),
            "[\r\n"
            "  {\r\n"
            "    \"action\": \"Create\",\r\n"
            "    \"kind\": \"Drive\",\r\n"
            "    \"link\": \"Q:\",\r\n"
            "    \"target\": \"C:\\\\work\\\\data\",\r\n"
            "    \"mappedNow\": true,\r\n"
            "    \"source\": \"list\"\r\n"
            "  },\r\n"
            "  {\r\n"
            "    \"action\": \"Delete\",\r\n"
            "    \"kind\": \"File\",\r\n"
            "    \"link\": \"C:\\\\l\\\"x\",\r\n"
            "    \"target\": \"\",\r\n"
            "    \"source\": \"list\"\r\n"
            "  },\r\n"
            "  {\r\n"
            "    \"action\": \"Create\",\r\n"
            "    \"kind\": 17,\r\n"
            "    \"link\": \"\",\r\n"
            "    \"target\": \"\",\r\n"
            "    \"source\": \"list\"\r\n"
            "  },\r\n"
            "  {\r\n"
            "    \"action\": \"Create\",\r\n"
            "    \"kind\": \"Drive\",\r\n"
            "    \"link\": \"P:\",\r\n"
            "    \"target\": \"C:\\\\work\",\r\n"
            "    \"mappedNow\": false,\r\n"
            "    \"source\": \"policy\"\r\n"
            "  }\r\n"
            "]\r\n");
}

// What `list --json` prints is a desired-state file: the Create records read back as they are.
TEST_F(FrontEnd, ListAsJsonReadsBackAsDesiredState) {
  LinkList links;
  links.records.resize(4);
  links.records[0].action = LinkAction::Create;
  links.records[0].link = u"Q:";
  links.records[0].target = u"C:\\work\\Ünï日本\U0001F600";
  links.records[1].action = LinkAction::Create;
  links.records[1].kind = LinkKind::Folder;
  links.records[1].link = u"C:\\work\\j \"1\"";
  links.records[1].target = u"C:\\work\\data";
  links.records[2].kind = LinkKind::File;  // a Delete record
  links.records[2].link = u"C:\\work\\gone.txt";
  links.records[3].action = LinkAction::Create;
  links.records[3].kind = LinkKind::File;
  links.records[3].link = u"\\\\server\\share\\b.txt";
  links.records[3].target = u"\\\\server\\share\\a.txt";
  PutList(links);
  machine.SetStandardOutputIsConsole(false);
  ASSERT_EQ(Run({u"list", u"--json"}), 0u);
  std::vector<frontend::DesiredLink> read;
  std::u16string problem;
  ASSERT_EQ(frontend::ParseDesiredState(machine.StandardOutput(), read, problem), 0u)
      << Narrow(problem);
  ASSERT_EQ(read.size(), 3u);
  for (std::size_t i = 0; i < read.size(); ++i) {
    const LinkRequest& record = links.records[i < 2 ? i : 3];
    EXPECT_EQ(read[i].kind, record.kind);
    EXPECT_EQ(read[i].link, record.link);
    EXPECT_EQ(read[i].target, record.target);
  }
  EXPECT_EQ(read[1].line, 10u);
  EXPECT_EQ(read[1].column, 3u);
}

// Paths of any characters print as they are: UTF-16 to a console, UTF-8 to a pipe.
TEST_F(FrontEnd, TextKeepsEveryCharacter) {
  machine.MakeDirectories(u"C:\\work\\Ünï日本");
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"Ünï日本"}), 0u);
  EXPECT_EQ(machine.ConsoleText(), "Q: is mapped onto C:\\work\\Ünï日本, now and at every boot.\r\n");
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"list"}), 0u);
  EXPECT_EQ(machine.StandardOutput(), "Create Drive Q: -> C:\\work\\Ünï日本  (mapped now)\r\n");
}

// A name's control and bidirectional characters are shown, in every sentence and in a pipe too,
// and cannot start a line of their own; JSON keeps them as its writer escapes them.
TEST_F(FrontEnd, NamesShowTheirControlCharacters) {
  // Windows takes neither C0 controls nor DEL in a file name, but C1 and bidirectional controls.
  machine.MakeDirectories(u"C:\\work\\red\u061c\u202e\u2066\u009b[2J");
  EXPECT_EQ(Run({u"add", u"drive", u"Q:", u"red\u061c\u202e\u2066\u009b[2J"}), 0u);
  EXPECT_EQ(machine.ConsoleText(),
            "Q: is mapped onto C:\\work\\red\\u061c\\u202e\\u2066\\u009b[2J, now and at every "
            "boot.\r\n");
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"list"}), 0u);
  EXPECT_EQ(machine.StandardOutput(),
            "Create Drive Q: -> C:\\work\\red\\u061c\\u202e\\u2066\\u009b[2J  (mapped now)\r\n");
  EXPECT_EQ(Run({u"list", u"--json"}), 0u);
  EXPECT_NE(machine.StandardOutput().find("C:\\\\work\\\\red\u061c\u202e\u2066\u009b[2J\""),
            std::string::npos)
      << machine.StandardOutput();
  machine.PutFile(u"C:\\work\\links.json",
                  R"([{"action": "Create", "kind": "Folder", "link": "C:\\work\\j", "target": )"
                  R"("C:\\none\r\nThe machine matches links.json."}])");
  EXPECT_EQ(Run({u"test", u"links.json"}), frontend::kMachineDiffers);
  EXPECT_NE(machine.StandardOutput().find(
                "Folder C:\\work\\j -> C:\\none\\u000d\\u000aThe machine matches links.json.: "),
            std::string::npos)
      << machine.StandardOutput();
  EXPECT_EQ(Run({u"apply", u"links.json"}), win::ERROR_INVALID_NAME);
  EXPECT_NE(machine.ConsoleText().find("\\u000aThe machine matches links.json. cannot be applied"),
            std::string::npos)
      << machine.ConsoleText();
}

// A links file in list --json's form: the machine is made to match it, once; a second apply
// starts nothing, and test says whether the machine matches.
const char kLinks[] =
    "[{\"action\": \"Create\", \"kind\": \"Drive\", \"link\": \"Q:\", \"target\": "
    "\"C:\\\\work\\\\data\", \"label\": \"Data\"},\r\n"
    " {\"action\": \"Create\", \"kind\": \"File\", \"link\": \"C:\\\\work\\\\b.txt\", \"target\": "
    "\"C:\\\\work\\\\a.txt\"},\r\n"
    " {\"action\": \"Create\", \"kind\": \"Folder\", \"link\": \"C:\\\\work\\\\j\", \"target\": "
    "\"C:\\\\work\\\\data\"}]\r\n";

TEST_F(FrontEnd, ApplyMakesTheMachineMatchOnce) {
  machine.PutFile(u"C:\\work\\links.json", kLinks);
  EXPECT_EQ(Run({u"test", u"links.json"}), frontend::kMachineDiffers);
  EXPECT_EQ(Run({u"apply", u"links.json", u"--what-if"}), 0u);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
  EXPECT_EQ(Run({u"apply", u"links.json", u"--json"}), 0u);
  const std::string made = machine.ConsoleText();
  EXPECT_EQ(made.find("could not be"), std::string::npos);  // the label is set
  EXPECT_LT(made.find("\"change\": \"mapped\""), made.find("\"change\": \"created\"")) << made;
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
  EXPECT_EQ(machine.LinkCount(u"C:\\work\\a.txt"), 2u);
  EXPECT_EQ(StoredRecords(), (std::vector<std::string>{"1,0,Q:,C:\\work\\data",
                                                       "1,2,C:\\work\\b.txt,C:\\work\\a.txt",
                                                       "1,1,C:\\work\\j,C:\\work\\data"}));
  int starts = 0;
  machine.OnCall("StartServiceW", [&starts] { ++starts; });
  machine.SetStandardOutputIsConsole(false);
  EXPECT_EQ(Run({u"apply", u"links.json", u"--json"}), 0u);
  EXPECT_EQ(Run({u"test", u"links.json"}), 0u);
  EXPECT_EQ(starts, 0);
  const std::string out = machine.StandardOutput();
  std::size_t unchanged = 0;
  for (std::size_t at = 0; (at = out.find("\"change\": \"none\"", at)) != std::string::npos; ++at) {
    ++unchanged;
  }
  EXPECT_EQ(unchanged, 3u) << out;  // the label too is as the file says
  EXPECT_NE(out.find("The machine matches links.json."), std::string::npos) << out;
  machine.SetAdministrator(false);  // a detection rule may run as anyone
  EXPECT_EQ(Run({u"test", u"links.json"}), 0u);
  machine.SetAdministrator(true);
  // Deleted by hand: test says so, and apply maps it again.
  EXPECT_EQ(Run({u"delete", u"drive", u"Q:"}), 0u);
  EXPECT_EQ(Run({u"test", u"links.json"}), frontend::kMachineDiffers);
  EXPECT_NE(machine.StandardOutput().find("Drive Q: -> C:\\work\\data: it is not there."),
            std::string::npos);
  EXPECT_EQ(Run({u"apply", u"links.json"}), 0u);
  machine.SetRegistryString(win::HKEY_LOCAL_MACHINE,
                            std::u16string(kDriveIcons) + u"\\Q\\DefaultLabel", u"", u"Other");
  EXPECT_EQ(Run({u"test", u"links.json"}), frontend::kMachineDiffers);
  EXPECT_NE(machine.StandardOutput().find("Drive Q: -> C:\\work\\data: its label is not Data."),
            std::string::npos);
  machine.FailNext("RegCreateKeyExW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run({u"apply", u"links.json"}), win::ERROR_ACCESS_DENIED);  // the label alone
}

// Every entry is checked first: one that cannot be applied changes nothing; a change that fails
// part way takes back what the run changed; --prune removes what the file no longer holds.
TEST_F(FrontEnd, ApplyIsAllOrNothing) {
  machine.PutFile(u"C:\\work\\links.json", kLinks);
  ASSERT_TRUE(win::DefineDosDeviceW(0, u"Global\\Q:", u"C:\\work"));
  EXPECT_EQ(Run({u"apply", u"links.json"}), win::ERROR_ALREADY_EXISTS);
  const std::string refused = machine.ConsoleText();  // Q: alone
  EXPECT_EQ(refused.find("cannot be applied"), refused.rfind("cannot be applied")) << refused;
  EXPECT_EQ(machine.LinkCount(u"C:\\work\\a.txt"), 1u);
  EXPECT_FALSE(machine.Exists(kList));
  ASSERT_TRUE(win::DefineDosDeviceW(win::DDD_REMOVE_DEFINITION, u"Global\\Q:", nullptr));
  int starts = 0;
  machine.OnCall("StartServiceW", [&] {
    if (++starts == 3) machine.FailNext("StartServiceW", win::ERROR_ACCESS_DENIED);
  });
  EXPECT_EQ(Run({u"apply", u"links.json"}), win::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
  EXPECT_EQ(machine.LinkCount(u"C:\\work\\a.txt"), 1u);
  EXPECT_FALSE(machine.Exists(kList));
  EXPECT_EQ(machine.ConsoleText().find("could not be taken back"), std::string::npos);
  EXPECT_EQ(Run({u"add", u"drive", u"S:", u"C:\\work"}), 0u);
  machine.PutFile(u"C:\\work\\q.json", std::string(kLinks).substr(0, std::string(kLinks).find("},")) + "}]");
  EXPECT_EQ(Run({u"apply", u"--prune", u"q.json"}), 0u);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
  EXPECT_TRUE(machine.DosDevice(u"S:").empty());
  machine.PutFile(u"C:\\work\\dir.json",
                  "[{\"action\": \"Create\", \"kind\": \"File\", \"link\": \"C:\\\\work\\\\c.txt\", "
                  "\"target\": \"C:\\\\work\\\\data\"}]");
  EXPECT_EQ(Run({u"apply", u"dir.json"}), win::ERROR_ACCESS_DENIED);  // no hard link to a folder
  EXPECT_NE(machine.ConsoleText().find("C:\\work\\data is not a file that exists."),
            std::string::npos);
  machine.PutFile(u"C:\\work\\none.json",
                  "[{\"action\": \"Create\", \"kind\": \"Drive\", \"link\": \"K:\", "
                  "\"target\": \"C:\\\\work\\\\none\"}]");
  EXPECT_EQ(Run({u"apply", u"none.json"}), win::ERROR_PATH_NOT_FOUND);
  EXPECT_NE(machine.ConsoleText().find("C:\\work\\none is not a folder that exists."),
            std::string::npos);
  // A file that others may change is theirs to steer: apply refuses it, test only reads it.
  machine.PutFile(u"C:\\work\\open.json", kLinks);
  machine.SetSecurity(u"C:\\work\\open.json", u"D:(A;;FA;;;BA)(A;;FA;;;BU)");
  EXPECT_EQ(Run({u"apply", u"open.json"}), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine.LinkCount(u"C:\\work\\a.txt"), 1u);
  EXPECT_NE(machine.ConsoleText().find("open.json: It is not applied, since its permissions let"),
            std::string::npos);
  EXPECT_EQ(Run({u"test", u"open.json"}), frontend::kMachineDiffers);
  EXPECT_NE(machine.ConsoleText().find("Warning: open.json is not only the administrators'"),
            std::string::npos);
  machine.PutFile(u"C:\\work\\bad.json", "[{\"action\": \"Create\",\r\n  \"kind\": \"Link\"}]");
  EXPECT_EQ(Run({u"apply", u"bad.json"}), win::ERROR_INVALID_DATA);
  EXPECT_NE(machine.ConsoleText().find("line 1, column 2"), std::string::npos)
      << machine.ConsoleText();
  // The undo takes back the folders made for a junction and the hard links this run made, but
  // leaves a name that holds another file now.
  machine.PutFile(u"C:\\work\\undo.json",
                  R"([{"action": "Create", "kind": "File", "link": "C:\\work\\h.txt",
    "target": "C:\\work\\a.txt"},
  {"action": "Create", "kind": "File", "link": "C:\\work\\h2.txt",
    "target": "C:\\work\\a.txt"},
  {"action": "Create", "kind": "Folder", "link": "C:\\work\\n1\\n2\\j",
    "target": "C:\\work\\t1\\t2"},
  {"action": "Create", "kind": "Drive", "link": "Y:", "target": "C:\\work"}])");
  starts = -1;  // the fourth start fails
  machine.OnCall("StartServiceW", [&] {
    if (starts != 3) return;
    win::DeleteFileW(u"C:\\work\\h.txt");
    machine.PutFile(u"C:\\work\\h.txt", "new");
  });
  EXPECT_EQ(Run({u"apply", u"undo.json"}), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine.FileContent(u"C:\\work\\h.txt"), "new");
  EXPECT_FALSE(machine.Exists(u"C:\\work\\h2.txt"));
  EXPECT_FALSE(machine.Exists(u"C:\\work\\n1") || machine.Exists(u"C:\\work\\t1"));
}

// A second file moves what the first stored, and --prune takes off what it no longer holds, of
// every kind, with only the labels corvane stored; test --prune sees the same. An undo that fails
// too keeps the failing change's code, and says what it left.
TEST_F(FrontEnd, ApplyMovesAndPrunesWhatItStored) {
  machine.PutFile(u"C:\\work\\links.json", kLinks);
  EXPECT_EQ(Run({u"apply", u"links.json"}), 0u);
  EXPECT_EQ(Run({u"add", u"drive", u"S:", u"C:\\work"}), 0u);
  machine.SetRegistryString(win::HKEY_LOCAL_MACHINE,
                            std::u16string(kDriveIcons) + u"\\S\\DefaultLabel", u"", u"Mine");
  machine.MakeDirectories(u"C:\\work\\other");
  machine.PutFile(u"C:\\work\\c.txt", "other");
  const std::string moved =
      "[{\"action\": \"Create\", \"kind\": \"Drive\", \"link\": \"Q:\", \"target\": "
      "\"C:\\\\work\\\\other\"},\r\n"
      " {\"action\": \"Create\", \"kind\": \"File\", \"link\": \"C:\\\\work\\\\b.txt\", \"target\": "
      "\"C:\\\\work\\\\c.txt\"}]";
  machine.PutFile(u"C:\\work\\moved.json", moved);
  EXPECT_EQ(Run({u"test", u"moved.json"}), frontend::kMachineDiffers);
  machine.SetStandardOutputIsConsole(false);
  // The hard link's move fails: the drive moved before it is moved back.
  int starts = 0;
  int lastFailing = 3;
  bool failing = true;
  machine.OnCall("StartServiceW", [&] {
    if (failing && ++starts >= 3 && starts <= lastFailing) {
      machine.FailNext("StartServiceW", win::ERROR_ACCESS_DENIED);
    }
  });
  EXPECT_EQ(Run({u"apply", u"moved.json", u"--prune"}), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work\\data"});
  // So does every start of the undo after it.
  starts = 0;
  lastFailing = 100;
  EXPECT_EQ(Run({u"apply", u"moved.json", u"--prune", u"--json"}), win::ERROR_ACCESS_DENIED);
  EXPECT_NE(machine.StandardOutput().find("\"rolledBack\": false"), std::string::npos)
      << machine.StandardOutput();
  EXPECT_NE(machine.ConsoleText().find("Drive Q: -> C:\\work\\other could not be taken back"),
            std::string::npos) << machine.ConsoleText();
  failing = false;
  EXPECT_EQ(Run({u"apply", u"moved.json", u"--prune"}), 0u);
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work\\other"});
  EXPECT_TRUE(machine.DosDevice(u"S:").empty());
  EXPECT_EQ(machine.LinkCount(u"C:\\work\\a.txt"), 1u);
  EXPECT_EQ(machine.LinkCount(u"C:\\work\\c.txt"), 2u);
  EXPECT_FALSE(machine.Exists(u"C:\\work\\j"));
  EXPECT_EQ(StoredRecords(), (std::vector<std::string>{"1,0,Q:,C:\\work\\other",
                                                       "1,2,C:\\work\\b.txt,C:\\work\\c.txt"}));
  std::u16string label;
  EXPECT_EQ(frontend::ReadDriveLabel(u"S:", label), 0u);
  EXPECT_EQ(label, u"Mine");
  EXPECT_EQ(Run({u"test", u"moved.json", u"--prune"}), 0u);
  machine.PutFile(u"C:\\work\\b.json", "[" + moved.substr(moved.find("},") + 2));
  EXPECT_EQ(Run({u"test", u"b.json", u"--prune"}), frontend::kMachineDiffers);
  EXPECT_NE(machine.StandardOutput().find("Q: -> C:\\work\\other: it is stored, but b.json"),
            std::string::npos);
  // Q: goes, and the label corvane stored for it.
  EXPECT_EQ(Run({u"apply", u"b.json", u"--prune"}), 0u);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
  EXPECT_NE(frontend::ReadDriveLabel(u"Q:", label), 0u);
}

// The package's undo: what an apply after the list was kept aside changed is put back, the list
// and labels too, and no list is left where there was none; a commit lets the copy go.
TEST_F(FrontEnd, RollBackPutsTheKeptListBack) {
  const auto call = [&](win::DWORD (*step)()) {
    machine.InstallProgram(kFrontEnd, sim::Program{[step] { return step(); }, {}});
    return machine.RunProgram(kFrontEnd, u"corvane");
  };
  machine.PutFile(u"C:\\work\\links.json", kLinks);
  EXPECT_EQ(call(frontend::KeepListForRollback), 0u);
  EXPECT_EQ(Run({u"apply", u"links.json"}), 0u);
  EXPECT_EQ(call(frontend::RollBackToKeptList), 0u);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
  EXPECT_EQ(machine.LinkCount(u"C:\\work\\a.txt"), 1u);
  EXPECT_FALSE(machine.Exists(u"C:\\work\\j"));
  EXPECT_FALSE(machine.Exists(kList));
  std::u16string label;
  EXPECT_NE(frontend::ReadDriveLabel(u"Q:", label), 0u);
  EXPECT_EQ(Run(kAddR), 0u);
  const auto before = machine.FileContent(kList);
  EXPECT_EQ(call(frontend::KeepListForRollback), 0u);
  EXPECT_EQ(Run({u"apply", u"links.json"}), 0u);
  EXPECT_EQ(call(frontend::RollBackToKeptList), 0u);
  EXPECT_EQ(machine.FileContent(kList), before);
  EXPECT_FALSE(machine.Exists(std::u16string(kList) + u".rollback"));
  EXPECT_EQ(machine.DosDevice(u"R:").size(), 1u);
  EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
  machine.PutFile(std::u16string(kList) + u".none.rollback", "");  // kept when there was none
  EXPECT_EQ(call(frontend::KeepListForRollback), 0u);
  EXPECT_FALSE(machine.Exists(std::u16string(kList) + u".none.rollback"));
  EXPECT_TRUE(machine.Exists(std::u16string(kList) + u".rollback"));
  EXPECT_EQ(call(frontend::ForgetKeptList), 0u);
  EXPECT_FALSE(machine.Exists(std::u16string(kList) + u".rollback"));
}

// A letter machine policy maps is the policy's: list shows it, remove and delete refuse it, apply
// and test find it in force, and --prune keeps what the list stores for it.
TEST_F(FrontEnd, PolicyLettersAreThePolicys) {
  EXPECT_EQ(Run(kAddQ), 0u);
  machine.SetRegistryString(win::HKEY_LOCAL_MACHINE, kPolicyDrivesKey, u"Q:", u"C:\\work");
  EXPECT_EQ(Run({u"restore"}), 0u);
  EXPECT_EQ(Run({u"remove", u"drive", u"Q:"}), win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run({u"delete", u"drive", u"Q:"}), win::ERROR_ACCESS_DENIED);
  machine.PutFile(u"C:\\work\\links.json", kLinks);
  EXPECT_EQ(Run({u"apply", u"links.json"}), 0u);
  EXPECT_EQ(Run({u"test", u"--prune", u"links.json"}), 0u);
  machine.PutFile(u"C:\\work\\none.json", "[]");
  EXPECT_EQ(Run({u"apply", u"--prune", u"none.json"}), 0u);
  EXPECT_EQ(StoredRecords(), std::vector<std::string>{"1,0,Q:,C:\\work\\data"});
  EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\work"});
  EXPECT_EQ(Run({u"list"}), 0u);
  const std::string shown = machine.ConsoleText();
  EXPECT_NE(shown.find("policy   Drive Q: -> C:\\work\\data"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Q: is mapped onto C:\\work by machine policy, so nothing was changed."),
            std::string::npos);
  EXPECT_NE(shown.find("Create Drive Q: -> C:\\work  (mapped now)  policy"), std::string::npos);
}

}  // namespace
}  // namespace corvane_test
