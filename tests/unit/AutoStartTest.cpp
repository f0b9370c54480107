// CorvaneAutoStart on the simulated machine: what each stream, the message box, the exit code
// and the service record show for every way a run can end.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "autostart/AutoStart.h"
#include "autostart/Reports.h"
#include "platform/UniqueHandle.h"
#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

constexpr char16_t kToolImage[] = u"C:\\Program Files\\Corvane\\CorvaneAutoStart.exe";
constexpr char16_t kBoxText[] =
    u"Can not register Corvane as service!\nCheck if you have administrator privelegies!";

// The service installed by its own -Service switch, and the tool beside it.
class AutoStart : public ::testing::Test {
 protected:
  AutoStart() {
    InstallWithServiceSwitch(machine);
    machine.InstallProgram(kToolImage, sim::Program{[] { return autostart::ConfigureAutoStart(); }, {}});
    // A failed install fails the case; it must not end the test program.
    if (auto record = machine.Service(u"CorvaneService")) {
      installed = *record;
    } else {
      ADD_FAILURE() << "the -Service switch installed no service";
    }
    machine.OnCall("MessageBoxW", [this] {
      lockedAtBox = machine.ServiceDatabaseLocked();
      handlesAtBox = machine.OpenHandles();
      outputAtBox = machine.StandardOutput();
    });
  }

  win::DWORD Run(std::u16string arguments = u"") {
    return machine.RunProgram(kToolImage, u"\"" + std::u16string(kToolImage) + u"\"" + arguments);
  }

  sim::Machine machine;
  sim::ServiceConfig installed;
  bool lockedAtBox = false;
  std::size_t handlesAtBox = 0;
  std::string outputAtBox;
};

const std::u16string kLongestOwner(121, u'o');  // the most the 268-byte status buffer holds

struct RunCase {
  const char* name;
  std::function<void(sim::Machine&)> arrange;
  std::string output;
  std::string error;
  bool box;
  win::DWORD exitCode;
  bool lockedAtBox = false;  // by the other owner, who still holds it
};

class AutoStartRuns : public AutoStart, public ::testing::WithParamInterface<RunCase> {};

TEST_P(AutoStartRuns, WriteTheStreamsAndExitAsTold) {
  const RunCase& c = GetParam();
  c.arrange(machine);

  EXPECT_EQ(Run(), c.exitCode);
  EXPECT_EQ(machine.StandardOutput(), c.output);
  EXPECT_EQ(machine.StandardError(), c.error);
  const auto boxes = machine.MessageBoxes();
  ASSERT_EQ(boxes.size(), c.box ? 1u : 0u);
  if (c.box) {
    EXPECT_EQ(boxes[0], (sim::MessageBoxRecord{nullptr, kBoxText, u"Corvane", win::MB_ICONERROR}));
    // Everything the tool took is given back before the box waits for the user; what standard
    // output holds is already out.
    EXPECT_EQ(lockedAtBox, c.lockedAtBox);
    EXPECT_EQ(handlesAtBox, 0u);
    EXPECT_EQ(outputAtBox, c.output);
  }
  EXPECT_EQ(machine.OpenHandles(), 0u);
  EXPECT_EQ(machine.LocalAllocations(), 0u);
  const auto record = machine.Service(u"CorvaneService");
  if (record && c.exitCode == 0) {
    EXPECT_EQ(record->startType, win::SERVICE_AUTO_START);
  } else if (record) {
    EXPECT_EQ(record->startType, win::SERVICE_DEMAND_START);
  }
}

void Nothing(sim::Machine&) {}

