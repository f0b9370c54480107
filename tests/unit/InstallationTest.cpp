// Registration by command-line switch: which switch a command line means, what each leaves in
// the registry and the service control manager, the exit codes and the message boxes.
#include <atomic>
#include <new>
#include <thread>

#include "platform/UniqueHandle.h"
#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

using win::HRESULT;

const std::u16string kEventSourceKey =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CorvaneService";
// How the command line names the program: in quotes, without, or not at all (started with the
// program's name given apart).
enum class PathForm { Quoted, Bare, Absent };

// A machine with the program in place and nothing registered yet.
class Installation : public ServiceHarness {
 protected:
  Installation() {
    machine.DeleteRegistryTree(win::HKEY_CLASSES_ROOT, u"AppID");
    win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
    win::UniqueService service(win::OpenServiceW(manager.Get(), u"CorvaneService", win::DELETE));
    win::DeleteService(service.Get());
  }

  HRESULT Run(std::u16string switches, std::u16string image = kServiceImage,
              PathForm form = PathForm::Quoted) {
    machine.InstallProgram(image, ServiceProgram());
    const std::u16string path = form == PathForm::Quoted ? u"\"" + image + u"\" "
                                : form == PathForm::Bare ? image + u" "
                                                         : u"";
    return static_cast<HRESULT>(machine.RunProgram(image, path + switches));
  }
  bool HasLocalService() const {
    return machine.GetRegistryValue(win::HKEY_CLASSES_ROOT, kAppIdKey, u"LocalService").has_value();
  }
  std::vector<std::u16string> Messages() const {
    std::vector<std::u16string> texts;
    for (const auto& box : machine.MessageBoxes()) texts.push_back(box.text);
    return texts;
  }
};

const std::u16string kKiosk = u"C:\\Program Files\\Self-Service Kiosk\\CorvaneService.exe";

// What a command line did, as seen from outside.
enum class Outcome { None, Register, Unregister, Service };

struct SwitchCase {
  const char* name;
  std::u16string arguments;
  std::u16string image;
  Outcome outcome;
  PathForm form = PathForm::Quoted;
};

