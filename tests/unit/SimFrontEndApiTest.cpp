// What only the simulated machine can show of the calls a front end makes: a service started and
// running through StartServiceW, and the console's own characters beside redirected bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"
#include "platform/sim/Machine.h"

namespace {

using win::DWORD;

// The service main and its handler have no context argument; one test runs at a time.
std::atomic<bool> letRun{false};
std::atomic<bool> stopRequested{false};
std::vector<std::u16string> received;
win::SERVICE_STATUS_HANDLE statusHandle = nullptr;

void Report(DWORD state) {
  win::SERVICE_STATUS status{
      win::SERVICE_WIN32_OWN_PROCESS, state, win::SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
  win::SetServiceStatus(statusHandle, &status);
}

void StoppingHandler(DWORD control) {
  if (control == win::SERVICE_CONTROL_STOP) stopRequested = true;
}

// Reports running once the test lets it, then stopped once asked to.
void GatedServiceMain(DWORD argc, win::LPWSTR* argv) {
  received.assign(argv, argv + argc);
  statusHandle = win::RegisterServiceCtrlHandlerW(u"", &StoppingHandler);
  while (!letRun) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Report(win::SERVICE_RUNNING);
  while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Report(win::SERVICE_STOPPED);
}

sim::Program GatedService() {
  return sim::Program{
      [] {
        static char16_t name[] = u"Gated";
        const win::SERVICE_TABLE_ENTRYW table[] = {{name, &GatedServiceMain}, {nullptr, nullptr}};
        return win::StartServiceCtrlDispatcherW(table) ? 0u : win::GetLastError();
      },
      {}};
}

win::SERVICE_STATUS Status(win::SC_HANDLE service) {
  win::SERVICE_STATUS status{};
  EXPECT_NE(win::QueryServiceStatus(service, &status), win::FALSE) << win::GetLastError();
  return status;
}

win::SERVICE_STATUS AwaitState(win::SC_HANDLE service, DWORD state) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  win::SERVICE_STATUS status = Status(service);
  while (status.dwCurrentState != state && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    status = Status(service);
  }
  return status;
}

class SimServiceStart : public ::testing::Test {
 protected:
  void SetUp() override {
    letRun = false;
    stopRequested = false;
    received.clear();
    machine.CreateService(u"Front", u"\"C:\\Corvane\\front.exe\" -k");
    manager.Reset(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
    service.Reset(win::OpenServiceW(manager.Get(), u"Front", win::SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service) << win::GetLastError();
  }
  // A service still waiting would keep the machine from ending its process.
  void TearDown() override {
    letRun = true;
    stopRequested = true;
  }

  sim::Machine machine;
  win::UniqueService manager;
  win::UniqueService service;
};

// StartServiceW returns once the dispatcher has connected, before the service's first report.
TEST_F(SimServiceStart, ReturnsOnceConnectedAndTheServiceRunsWithItsArguments) {
  machine.InstallProgram(u"C:\\Corvane\\front.exe", GatedService());
  win::LPCWSTR args[] = {u"Drive", u"Q:"};
  ASSERT_NE(win::StartServiceW(service.Get(), 2, args), win::FALSE) << win::GetLastError();
  const auto pending = Status(service.Get());
  EXPECT_EQ(pending.dwCurrentState, win::SERVICE_START_PENDING);
  EXPECT_EQ(pending.dwControlsAccepted, 0u);
  EXPECT_EQ(pending.dwWaitHint, 2000u);
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::StartServiceW(service.Get(), 0, nullptr), win::FALSE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_ALREADY_RUNNING);

  letRun = true;
  EXPECT_EQ(AwaitState(service.Get(), win::SERVICE_RUNNING).dwCurrentState, win::SERVICE_RUNNING);
  EXPECT_EQ(received, (std::vector<std::u16string>{u"Front", u"Drive", u"Q:"}));
  win::SERVICE_STATUS status{};
  EXPECT_NE(win::ControlService(service.Get(), win::SERVICE_CONTROL_STOP, &status), win::FALSE);
  const auto stopped = AwaitState(service.Get(), win::SERVICE_STOPPED);
  EXPECT_EQ(stopped.dwCurrentState, win::SERVICE_STOPPED);
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
}

// A process that ends without connecting fails the start at once, and leaves the record free.
TEST_F(SimServiceStart, ProcessThatNeverConnectsTimesOut) {
  machine.InstallProgram(u"C:\\Corvane\\front.exe", sim::Program{[] { return 3u; }, {}});
  for (int attempt = 0; attempt < 2; ++attempt) {
    win::SetLastError(0xdeadbeef);
    EXPECT_EQ(win::StartServiceW(service.Get(), 0, nullptr), win::FALSE);
    EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(Status(service.Get()).dwCurrentState, win::SERVICE_STOPPED);
  }
}

bool WriteBytes(DWORD which, std::string_view bytes) {
  DWORD written = 0;
  return win::WriteFile(win::GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()),
                        &written, nullptr) != win::FALSE;
}

DWORD WriteCharacters(DWORD which, std::u16string_view text) {
  DWORD written = 0xdeadbeef;
  win::SetLastError(0xdeadbeef);
  const bool done = win::WriteConsoleW(win::GetStdHandle(which), text.data(),
                                       static_cast<DWORD>(text.size()), &written, nullptr);
  return done && written == text.size() ? 0u : win::GetLastError();
}

struct ConsoleCase {
  const char* label;
  bool outputIsConsole;
  DWORD outputCharacters;  // WriteConsoleW's error on standard output, 0 when it succeeds
  std::string shown;
};

class SimConsoleCharacters : public ::testing::TestWithParam<ConsoleCase> {};

// UTF-8 bytes written with WriteFile show in the console's code page 437; characters written
// with WriteConsoleW show as they are and never reach the byte records.
TEST_P(SimConsoleCharacters, ShowAsTheConsoleShowsThem) {
  sim::Machine machine;
  const ConsoleCase& c = GetParam();
  machine.SetStandardOutputIsConsole(c.outputIsConsole);
  ASSERT_TRUE(WriteBytes(win::STD_OUTPUT_HANDLE, "caf\xC3\xA9 "));
  EXPECT_EQ(WriteCharacters(win::STD_OUTPUT_HANDLE, u"caf\u00E9 "), c.outputCharacters);
  EXPECT_EQ(WriteCharacters(win::STD_ERROR_HANDLE, u"\U0001D11E"), 0u);
  EXPECT_EQ(machine.ConsoleText(), c.shown);
  EXPECT_EQ(machine.StandardOutput(), "caf\xC3\xA9 ");
  EXPECT_EQ(machine.StandardError(), "");

  DWORD mode = 0;
  win::SetLastError(0xdeadbeef);
  const win::BOOL console = win::GetConsoleMode(win::GetStdHandle(win::STD_OUTPUT_HANDLE), &mode);
  EXPECT_EQ(console != win::FALSE, c.outputIsConsole);
  EXPECT_EQ(c.outputIsConsole ? mode : win::GetLastError(),
            c.outputIsConsole ? 0x3u : win::ERROR_INVALID_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(
    Output, SimConsoleCharacters,
    ::testing::Values(ConsoleCase{"ToConsole", true, 0, "caf\u251C\u2310 caf\u00E9 \U0001D11E"},
                      ConsoleCase{"ToPipe", false, win::ERROR_INVALID_HANDLE, "\U0001D11E"}),
    [](const ::testing::TestParamInfo<ConsoleCase>& c) { return std::string(c.param.label); });

}  // namespace
