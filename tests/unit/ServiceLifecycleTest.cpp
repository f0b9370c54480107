// The service's life cycle as the service control manager sees it: reports, exit codes, controls
// and the event log.
#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

using win::DWORD;

std::vector<DWORD> States(const sim::ServiceRun& run) {
  std::vector<DWORD> states;
  for (const auto& report : run.reports) states.push_back(report.dwCurrentState);
  return states;
}

class ServiceLifecycle : public ServiceHarness {};

TEST_F(ServiceLifecycle, NormalStartReportsStartPendingThenStoppedWithTheExitCode) {
  // Removing a mapping that does not exist fails; the exit code is the platform's reason.
  const auto run = StartService({u"Drive", u"Delete", u"C:\\unused", u"Q:"});

  ASSERT_EQ(States(run), (std::vector<DWORD>{win::SERVICE_START_PENDING, win::SERVICE_STOPPED}));
  const auto& pending = run.reports[0];
  EXPECT_EQ(pending.dwServiceType, win::SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(pending.dwControlsAccepted, win::SERVICE_ACCEPT_STOP);
  EXPECT_EQ(pending.dwWin32ExitCode, 0u);
  EXPECT_EQ(pending.dwCheckPoint, 0u);
  EXPECT_EQ(pending.dwWaitHint, 0u);
  const auto& stopped = run.reports[1];
  EXPECT_NE(stopped.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(run.exitCode, stopped.dwWin32ExitCode);
  EXPECT_EQ(run.processExitCode, stopped.dwWin32ExitCode);
}

TEST_F(ServiceLifecycle, EveryCompletedStartLogsServiceStopped) {
  StartService({u"Bogus", u"Create", u"x", u"y"});
  StartService({u"Drive", u"Create", u"C:\\", u"Q:"});

  const auto events = machine.Events();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& event : events) {
    EXPECT_EQ(event.source, u"CorvaneService");
    EXPECT_EQ(event.type, win::EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(event.category, 0);
    EXPECT_EQ(event.eventId, 0u);
    EXPECT_EQ(event.strings, std::vector<std::u16string>{u"Service stopped"});
  }
}

// Windows may end the process as soon as the dispatcher returns, which is right after the
// stopped report; the event written after that report must still be written.
TEST_F(ServiceLifecycle, ServiceStoppedIsLoggedEvenWhenLoggingIsSlow) {
  machine.OnCall("RegisterEventSourceW",
                 [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
  const auto run = StartService({u"Bogus", u"Create", u"x", u"y"});
  EXPECT_EQ(run.exitCode, win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(EventTexts(), std::vector<std::u16string>{u"Service stopped"});
}

struct ControlCase {
  DWORD code;
  bool logsBadRequest;
};

class ControlCodes : public ServiceHarness, public ::testing::WithParamInterface<ControlCase> {};

// Each control arrives while the request runs (inside its first platform call).
TEST_P(ControlCodes, OnlyStopReportsAndOnlyUnknownCodesAreLogged) {
  const ControlCase c = GetParam();
  bool delivered = false;
  std::atomic<bool> once{false};
  machine.OnCall("DefineDosDeviceW", [&] {
    if (!once.exchange(true)) delivered = machine.DeliverControl(u"CorvaneService", c.code);
  });

  const auto run = StartService({u"Drive", u"Create", u"C:\\", u"Q:"});

  ASSERT_TRUE(delivered);
  const std::vector<DWORD> expected =
      c.code == win::SERVICE_CONTROL_STOP
          ? std::vector<DWORD>{win::SERVICE_START_PENDING, win::SERVICE_STOP_PENDING,
                               win::SERVICE_STOPPED}
          : std::vector<DWORD>{win::SERVICE_START_PENDING, win::SERVICE_STOPPED};
  EXPECT_EQ(States(run), expected);
  // The request is not interrupted: its outcome is still the exit code.
  EXPECT_EQ(run.exitCode, 0u);
  std::vector<std::u16string> expectedEvents;
  if (c.logsBadRequest) expectedEvents.push_back(u"Bad service request");
  expectedEvents.push_back(u"Service stopped");
  EXPECT_EQ(EventTexts(), expectedEvents);
}

INSTANTIATE_TEST_SUITE_P(Codes, ControlCodes,
                         ::testing::Values(ControlCase{win::SERVICE_CONTROL_STOP, false},
                                           ControlCase{win::SERVICE_CONTROL_PAUSE, false},
                                           ControlCase{win::SERVICE_CONTROL_CONTINUE, false},
                                           ControlCase{win::SERVICE_CONTROL_INTERROGATE, false},
                                           ControlCase{win::SERVICE_CONTROL_SHUTDOWN, false},
                                           ControlCase{0, true}, ControlCase{6, true},
                                           ControlCase{128, true}, ControlCase{255, true}));

TEST_F(ServiceLifecycle, StopPendingCarriesTheRunningExitCodeZero) {
  machine.OnCall("DefineDosDeviceW", [&] { machine.DeliverControl(u"CorvaneService", 1); });
  const auto run = StartService({u"Drive", u"Delete", u"x", u"Q:"});
  ASSERT_EQ(run.reports.size(), 3u);
  EXPECT_EQ(run.reports[1].dwCurrentState, win::SERVICE_STOP_PENDING);
  EXPECT_EQ(run.reports[1].dwWin32ExitCode, 0u);
  EXPECT_EQ(run.reports[2].dwWin32ExitCode, run.exitCode);
  EXPECT_NE(run.exitCode, 0u);
}

// A stop that arrives after the final report must not turn the stopped service back into a
// stopping one.
TEST_F(ServiceLifecycle, LateStopAfterStoppedReportsNothing) {
  LinkServiceModule* module = nullptr;
  machine.OnCall("ReportEventW", [&] {
    module = LinkServiceModule::Instance();
    if (module != nullptr) module->HandleControl(win::SERVICE_CONTROL_STOP);
  });
  const auto run = StartService({u"Drive", u"Delete", u"x", u"Q:"});
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(States(run), (std::vector<DWORD>{win::SERVICE_START_PENDING, win::SERVICE_STOPPED}));
}

TEST_F(ServiceLifecycle, HandlerNotInstalledLogsAndReportsNothing) {
  machine.FailNext("RegisterServiceCtrlHandlerW", win::ERROR_SERVICE_DOES_NOT_EXIST);
  bool executed = false;
  machine.OnCall("DefineDosDeviceW", [&] { executed = true; });

  const auto run = StartService({u"Drive", u"Create", u"C:\\", u"Q:"});

  EXPECT_TRUE(run.reports.empty());
  EXPECT_FALSE(executed);
  EXPECT_EQ(run.processExitCode, 0u);                   // the exit-code field still holds 0
  EXPECT_EQ(run.exitCode, win::ERROR_PROCESS_ABORTED);  // what the manager makes of it
  EXPECT_EQ(EventTexts(), std::vector<std::u16string>{u"Handler not installed"});
}

TEST_F(ServiceLifecycle, FailedEventSourceDropsTheMessageOnly) {
  machine.FailNext("RegisterEventSourceW", win::ERROR_ACCESS_DENIED);
  const auto run = StartService({u"Bogus", u"Create", u"x", u"y"});
  EXPECT_EQ(run.exitCode, win::ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(machine.Events().empty());
}

TEST_F(ServiceLifecycle, OutOfMemoryWhileLoggingDropsTheMessageOnly) {
  machine.OnCall("RegisterEventSourceW", [] { throw std::bad_alloc(); });
  const auto run = StartService({u"Bogus", u"Create", u"x", u"y"});
  EXPECT_EQ(States(run), (std::vector<DWORD>{win::SERVICE_START_PENDING, win::SERVICE_STOPPED}));
  EXPECT_EQ(run.exitCode, win::ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(machine.Events().empty());
}

TEST_F(ServiceLifecycle, FailedStatusReportsDoNotStopTheRequest) {
  machine.FailNext("SetServiceStatus", win::ERROR_INVALID_HANDLE);
  bool executed = false;
  machine.OnCall("DefineDosDeviceW", [&] { executed = true; });
  StartService({u"Drive", u"Create", u"C:\\", u"Q:"});
  EXPECT_TRUE(executed);
  EXPECT_EQ(EventTexts(), std::vector<std::u16string>{u"Service stopped"});
}

// An exception escaping the request still ends the start in order.
TEST_F(ServiceLifecycle, OutOfMemoryDuringTheRequestStopsWithExitCode14) {
  machine.OnCall("DefineDosDeviceW", [] { throw std::bad_alloc(); });
  const auto run = StartService({u"Drive", u"Create", u"C:\\", u"Q:"});
  EXPECT_EQ(States(run), (std::vector<DWORD>{win::SERVICE_START_PENDING, win::SERVICE_STOPPED}));
  EXPECT_EQ(run.exitCode, win::ERROR_OUTOFMEMORY);
  EXPECT_EQ(run.processExitCode, win::ERROR_OUTOFMEMORY);
  EXPECT_EQ(EventTexts(), std::vector<std::u16string>{u"Service stopped"});
}

TEST_F(ServiceLifecycle, ServiceNameComesFromStringResource100) {
  machine.InstallProgram(kServiceImage,
                         sim::Program{ServiceProgram().main,
                                      {{LinkServiceModule::kServiceNameResource, u"OtherName"}}});
  // The handler is registered under the resource's name, which this service record does not
  // carry, so the registration fails and is logged under that name.
  StartService({u"Drive", u"Create", u"C:\\", u"Q:"});
  const auto events = machine.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, u"OtherName");
  EXPECT_EQ(events[0].strings, std::vector<std::u16string>{u"Handler not installed"});
}

}  // namespace
}  // namespace corvane_test
