// The service control calls as a process the service control manager did not start sees them:
// the service's entry relies on these failures to tell a service start from a plain run.
#include <atomic>

#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

using ServiceContractTest = ContractTest;

std::atomic<int> serviceMainCalls{0};
void CountingServiceMain(win::DWORD, win::LPWSTR*) {
  ++serviceMainCalls;
}
void IgnoringHandler(win::DWORD) {}

// Wine 8 takes about 10 s to give up here.
TEST_F(ServiceContractTest, DispatcherOutsideAServiceStartFailsToConnect) {
  char16_t name[] = u"CorvaneContract";
  const win::SERVICE_TABLE_ENTRYW table[] = {{name, &CountingServiceMain}, {nullptr, nullptr}};
  serviceMainCalls = 0;
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::StartServiceCtrlDispatcherW(table), win::FALSE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(serviceMainCalls, 0);
}

// 1060 as measured on Wine 8; Windows may answer 1083 (ERROR_SERVICE_NOT_IN_EXE) here.
TEST_F(ServiceContractTest, HandlerForAServiceNotInThisProcessIsRefused) {
  DocumentedNotMeasured();
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::RegisterServiceCtrlHandlerW(u"CorvaneContractNotHere", &IgnoringHandler), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_DOES_NOT_EXIST);
}

// A status is reported through the handle RegisterServiceCtrlHandlerW gave; null is none.
// (A null status pointer, or a made-up handle, crashes Wine 8 rather than fail.)
TEST_F(ServiceContractTest, StatusThroughANullHandleIsRefused) {
  win::SERVICE_STATUS status{};
  status.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = win::SERVICE_RUNNING;
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::SetServiceStatus(nullptr, &status), win::FALSE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace contract
