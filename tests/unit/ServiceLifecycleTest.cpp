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
  EXPECT_EQ(stopped.dwCheckPoint, 0u);
  EXPECT_EQ(stopped.dwWaitHint, 0u);
  EXPECT_EQ(run.exitCode, stopped.dwWin32ExitCode);
  EXPECT_EQ(run.processExitCode, stopped.dwWin32ExitCode);
  // The system refuses, for the service, junctions that non-administrators made.
  EXPECT_EQ(run.redirectionTrust, win::kEnforceRedirectionTrust);
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
    EXPECT_TRUE(event.data.empty());
  }
}

// Windows may end the process as soon as the dispatcher returns, which is right after the
// stopped report; the event written after that report must still be written.
TEST_F(ServiceLifecycle, ServiceStoppedIsLoggedEvenWhenLoggingIsSlow) {
  machine.OnCall("RegisterEventSourceW",
                 [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
  const auto started = std::chrono::steady_clock::now();
  const auto run = StartService({u"Bogus", u"Create", u"x", u"y"});
  // The process waits for the event, not for its bound of several seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(run.exitCode, win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(EventTexts(), std::vector<std::u16string>{u"Service stopped"});
}

// The service never reports SERVICE_RUNNING, so Windows refuses every control while it works:
// a pending service accepts none (1061), and codes ControlService does not define are invalid
// (87). Wine still delivers a stop in start-pending, so the handler's reactions are pinned too,
// with the code handed to it on a thread of its own as a dispatcher would.
void CallHandlerAsDispatcher(sim::Machine& machine, DWORD code) {
  std::thread([&machine, code] {
    EXPECT_TRUE(machine.CallServiceHandler(u"CorvaneService", code));
  }).join();
}

struct ControlCase {
  DWORD code;
  DWORD refusal;
  bool logsBadRequest;
};

class ControlCodes : public ServiceHarness, public ::testing::WithParamInterface<ControlCase> {};

// Each control arrives while the request runs (inside its first platform call).
TEST_P(ControlCodes, AreRefusedWhilePendingAndOnlyStopReports) {
  const ControlCase c = GetParam();
  DWORD refusal = 0;
  std::atomic<bool> once{false};
  machine.OnCall("DefineDosDeviceW", [&] {
    if (once.exchange(true)) return;
    refusal = machine.ControlService(u"CorvaneService", c.code);
    CallHandlerAsDispatcher(machine, c.code);
  });

  const auto run = StartService({u"Drive", u"Create", u"C:\\", u"Q:"});

  EXPECT_EQ(refusal, c.refusal);
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

constexpr DWORD kPending = win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
INSTANTIATE_TEST_SUITE_P(
    Codes, ControlCodes,
    ::testing::Values(ControlCase{win::SERVICE_CONTROL_STOP, kPending, false},
                      ControlCase{win::SERVICE_CONTROL_PAUSE, kPending, false},
                      ControlCase{win::SERVICE_CONTROL_CONTINUE, kPending, false},
                      ControlCase{win::SERVICE_CONTROL_INTERROGATE, kPending, false},
                      ControlCase{win::SERVICE_CONTROL_SHUTDOWN, win::ERROR_INVALID_PARAMETER,
                                  false},
                      ControlCase{0, win::ERROR_INVALID_PARAMETER, true},
                      ControlCase{6, kPending, true}, ControlCase{128, kPending, true},
                      ControlCase{255, kPending, true}));

TEST_F(ServiceLifecycle, StopPendingCarriesTheRunningExitCodeZero) {
  machine.OnCall("DefineDosDeviceW",
                 [&] { CallHandlerAsDispatcher(machine, win::SERVICE_CONTROL_STOP); });
  const auto run = StartService({u"Drive", u"Delete", u"-", u"Q:"});
  ASSERT_EQ(run.reports.size(), 3u);
  EXPECT_EQ(run.reports[1].dwCurrentState, win::SERVICE_STOP_PENDING);
  EXPECT_EQ(run.reports[1].dwWin32ExitCode, 0u);
  EXPECT_EQ(run.reports[2].dwWin32ExitCode, run.exitCode);
  EXPECT_NE(run.exitCode, 0u);
}

// A stop may reach the handler before the registration has even returned; it must still be
// reported through the handle, after start-pending.
TEST_F(ServiceLifecycle, StopDuringHandlerRegistrationIsReportedAfterStartPending) {
  std::thread dispatcher;
  machine.OnCall("RegisterServiceCtrlHandlerW", [&] {
    // The call waits for the handler and is made before the registration returns.
    dispatcher = std::thread(
        [&] { machine.CallServiceHandler(u"CorvaneService", win::SERVICE_CONTROL_STOP); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  });
  machine.OnCall("DefineDosDeviceW", [&] { dispatcher.join(); });
  const auto run = StartService({u"Drive", u"Create", u"C:\\", u"Q:"});
  EXPECT_EQ(States(run), (std::vector<DWORD>{win::SERVICE_START_PENDING, win::SERVICE_STOP_PENDING,
                                             win::SERVICE_STOPPED}));
}

// A stop that arrives after the final report must not turn the stopped service back into a
// stopping one.
TEST_F(ServiceLifecycle, LateStopAfterStoppedReportsNothing) {
  bool handled = false;
  machine.OnCall("ReportEventW", [&] {
    handled = machine.CallServiceHandler(u"CorvaneService", win::SERVICE_CONTROL_STOP);
  });
  const auto run = StartService({u"Drive", u"Delete", u"-", u"Q:"});
  ASSERT_TRUE(handled);
  EXPECT_EQ(States(run), (std::vector<DWORD>{win::SERVICE_START_PENDING, win::SERVICE_STOPPED}));
}

// Without a handler the service can never report that it stopped, and the dispatcher would wait
// for good; the process ends instead, with the registration's error code.
TEST_F(ServiceLifecycle, HandlerNotInstalledLogsAndEndsTheProcess) {
  machine.FailNext("RegisterServiceCtrlHandlerW", win::ERROR_SERVICE_DOES_NOT_EXIST);
  bool executed = false;
  machine.OnCall("DefineDosDeviceW", [&] { executed = true; });

  const auto run = StartService({u"Drive", u"Create", u"C:\\", u"Q:"});

  EXPECT_FALSE(run.hung);
  EXPECT_TRUE(run.reports.empty());
  EXPECT_FALSE(executed);
  EXPECT_EQ(run.processExitCode, win::ERROR_SERVICE_DOES_NOT_EXIST);
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
  machine.InstallProgram(
      kServiceImage,
      sim::Program{ServiceProgram().main, {{100, u"OtherName" + std::u16string(300, u'x')}}});
  // An own-process service's handler is registered whatever the name; the events carry it.
  const auto run = StartService({u"Drive", u"Create", u"C:\\", u"Q:"});
  EXPECT_EQ(run.exitCode, 0u);
  const auto events = machine.Events();
  ASSERT_EQ(events.size(), 1u);
  // The name buffer holds 256 units, its NUL included.
  EXPECT_EQ(events[0].source, u"OtherName" + std::u16string(246, u'x'));
  EXPECT_EQ(events[0].strings, std::vector<std::u16string>{u"Service stopped"});
}

}  // namespace
}  // namespace corvane_test