void HeldElsewhere(sim::Machine& m) {
  m.HoldServiceDatabaseLock(u"NT AUTHORITY\\SYSTEM", 42);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AutoStartRuns,
    ::testing::Values(
        RunCase{"Success", Nothing, "ChangeServiceConfig SUCCESS\n", "", false, 0},
        RunCase{"NoAdministratorRights", [](sim::Machine& m) { m.SetAdministrator(false); }, "",
                "OpenSCManager\n: No error\n", true, 1},
        RunCase{"LockRefusedOtherwise",
                [](sim::Machine& m) { m.FailNext("LockServiceDatabase", win::ERROR_ACCESS_DENIED); },
                "", "LockServiceDatabase\n: No error\n", true, 1},
        RunCase{"LockedNoMemoryForTheStatus",
                [](sim::Machine& m) {
                  HeldElsewhere(m);
                  m.FailNext("LocalAlloc", win::ERROR_NOT_ENOUGH_MEMORY);
                },
                "", "LocalAlloc\n: No error\n", true, 1, true},
        RunCase{"LockedOwnerNameTooLong",
                [](sim::Machine& m) { m.HoldServiceDatabaseLock(kLongestOwner + u"o", 5); },
                "QueryServiceLockStatus\n", "", true, 1, true},
        RunCase{"LockedStatusQueryFails",
                [](sim::Machine& m) {
                  HeldElsewhere(m);
                  m.FailNext("QueryServiceLockStatusW", win::ERROR_ACCESS_DENIED);
                },
                "QueryServiceLockStatus\n", "", true, 1, true},
        RunCase{"Locked", HeldElsewhere, "Locked by: NT AUTHORITY\\SYSTEM, duration: 42 seconds\n",
                "Could not lock database\n: No error\n", true, 1, true},
        RunCase{"LockedLongestOwnerName",
                [](sim::Machine& m) { m.HoldServiceDatabaseLock(kLongestOwner, 0); },
                "Locked by: " + std::string(121, 'o') + ", duration: 0 seconds\n",
                "Could not lock database\n: No error\n", true, 1, true},
        RunCase{"LockReleasedBeforeTheQuery",
                [](sim::Machine& m) {
                  HeldElsewhere(m);
                  m.OnCall("QueryServiceLockStatusW", [&m] { m.ReleaseServiceDatabaseLock(); });
                },
                "", "No longer locked\n: No error\nCould not lock database\n: No error\n", true, 1},
        RunCase{"ServiceNotInstalled",
                [](sim::Machine&) {
                  win::UniqueService manager(
                      win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
                  win::UniqueService service(
                      win::OpenServiceW(manager.Get(), u"CorvaneService", win::DELETE));
                  win::DeleteService(service.Get());
                },
                "", "OpenService\n: No error\n", true, 1},
        RunCase{"ServiceOpenRefused",
                [](sim::Machine& m) { m.FailNext("OpenServiceW", win::ERROR_ACCESS_DENIED); }, "",
                "OpenService\n: No error\n", true, 1},
        RunCase{"ChangeRefused",
                [](sim::Machine& m) {
                  m.FailNext("ChangeServiceConfigW", win::ERROR_SERVICE_MARKED_FOR_DELETE);
                },
                "", "ChangeServiceConfig\n: No error\n", false, 1}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(AutoStart, TwoRunsChangeOnlyTheStartTypeAndIgnoreArguments) {
  machine.SetStandardOutputIsConsole(false);  // what is held goes out at the end of each run
  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(Run(u" -Service /x extra"), 0u);
  EXPECT_EQ(machine.StandardOutput(), "ChangeServiceConfig SUCCESS\nChangeServiceConfig SUCCESS\n");
  EXPECT_EQ(machine.StandardError(), "");
  sim::ServiceConfig expected = installed;
  expected.startType = win::SERVICE_AUTO_START;
  EXPECT_EQ(machine.Service(u"CorvaneService"), expected);
  EXPECT_EQ(machine.GetRegistryValue(win::HKEY_LOCAL_MACHINE,
                                     u"System\\CurrentControlSet\\Services\\CorvaneService", u"Start"),
            (sim::RegistryData{win::REG_DWORD, {2, 0, 0, 0}}));
}

TEST_F(AutoStart, ReleasesTheLockBeforeTheServiceHandle) {
  machine.AnswerServiceDatabaseLockAsWindowsXp();  // where a lock held can be seen
  bool lockedWhenClosing = true;
  machine.OnCall("CloseServiceHandle", [&] {
    if (machine.OpenHandles() <= 2) lockedWhenClosing = machine.ServiceDatabaseLocked();
  });
  EXPECT_EQ(Run(), 0u);
  EXPECT_FALSE(lockedWhenClosing);
  // Also when the service cannot be opened: the lock goes before the manager handle.
  machine.FailNext("OpenServiceW", win::ERROR_ACCESS_DENIED);
  lockedWhenClosing = true;
  EXPECT_EQ(Run(), 1u);
  EXPECT_FALSE(lockedWhenClosing);
}

// On a console the lines of both streams show in the order written; a redirected standard output
// is written once, at the end.
struct ConsoleCase {
  const char* name;
  bool console;
  std::string shown;
};

class AutoStartConsole : public AutoStart, public ::testing::WithParamInterface<ConsoleCase> {};

TEST_P(AutoStartConsole, ShowsTheLinesInOrder) {
  machine.SetStandardOutputIsConsole(GetParam().console);
  HeldElsewhere(machine);
  win::DWORD writesBeforeError = 0;
  machine.OnCall("WriteFile", [&] {
    if (machine.StandardError().empty()) ++writesBeforeError;
  });
  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(machine.ConsoleText(), GetParam().shown);
  EXPECT_EQ(machine.StandardOutput(), "Locked by: NT AUTHORITY\\SYSTEM, duration: 42 seconds\n");
  EXPECT_EQ(writesBeforeError, GetParam().console ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, AutoStartConsole,
    ::testing::Values(
        ConsoleCase{"Console", true,
                    "Locked by: NT AUTHORITY\\SYSTEM, duration: 42 seconds\n"
                    "Could not lock database\n: No error\n"},
        ConsoleCase{"Redirected", false, "Could not lock database\n: No error\n"}),
    [](const auto& param) { return std::string(param.param.name); });

// The output routines on their own: the bytes of the C locale and the text of errno.
struct ErrorReportCase {
  const char* name;
  std::u16string text;
  int error;
  std::string written;
};

class ErrorReportBytes : public ::testing::TestWithParam<ErrorReportCase> {};

TEST_P(ErrorReportBytes, AreTheTextThenTheErrorNumbersMessage) {
  sim::Machine machine;
  autostart::Reports reports;
  errno = GetParam().error;
  reports.ErrorReport(GetParam().text);
  errno = 0;
  EXPECT_EQ(machine.StandardError(), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorReportBytes,
    ::testing::Values(ErrorReportCase{"Empty", u"", 0, ": No error\n"},
                      ErrorReportCase{"Latin1", u"\u00E9\u00FF\n", 0, "\xE9\xFF\n: No error\n"},
                      ErrorReportCase{"BeyondLatin1", u"ab\u0100\n", 0, ""},
                      ErrorReportCase{"ErrorNumber", u"x", ENOENT, "x: No such file or directory\n"}),
    [](const auto& param) { return std::string(param.param.name); });

struct ReportCase {
  const char* name;
  std::u16string format;
  std::vector<autostart::ReportArgument> arguments;
  std::string written;
};

class ReportBytes : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportBytes, FollowTheFormat) {
  sim::Machine machine;
  {
    autostart::Reports reports;
    reports.Report(GetParam().format, GetParam().arguments);
  }
  EXPECT_EQ(machine.StandardOutput(), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReportBytes,
    ::testing::Values(
        ReportCase{"StringAndNumber", u"%s, %d s\n", {u"Name", -7}, "Name, -7 s\n"},
        ReportCase{"BeyondLatin1", u"%s!", {u"\u00FF\u0100x"}, "\xFF?x!"},
        ReportCase{"WithoutArguments", u"%x %s %d%", {}, "%x %s %d%"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace corvane_test