class Switches : public Installation, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(Switches, SelectTheRegistrationWork) {
  const SwitchCase& c = GetParam();
  const HRESULT result = Run(c.arguments, c.image.empty() ? kServiceImage : c.image, c.form);
  switch (c.outcome) {
    case Outcome::None:  // a plain start: the dispatcher refuses, since no manager started it
      EXPECT_EQ(result, static_cast<HRESULT>(win::ERROR_FILE_NOT_FOUND));
      break;
    case Outcome::Unregister:  // nothing was ever registered
      EXPECT_EQ(result, HresultFromWin32(win::ERROR_FILE_NOT_FOUND));
      break;
    case Outcome::Register:
    case Outcome::Service:
      EXPECT_EQ(result, win::S_OK);
      break;
  }
  EXPECT_EQ(machine.RegistryKeyExists(win::HKEY_CLASSES_ROOT, kAppIdKey),
            c.outcome == Outcome::Register || c.outcome == Outcome::Service);
  EXPECT_EQ(HasLocalService(), c.outcome == Outcome::Service);
  EXPECT_EQ(machine.Service(u"CorvaneService").has_value(), c.outcome == Outcome::Service);
  EXPECT_EQ(machine.RegistryKeyExists(win::HKEY_LOCAL_MACHINE, kEventSourceKey),
            c.outcome == Outcome::Service);
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Switches,
    ::testing::Values(
        SwitchCase{"NoSwitch", u"regserver service", u"", Outcome::None},
        SwitchCase{"Slash", u"/regserver", u"", Outcome::Register},
        SwitchCase{"Upper", u"-REGSERVER", u"", Outcome::Register},
        SwitchCase{"DoubleDash", u"--RegServer", u"", Outcome::Register},
        SwitchCase{"TabEndsTheWord", u"-RegServer\tx", u"", Outcome::Register},
        SwitchCase{"LongerWord", u"-RegServer2", u"", Outcome::None},
        SwitchCase{"WithArgument", u"-RegServer:x", u"", Outcome::None},
        SwitchCase{"ShorterWord", u"-Reg", u"", Outcome::None},
        SwitchCase{"Service", u"/service", u"", Outcome::Service},
        SwitchCase{"UnregServer", u"-unregserver", u"", Outcome::Unregister},
        SwitchCase{"UnregisterBeatsService", u"-Service -UnregServer", u"", Outcome::Unregister},
        SwitchCase{"FirstOfTheTwoWins", u"-RegServer -UnregServer", u"", Outcome::Register},
        SwitchCase{"FirstOfTheTwoWinsAgain", u"-UnregServer -RegServer", u"", Outcome::Unregister},
        SwitchCase{"DashInTheProgramPath", u"", u"C:\\Tools\\x-RegServer x\\CorvaneService.exe",
                   Outcome::None},
        SwitchCase{"SwitchAfterThePath", u"-UnregServer",
                   u"C:\\Tools\\x-RegServer x\\CorvaneService.exe", Outcome::Unregister},
        SwitchCase{"BareKioskPath", u"", u"C:\\Self-Service Kiosk\\CorvaneService.exe",
                   Outcome::None, PathForm::Bare},
        // Only the program's own path, as the command line gives it, is no switch.
        SwitchCase{"JustTheSwitch", u"-Service", u"", Outcome::Service,
                   PathForm::Absent},
        SwitchCase{"BareKioskPathWithBlanks", u"", kKiosk, Outcome::None,
                   PathForm::Bare},
        SwitchCase{"SwitchAfterTheBareKioskPath", u"-UnregServer", kKiosk, Outcome::Unregister,
                   PathForm::Bare},
        SwitchCase{"QuotedKioskPath", u"", kKiosk, Outcome::None},
        SwitchCase{"SwitchAfterTheQuotedKioskPath", u"-UnregServer", kKiosk,
                   Outcome::Unregister}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Installation, ServiceWritesTheEntriesAndTheRecord) {
  ASSERT_EQ(Run(u"-Service"), win::S_OK);
  EXPECT_EQ(machine.GetRegistryValue(win::HKEY_CLASSES_ROOT, kAppIdKey, u"LocalService"),
            (sim::RegistryData{win::REG_SZ,
                               {'C', 0, 'o', 0, 'r', 0, 'v', 0, 'a', 0, 'n', 0, 'e', 0, 'S', 0,
                                'e', 0, 'r', 0, 'v', 0, 'i', 0, 'c', 0, 'e', 0, 0,   0}}));
  const auto record = machine.Service(u"CorvaneService");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->displayName, u"CorvaneService");
  EXPECT_EQ(record->serviceType, win::SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(record->startType, win::SERVICE_DEMAND_START);
  EXPECT_EQ(record->errorControl, win::SERVICE_ERROR_NORMAL);
  EXPECT_EQ(record->imagePath, u"\"" + std::u16string(kServiceImage) + u"\"");
  EXPECT_EQ(record->dependencies, std::vector<std::u16string>{u"RPCSS"});
  EXPECT_EQ(record->account, u"LocalSystem");
  EXPECT_EQ(machine.RegistryTree(win::HKEY_LOCAL_MACHINE, kEventSourceKey),
            (std::vector<std::string>{"",
                                      "[EventMessageFile] = REG_EXPAND_SZ "
                                      R"("C:\Program Files\Corvane\CorvaneService.exe")",
                                      "[TypesSupported] = REG_DWORD 0x00000007"}));
  EXPECT_EQ(machine.OpenHandles(), 0u);

  // Installed, it runs requests through the manager.
  machine.MakeDirectories(u"C:\\Data");
  EXPECT_EQ(StartService({u"Drive", u"Create", u"C:\\Data", u"Q:"}).exitCode, 0u);

  // Again over itself, then removed: only HKEY_CLASSES_ROOT\AppID stays.
  EXPECT_EQ(Run(u"-Service"), win::S_OK);
  EXPECT_TRUE(machine.Service(u"CorvaneService"));
  EXPECT_EQ(Run(u"-UnregServer"), win::S_OK);
  EXPECT_FALSE(machine.Service(u"CorvaneService"));
  EXPECT_FALSE(machine.RegistryKeyExists(win::HKEY_LOCAL_MACHINE, kEventSourceKey));
  EXPECT_EQ(machine.RegistryTree(win::HKEY_CLASSES_ROOT, u"AppID"), std::vector<std::string>{""});
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

// -Service has the manager start the service whenever machine policy is applied, with the one
// argument "TriggerStarted"; once the service is removed, nothing is started.
TEST_F(Installation, ServiceStartsWhenMachinePolicyIsApplied) {
  ASSERT_EQ(Run(u"-Service"), win::S_OK);
  EXPECT_EQ(machine.ServiceTriggers(u"CorvaneService"),
            (std::vector<sim::ServiceTrigger>{{win::SERVICE_TRIGGER_TYPE_GROUP_POLICY,
                                               win::SERVICE_TRIGGER_ACTION_SERVICE_START,
                                               win::MACHINE_POLICY_PRESENT_GUID,
                                               {}}}));
  const auto runs = machine.ApplyMachinePolicy();
  ASSERT_EQ(runs.size(), 1u);
  ASSERT_TRUE(runs.contains(u"CorvaneService"));
  EXPECT_EQ(runs.at(u"CorvaneService").serviceArguments,
            (std::vector<std::u16string>{u"CorvaneService", u"TriggerStarted"}));
  EXPECT_EQ(Run(u"-UnregServer"), win::S_OK);
  EXPECT_TRUE(machine.ApplyMachinePolicy().empty());
}

// The trigger is no part of the install: a manager that refuses it still gets the record.
TEST_F(Installation, TriggerRefusedStillInstallsAndSaysSo) {
  machine.FailNext("ChangeServiceConfig2W", win::ERROR_INVALID_LEVEL);
  EXPECT_EQ(Run(u"-Service"), win::S_OK);
  EXPECT_TRUE(machine.Service(u"CorvaneService"));
  EXPECT_TRUE(machine.ServiceTriggers(u"CorvaneService").empty());
  EXPECT_EQ(Messages(), std::vector<std::u16string>{
                            u"Could not register the machine policy trigger: the service will "
                            u"not start when machine policy is applied"});
}

TEST_F(Installation, RegServerRemovesAnInstalledService) {
  ASSERT_EQ(Run(u"-Service"), win::S_OK);
  EXPECT_EQ(Run(u"-RegServer"), win::S_OK);
  EXPECT_FALSE(machine.Service(u"CorvaneService"));
  EXPECT_FALSE(machine.RegistryKeyExists(win::HKEY_LOCAL_MACHINE, kEventSourceKey));
  EXPECT_FALSE(HasLocalService());
  EXPECT_TRUE(machine.RegistryKeyExists(win::HKEY_CLASSES_ROOT, kAppIdKey));
}

// ---- Failures: the exit code and the message shown ----

struct FailureCase {
  const char* name;
  std::u16string arguments;
  bool installedBefore;
  const char* function;  // fails from its `call`th call on
  int call;
  win::DWORD code;
  HRESULT result;
  std::vector<std::u16string> messages;
};

class Failures : public Installation, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failures, GiveTheExitCodeAndTheMessage) {
  const FailureCase& c = GetParam();
  if (c.installedBefore) {
    ASSERT_EQ(Run(u"-Service"), win::S_OK);
  }
  int calls = 0;
  machine.OnCall(c.function, [&] {
    if (++calls >= c.call) machine.FailNext(c.function, c.code);
  });
  EXPECT_EQ(Run(c.arguments), c.result);
  EXPECT_EQ(Messages(), c.messages);
  EXPECT_EQ(machine.RegistryKeyExists(win::HKEY_LOCAL_MACHINE, kEventSourceKey),
            machine.Service(u"CorvaneService").has_value());
  for (const auto& box : machine.MessageBoxes()) {
    EXPECT_EQ(box.caption, u"CorvaneService");
    EXPECT_EQ(box.type, win::MB_OK);
    EXPECT_EQ(box.owner, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, Failures,
    ::testing::Values(
        // Installing: the existence test and the removal pass over a manager that cannot be
        // opened; the install itself cannot.
        FailureCase{"ManagerClosed",
                    u"-Service",
                    false,
                    "OpenSCManagerW",
                    1,
                    5,
                    win::E_FAIL,
                    {u"Could not open Service Manager"}},
        FailureCase{"CreateRefused",
                    u"-Service",
                    false,
                    "CreateServiceW",
                    1,
                    5,
                    win::E_FAIL,
                    {u"Could not start service"}},
        // Removing: the existence test opens the manager and the service first.
        FailureCase{"ManagerClosedForRemoval",
                    u"-UnregServer",
                    true,
                    "OpenSCManagerW",
                    2,
                    5,
                    win::E_FAIL,
                    {u"Could not open Service Manager"}},
        FailureCase{"ServiceNotOpened",
                    u"-UnregServer",
                    true,
                    "OpenServiceW",
                    2,
                    5,
                    win::E_FAIL,
                    {u"Could not open service"}},
        FailureCase{"DeleteRefused",
                    u"-UnregServer",
                    true,
                    "DeleteService",
                    1,
                    5,
                    win::E_FAIL,
                    {u"Could not delete service"}},
        FailureCase{"StopRefusedGoesOn",
                    u"-UnregServer",
                    true,
                    "ControlService",
                    1,
                    5,
                    win::S_OK,
                    {u"Could not stop service"}},
        FailureCase{"RegistryDenied",
                    u"-RegServer",
                    false,
                    "RegOpenKeyExW",
                    1,
                    5,
                    HresultFromWin32(win::ERROR_ACCESS_DENIED),
                    {}},
        FailureCase{"AppIdKeyNotMade",
                    u"-Service",
                    false,
                    "RegCreateKeyExW",
                    4,
                    5,
                    HresultFromWin32(win::ERROR_ACCESS_DENIED),
                    {}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Installation, ServiceWithoutItsLocalServiceValueInstallsNothing) {
  int calls = 0;  // the script writes two values first
  machine.OnCall("RegSetValueExW", [&] {
    if (++calls == 3) machine.FailNext("RegSetValueExW", 5);
  });
  EXPECT_EQ(Run(u"-Service"), HresultFromWin32(win::ERROR_ACCESS_DENIED));
  EXPECT_FALSE(machine.Service(u"CorvaneService"));
}

// The event source is no part of the registration: a key that cannot be written, or that has a
// subkey, fails no switch, and is said once the rest has succeeded.
TEST_F(Installation, EventSourceNeverFailsRegistration) {
  int calls = 0;  // the script's keys and the AppID key come first
  machine.OnCall("RegCreateKeyExW", [&] {
    if (++calls == 5) machine.FailNext("RegCreateKeyExW", 5);
  });
  EXPECT_EQ(Run(u"-Service"), win::S_OK);
  EXPECT_TRUE(machine.Service(u"CorvaneService"));
  EXPECT_FALSE(machine.RegistryKeyExists(win::HKEY_LOCAL_MACHINE, kEventSourceKey));
  const std::u16string unregistered =
      u"Could not register the event source: Event Viewer will not show the service's event "
      u"texts";
  EXPECT_EQ(Messages(), std::vector<std::u16string>{unregistered});
  machine.CreateRegistryKey(win::HKEY_LOCAL_MACHINE, kEventSourceKey + u"\\Sub");
  EXPECT_EQ(Run(u"-UnregServer"), win::S_OK);
  EXPECT_FALSE(machine.RegistryKeyExists(win::HKEY_LOCAL_MACHINE, kEventSourceKey));
  EXPECT_FALSE(machine.RegistryKeyExists(win::HKEY_CLASSES_ROOT, kAppIdKey));
  EXPECT_EQ(Messages(), std::vector<std::u16string>{unregistered});
  // A source that cannot be taken off stays, and that is said too.
  ASSERT_EQ(Run(u"-Service"), win::S_OK);
  machine.FailNext("RegDeleteKeyW", 5);
  EXPECT_EQ(Run(u"-RegServer"), win::S_OK);
  EXPECT_TRUE(machine.RegistryKeyExists(win::HKEY_LOCAL_MACHINE, kEventSourceKey));
  EXPECT_EQ(Messages().back(), u"Could not remove the event source");
}

TEST_F(Installation, OutOfMemoryDuringASwitchIsEOutOfMemory) {
  machine.OnCall("OpenSCManagerW", [] { throw std::bad_alloc(); });
  EXPECT_EQ(Run(u"-Service"), win::E_OUTOFMEMORY);
}

TEST_F(Installation, UnregServerOfANeverRegisteredSystemRunsNoScript) {
  bool scriptRun = false;
  machine.OnCall("FindResourceW", [&] { scriptRun = true; });
  EXPECT_EQ(Run(u"-UnregServer"), static_cast<HRESULT>(0x80070002));
  EXPECT_FALSE(scriptRun);
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

TEST_F(Installation, StandardUserIsDeniedWithoutAMessage) {
  machine.SetAdministrator(false);
  EXPECT_EQ(Run(u"-Service"), HresultFromWin32(win::ERROR_ACCESS_DENIED));
  EXPECT_FALSE(machine.Service(u"CorvaneService"));
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

TEST_F(Installation, ProgramPathOf260OrMoreFailsInTheScriptStep) {
  const std::u16string image = u"C:\\" + std::u16string(300, u'p') + u"\\CorvaneService.exe";
  EXPECT_EQ(Run(u"-Service", image), static_cast<HRESULT>(0x8007007A));
  EXPECT_FALSE(machine.Service(u"CorvaneService"));
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

TEST_F(Installation, MessageTextComesFromTheStringTableWhenPresent) {
  sim::Program program = ServiceProgram();
  program.strings[55307] = u"!";  // any text there is taken, however short
  machine.InstallProgram(kServiceImage, program);
  machine.FailNext("CreateServiceW", 5);
  EXPECT_EQ(static_cast<HRESULT>(machine.RunProgram(
                kServiceImage, u"\"" + std::u16string(kServiceImage) + u"\" -Service")),
            win::E_FAIL);
  EXPECT_EQ(Messages(), std::vector<std::u16string>{u"!"});
}

// ---- Reinstalling over a running service ----

// A request held inside its first platform call keeps the service running until released.
class RunningService : public Installation {
 protected:
  void StartHeldRequest() {
    ASSERT_EQ(Run(u"-Service"), win::S_OK);
    machine.OnCall("DefineDosDeviceW", [this] {
      held = true;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    runner = std::thread([this] { StartService({u"Drive", u"Delete", u"-", u"Q:"}); });
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~RunningService() override {
    release = true;
    if (runner.joinable()) runner.join();
  }

  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread runner;
};

// The record deleted under a running service stays until the service stops; -Service waits
// for it, then creates the new one.
TEST_F(RunningService, ServiceWaitsForTheOldRecordToGo) {
  StartHeldRequest();
  int sleeps = 0;
  machine.OnCall("Sleep", [&] {
    if (++sleeps == 3) release = true;
  });
  EXPECT_EQ(Run(u"-Service"), win::S_OK);
  const auto record = machine.Service(u"CorvaneService");
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->markedForDeletion);
  // The stop was refused while the request ran, and said so.
  EXPECT_EQ(Messages(), std::vector<std::u16string>{u"Could not stop service"});
}

TEST_F(RunningService, ServiceFailsWhenTheOldRecordDoesNotGo) {
  StartHeldRequest();
  machine.FailNext("Sleep", 0, 1000);  // every wait passes at once
  EXPECT_EQ(Run(u"-Service"), win::E_FAIL);
  EXPECT_EQ(Messages(),
            (std::vector<std::u16string>{u"Could not stop service", u"Could not start service"}));
  release = true;
  runner.join();
  EXPECT_FALSE(machine.Service(u"CorvaneService")) << "the marked record went with its service";
}

// The wait for the old record and the wait for its name share one budget of five seconds.
TEST_F(RunningService, ReinstallWaitsFiveSecondsInAll) {
  StartHeldRequest();
  machine.KeepDeletedServiceNamesFor(60'000);
  int sleeps = 0;
  machine.OnCall("Sleep", [&] {
    if (++sleeps != 30) return;
    release = true;
    while (machine.Service(u"CorvaneService")) std::this_thread::yield();
  });
  machine.FailNext("Sleep", 0, 1000);  // every wait passes at once
  EXPECT_EQ(Run(u"-Service"), win::E_FAIL);
  EXPECT_EQ(sleeps, 50);
}

// The manager may keep a deleted record's name a while after the record has gone.
TEST_F(Installation, ReinstallWaitsForTheOldNameToBeFree) {
  ASSERT_EQ(Run(u"-Service"), win::S_OK);
  machine.KeepDeletedServiceNamesFor(300);
  EXPECT_EQ(Run(u"-Service"), win::S_OK);
  EXPECT_TRUE(machine.Service(u"CorvaneService"));
  machine.KeepDeletedServiceNamesFor(60'000);
  machine.FailNext("Sleep", 0, 1000);  // every wait passes at once
  EXPECT_EQ(Run(u"-Service"), win::E_FAIL);
  EXPECT_EQ(Messages(), std::vector<std::u16string>{u"Could not start service"});
}

}  // namespace
}  // namespace corvane_test
