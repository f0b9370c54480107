// What only the simulated service control manager can show here: a standard user's rights, a
// deleted record that outlives its run, the full record and its changes, the database lock held
// by others and by processes, message boxes and Sleep's hooks.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"
#include "platform/sim/Machine.h"

namespace {

struct UserRightCase {
  const char* label;
  bool service;  // OpenServiceW, else OpenSCManagerW
  win::DWORD access;
  win::DWORD error;  // 0: opens
};

class StandardUserScmTest : public ::testing::TestWithParam<UserRightCase> {};

TEST_P(StandardUserScmTest, GetsOnlyWhatDefaultSecurityGrants) {
  sim::Machine machine;
  machine.CreateService(u"Held", u"C:\\held.exe");
  machine.SetAdministrator(false);
  const UserRightCase& c = GetParam();
  win::UniqueService manager;
  if (c.service) {
    manager.Reset(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager);
  }
  win::SetLastError(0xdeadbeef);
  win::UniqueService opened(c.service ? win::OpenServiceW(manager.Get(), u"Held", c.access)
                                      : win::OpenSCManagerW(nullptr, nullptr, c.access));
  EXPECT_EQ(opened.IsValid() ? 0u : win::GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Rights, StandardUserScmTest,
    ::testing::Values(
        UserRightCase{"ManagerAll", false, win::SC_MANAGER_ALL_ACCESS, win::ERROR_ACCESS_DENIED},
        UserRightCase{"ManagerCreate", false, win::SC_MANAGER_CREATE_SERVICE,
                      win::ERROR_ACCESS_DENIED},
        UserRightCase{"ManagerConnect", false, win::SC_MANAGER_CONNECT, 0},
        UserRightCase{"ManagerRead", false, win::GENERIC_READ, 0},
        UserRightCase{"ServiceDelete", true, win::DELETE, win::ERROR_ACCESS_DENIED},
        UserRightCase{"ServiceStop", true, win::SERVICE_STOP, win::ERROR_ACCESS_DENIED},
        UserRightCase{"ServiceQuery", true, win::SERVICE_QUERY_CONFIG | win::SERVICE_QUERY_STATUS,
                      0}),
    [](const ::testing::TestParamInfo<UserRightCase>& c) { return std::string(c.param.label); });

TEST(SimServices, CreatedRecordKeepsEveryField) {
  sim::Machine machine;
  {
    win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
    win::DWORD tag = 0xdeadbeef;
    win::UniqueService created(
        win::CreateServiceW(manager.Get(), u"Corvane", u"Corvane Links", win::SERVICE_ALL_ACCESS,
                            win::SERVICE_WIN32_OWN_PROCESS, win::SERVICE_AUTO_START,
                            win::SERVICE_ERROR_SEVERE, u"\"C:\\p\\c.exe\" -x", u"Group", &tag,
                            u"RPCSS\0LanmanServer\0", u".\\someone", u"secret"));
    ASSERT_TRUE(created) << win::GetLastError();
    EXPECT_EQ(tag, 0u);
    EXPECT_EQ(machine.OpenHandles(), 2u);
  }
  EXPECT_EQ(machine.OpenHandles(), 0u);
  sim::ServiceConfig expected;
  expected.name = u"Corvane";
  expected.displayName = u"Corvane Links";
  expected.startType = win::SERVICE_AUTO_START;
  expected.errorControl = win::SERVICE_ERROR_SEVERE;
  expected.imagePath = u"\"C:\\p\\c.exe\" -x";
  expected.loadOrderGroup = u"Group";
  expected.dependencies = {u"RPCSS", u"LanmanServer"};
  expected.account = u".\\someone";
  expected.password = u"secret";
  EXPECT_EQ(machine.Service(u"CORVANE"), expected);
  EXPECT_EQ(machine.RegistryTree(win::HKEY_LOCAL_MACHINE,
                                 u"System\\CurrentControlSet\\Services\\Corvane"),
            (std::vector<std::string>{
                "", "[DependOnService] = REG_MULTI_SZ \"RPCSS\" \"LanmanServer\"",
                "[DisplayName] = REG_SZ \"Corvane Links\"", "[ErrorControl] = REG_DWORD 0x00000002",
                "[Group] = REG_SZ \"Group\"", "[ImagePath] = REG_EXPAND_SZ \"\"C:\\p\\c.exe\" -x\"",
                "[ObjectName] = REG_SZ \".\\someone\"", "[Start] = REG_DWORD 0x00000002",
                "[Type] = REG_DWORD 0x00000010"}));
}

TEST(SimServices, DisplayNameTakenByAnotherRecordIsADuplicate) {
  sim::Machine machine;
  machine.CreateService(u"Other", u"C:\\other.exe");
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  win::SetLastError(0xdeadbeef);
  win::UniqueService created(
      win::CreateServiceW(manager.Get(), u"Corvane", u"other", 0, win::SERVICE_WIN32_OWN_PROCESS,
                          win::SERVICE_DEMAND_START, win::SERVICE_ERROR_NORMAL, u"C:\\c.exe",
                          nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_FALSE(created);
  EXPECT_EQ(win::GetLastError(), win::ERROR_DUPLICATE_SERVICE_NAME);
  EXPECT_FALSE(machine.Service(u"Corvane"));
}

// Windows removes a deleted record once the service has stopped and its last handle is closed,
// whichever comes last.
TEST(SimServices, DeletedRunningServiceGoesWhenItStops) {
  sim::Machine machine;
  machine.CreateService(u"Held", u"C:\\held.exe");
  ASSERT_EQ(machine.HoldServiceRunning(u"Held"), 0u);
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  win::UniqueService service(win::OpenServiceW(manager.Get(), u"Held", win::SERVICE_ALL_ACCESS));
  ASSERT_TRUE(service);
  ASSERT_NE(win::DeleteService(service.Get()), win::FALSE);

  win::SERVICE_STATUS status{};
  win::SetLastError(0xdeadbeef);
  ASSERT_NE(win::ControlService(service.Get(), win::SERVICE_CONTROL_STOP, &status), win::FALSE);
  EXPECT_EQ(status.dwCurrentState, win::SERVICE_STOPPED);
  // Stopped, but a handle is still open.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (machine.Service(u"Held") && machine.Service(u"Held")->markedForDeletion &&
         std::chrono::steady_clock::now() < until) {
    service.Reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(machine.Service(u"Held"));
  EXPECT_FALSE(machine.RegistryKeyExists(win::HKEY_LOCAL_MACHINE,
                                         u"System\\CurrentControlSet\\Services\\Held"));
}

TEST(SimServices, DeletedRecordStaysWhileItRuns) {
  sim::Machine machine;
  machine.CreateService(u"Held", u"C:\\held.exe");
  ASSERT_EQ(machine.HoldServiceRunning(u"Held"), 0u);
  {
    win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
    win::UniqueService service(win::OpenServiceW(manager.Get(), u"Held", win::DELETE));
    ASSERT_NE(win::DeleteService(service.Get()), win::FALSE);
  }
  const auto record = machine.Service(u"Held");
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->markedForDeletion);
  EXPECT_EQ(machine.StartService(u"Held", {}).exitCode, win::ERROR_SERVICE_MARKED_FOR_DELETE);
}

const std::u16string kCorvaneKey = u"System\\CurrentControlSet\\Services\\Corvane";

win::SC_HANDLE CreateCorvane(win::SC_HANDLE manager) {
  return win::CreateServiceW(manager, u"Corvane", u"Corvane Links", win::SERVICE_ALL_ACCESS,
                             win::SERVICE_WIN32_OWN_PROCESS, win::SERVICE_DEMAND_START,
                             win::SERVICE_ERROR_NORMAL, u"C:\\c.exe", u"Group", nullptr, u"RPCSS\0",
                             nullptr, nullptr);
}

TEST(SimServices, ChangedRecordIsRewrittenWithItsKey) {
  sim::Machine machine;
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  win::UniqueService service(CreateCorvane(manager.Get()));
  ASSERT_TRUE(service);
  win::DWORD tag = 0xdeadbeef;
  // An empty group, dependency list and display name clear them.
  ASSERT_NE(
      win::ChangeServiceConfigW(service.Get(), win::SERVICE_WIN32_SHARE_PROCESS,
                                win::SERVICE_AUTO_START, win::SERVICE_ERROR_SEVERE, u"C:\\d.exe -y",
                                u"", &tag, u"", u".\\someone", u"secret", u""),
      win::FALSE)
      << win::GetLastError();
  EXPECT_EQ(tag, 0u);
  sim::ServiceConfig expected;
  expected.name = u"Corvane";
  expected.displayName = u"Corvane";
  expected.serviceType = win::SERVICE_WIN32_SHARE_PROCESS;
  expected.startType = win::SERVICE_AUTO_START;
  expected.errorControl = win::SERVICE_ERROR_SEVERE;
  expected.imagePath = u"C:\\d.exe -y";
  expected.account = u".\\someone";
  expected.password = u"secret";
  EXPECT_EQ(machine.Service(u"Corvane"), expected);
  EXPECT_EQ(
      machine.RegistryTree(win::HKEY_LOCAL_MACHINE, kCorvaneKey),
      (std::vector<std::string>{
          "", "[ErrorControl] = REG_DWORD 0x00000002",
          "[ImagePath] = REG_EXPAND_SZ \"C:\\d.exe -y\"", "[ObjectName] = REG_SZ \".\\someone\"",
          "[Start] = REG_DWORD 0x00000002", "[Type] = REG_DWORD 0x00000020"}));
}

struct LockStatus {
  bool locked = false;
  std::u16string owner;
  win::DWORD seconds = 0;
};

LockStatus QueryLock(win::SC_HANDLE manager) {
  alignas(8) win::BYTE buffer[268];
  auto* status = reinterpret_cast<win::QUERY_SERVICE_LOCK_STATUSW*>(buffer);
  win::DWORD needed = 0;
  if (!win::QueryServiceLockStatusW(manager, status, sizeof buffer, &needed)) {
    ADD_FAILURE() << "QueryServiceLockStatusW: " << win::GetLastError();
    return {};
  }
  return {status->fIsLocked != 0, status->lpLockOwner, status->dwLockDuration};
}

TEST(SimServiceLock, HeldElsewhereUntilReleased) {
  sim::Machine machine;
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  machine.HoldServiceDatabaseLock(u"NT AUTHORITY\\SYSTEM", 42);
  EXPECT_TRUE(machine.ServiceDatabaseLocked());
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::LockServiceDatabase(manager.Get()), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_DATABASE_LOCKED);
  const LockStatus held = QueryLock(manager.Get());
  EXPECT_TRUE(held.locked);
  EXPECT_EQ(held.owner, u"NT AUTHORITY\\SYSTEM");
  EXPECT_EQ(held.seconds, 42u);

  machine.ReleaseServiceDatabaseLock();
  EXPECT_FALSE(machine.ServiceDatabaseLocked());
  EXPECT_FALSE(QueryLock(manager.Get()).locked);
  win::UniqueServiceLock lock(win::LockServiceDatabase(manager.Get()));
  EXPECT_TRUE(lock) << win::GetLastError();
}

TEST(SimServiceLock, ProgramsLockGoesWithItsProcess) {
  sim::Machine machine;
  machine.AnswerServiceDatabaseLockAsWindowsXp();
  win::SC_LOCK taken = nullptr;
  LockStatus whileRunning;
  machine.InstallProgram(
      u"C:\\locker.exe",
      {[&]() -> win::DWORD {
         win::UniqueService manager(win::OpenSCManagerW(
             nullptr, nullptr, win::SC_MANAGER_LOCK | win::SC_MANAGER_QUERY_LOCK_STATUS));
         taken = win::LockServiceDatabase(manager.Get());
         whileRunning = QueryLock(manager.Get());
         return taken != nullptr ? 0 : win::GetLastError();
       },
       {}});
  ASSERT_EQ(machine.RunProgram(u"C:\\locker.exe", u"locker"), 0u);
  EXPECT_TRUE(whileRunning.locked);
  EXPECT_EQ(whileRunning.owner, u".\\Administrator");
  EXPECT_FALSE(machine.ServiceDatabaseLocked());
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::UnlockServiceDatabase(taken), win::FALSE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_SERVICE_LOCK);
}

TEST(SimServiceLock, StatusSizeCountsTheOwnersName) {
  sim::Machine machine;
  win::UniqueService manager(win::OpenSCManagerW(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  machine.HoldServiceDatabaseLock(u"abc", 1);
  win::DWORD needed = 0;
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::QueryServiceLockStatusW(manager.Get(), nullptr, 0, &needed), win::FALSE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, sizeof(win::QUERY_SERVICE_LOCK_STATUSW) + 8);
}

struct BoxCase {
  const char* label;
  win::UINT type;
  int pressed;
  win::DWORD error;  // when nothing is pressed
};

class MessageBoxTest : public ::testing::TestWithParam<BoxCase> {};

TEST_P(MessageBoxTest, IsRecordedAndAnsweredWithItsDefaultButton) {
  sim::Machine machine;
  const BoxCase& c = GetParam();
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::MessageBoxW(nullptr, u"text", u"caption", c.type), c.pressed);
  if (c.pressed == 0) {
    EXPECT_EQ(win::GetLastError(), c.error);
    EXPECT_TRUE(machine.MessageBoxes().empty());
  } else {
    EXPECT_EQ(machine.MessageBoxes(),
              (std::vector<sim::MessageBoxRecord>{{nullptr, u"text", u"caption", c.type}}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, MessageBoxTest,
    ::testing::Values(BoxCase{"Ok", win::MB_OK | win::MB_ICONERROR, win::IDOK, 0},
                      BoxCase{"OkCancel", win::MB_OKCANCEL, win::IDOK, 0},
                      BoxCase{"YesNoSecond", win::MB_YESNO | 0x100, win::IDNO, 0},
                      BoxCase{"UndefinedType", 0xF, 0, win::ERROR_INVALID_MSGBOX_STYLE}),
    [](const ::testing::TestParamInfo<BoxCase>& c) { return std::string(c.param.label); });

TEST(SimSleep, WaitsUnlessSkippedAndKeepsTheLastError) {
  sim::Machine machine;
  int calls = 0;
  machine.OnCall("Sleep", [&] { ++calls; });
  const auto start = std::chrono::steady_clock::now();
  win::Sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

  machine.FailNext("Sleep", win::ERROR_INVALID_FUNCTION);
  win::SetLastError(0xdeadbeef);
  const auto skipped = std::chrono::steady_clock::now();
  win::Sleep(60000);
  EXPECT_LT(std::chrono::steady_clock::now() - skipped, std::chrono::seconds(5));
  EXPECT_EQ(win::GetLastError(), 0xdeadbeefu);
  EXPECT_EQ(calls, 2);
}

TEST(SimSleep, SkipMovesOnlyTheSleepersClock) {
  sim::Machine machine;
  std::uint64_t sleeperMoved = 0;
  machine.InstallProgram(u"C:\\sleeper.exe", {[&]() -> win::DWORD {
                                                const std::uint64_t before = win::GetTickCount64();
                                                machine.FailNext("Sleep", 0);
                                                win::Sleep(60000);
                                                sleeperMoved = win::GetTickCount64() - before;
                                                return 0;
                                              },
                                              {}});
  const std::uint64_t before = win::GetTickCount64();
  ASSERT_EQ(machine.RunProgram(u"C:\\sleeper.exe", u"sleeper"), 0u);
  EXPECT_GE(sleeperMoved, 60000u);
  EXPECT_LT(win::GetTickCount64() - before, 30000u);
}

}  // namespace
