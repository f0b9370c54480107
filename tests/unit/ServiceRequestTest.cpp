// From start arguments to exit code: which words form a request, which start path is taken, and
// what the process and the service control manager are told.
#include <atomic>
#include <fstream>
#include <iterator>

#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

using win::DWORD;

struct WordsCase {
  const char* name;
  std::vector<std::u16string> args;
  DWORD exitCode;
  bool mapped;  // whether Q: ends up mapped onto C:\Data
};

class StartArguments : public ServiceHarness, public ::testing::WithParamInterface<WordsCase> {};

TEST_P(StartArguments, FormARequestOrGive87) {
  const WordsCase& c = GetParam();
  machine.MakeDirectories(u"C:\\Data");
  std::atomic<int> executions{0};
  machine.OnCall("DefineDosDeviceW", [&] { ++executions; });

  const auto run = StartService(c.args);

  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(run.processExitCode, c.exitCode);
  if (c.mapped) {
    EXPECT_EQ(machine.DosDevice(u"Q:"), std::vector<std::u16string>{u"\\??\\C:\\Data"});
  } else {
    EXPECT_TRUE(machine.DosDevice(u"Q:").empty());
    EXPECT_EQ(executions, 0) << "a malformed request must not be partly executed";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Words, StartArguments,
    ::testing::Values(
        WordsCase{"Exact", {u"Drive", u"Create", u"C:\\Data", u"Q:"}, 0, true},
        WordsCase{"AnyCase", {u"dRIVE", u"CREATE", u"C:\\Data", u"Q:"}, 0, true},
        WordsCase{"FolderDelete", {u"folder", u"DELETE", u"x", u"C:\\Missing"}, 3, false},
        WordsCase{"FileDelete", {u"FILE", u"delete", u"x", u"C:\\Missing.txt"}, 0, false},
        WordsCase{"TrailingBlankKind", {u"Drive ", u"Create", u"C:\\Data", u"Q:"}, 87, false},
        WordsCase{"LeadingBlankAction", {u"Drive", u" Create", u"C:\\Data", u"Q:"}, 87, false},
        WordsCase{"UnknownKind", {u"Disk", u"Create", u"C:\\Data", u"Q:"}, 87, false},
        WordsCase{"WrongFirstLetter", {u"Xrive", u"Create", u"C:\\Data", u"Q:"}, 87, false},
        WordsCase{"UnknownAction", {u"Drive", u"Make", u"C:\\Data", u"Q:"}, 87, false},
        WordsCase{"BothUnknown", {u"Disk", u"Make", u"C:\\Data", u"Q:"}, 87, false},
        WordsCase{"NonAsciiFold", {u"Dr\u0130ve", u"Create", u"C:\\Data", u"Q:"}, 87, false},
        WordsCase{"ThreeArguments", {u"Drive", u"Create", u"C:\\Data"}, 87, false},
        WordsCase{"FiveArguments", {u"Drive", u"Create", u"C:\\Data", u"Q:", u"x"}, 87, false},
        WordsCase{"OneArgument", {u"Drive"}, 87, false},
        WordsCase{"EmptyKind", {u"", u"Create", u"C:\\Data", u"Q:"}, 87, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ServiceHarness, ArgumentsAreKindActionTargetLink) {
  machine.MakeDirectories(u"C:\\Data");
  machine.PutFile(u"C:\\Data\\a.txt", "content");
  const auto run = StartService({u"File", u"Create", u"C:\\Data\\a.txt", u"C:\\Data\\b.txt"});
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(machine.LinkCount(u"C:\\Data\\a.txt"), 2u);
  EXPECT_EQ(machine.FileContent(u"C:\\Data\\b.txt"), "content");
}

TEST_F(ServiceHarness, FailedRequestReportsThePlatformCode) {
  const auto run = StartService({u"File", u"Create", u"C:\\missing.txt", u"C:\\link.txt"});
  EXPECT_EQ(run.exitCode, win::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(machine.Exists(u"C:\\link.txt"));
}

TEST_F(ServiceHarness, FailureThatLeavesNoCodeIsGenFailure) {
  machine.FailNext("DefineDosDeviceW", 0);
  EXPECT_EQ(StartService({u"Drive", u"Create", u"x", u"Q:"}).exitCode, win::ERROR_GEN_FAILURE);
}

// ---- Start paths ----

struct LocalServiceCase {
  const char* name;
  std::optional<DWORD> type;  // none: the value is absent
  std::vector<std::uint8_t> data;
  bool dispatched;
};

class LocalServiceValue : public ServiceHarness,
                          public ::testing::WithParamInterface<LocalServiceCase> {};

// Run from a command prompt, the program either asks for the dispatcher (which refuses, since
// the service control manager did not start it) or runs the default request directly: a Drive
// Delete of the empty device name, refused as an invalid name before the platform is asked.
TEST_P(LocalServiceValue, DecidesBetweenDispatcherAndDirectRun) {
  const LocalServiceCase& c = GetParam();
  machine.DeleteRegistryTree(win::HKEY_CLASSES_ROOT, kAppIdKey);
  machine.CreateRegistryKey(win::HKEY_CLASSES_ROOT, kAppIdKey);
  if (c.type)
    machine.SetRegistryValue(win::HKEY_CLASSES_ROOT, kAppIdKey, u"LocalService", *c.type, c.data);
  int defines = 0;
  machine.OnCall("DefineDosDeviceW", [&] { ++defines; });

  EXPECT_EQ(RunDirectly(),
            c.dispatched ? win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT : win::ERROR_INVALID_NAME);
  EXPECT_EQ(defines, 0);
}

std::vector<std::uint8_t> Utf16(std::u16string_view text, bool terminated = true) {
  std::vector<std::uint8_t> data;
  for (char16_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (terminated) data.insert(data.end(), {0, 0});
  return data;
}

INSTANTIATE_TEST_SUITE_P(
    Values, LocalServiceValue,
    ::testing::Values(
        LocalServiceCase{"Sz", win::REG_SZ, Utf16(u"CorvaneService"), true},
        LocalServiceCase{"ExpandSz", win::REG_EXPAND_SZ, Utf16(u"x"), true},
        LocalServiceCase{"EmptyString", win::REG_SZ, Utf16(u""), true},
        LocalServiceCase{"Absent", std::nullopt, {}, false},
        LocalServiceCase{"Dword", win::REG_DWORD, {1, 0, 0, 0}, false},
        LocalServiceCase{"ZeroBytes", win::REG_SZ, {}, false},
        LocalServiceCase{"NoTerminator", win::REG_SZ, Utf16(u"CorvaneService", false), false},
        LocalServiceCase{"OddLength", win::REG_SZ, {'a', 0, 0}, false},
        LocalServiceCase{"Fits259", win::REG_SZ, Utf16(std::u16string(259, u'x')), true},
        LocalServiceCase{"TooLong", win::REG_SZ, Utf16(std::u16string(260, u'x')), false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ServiceHarness, MissingAppIdKeysEndTheProcessWithTheRegistryCode) {
  machine.DeleteRegistryTree(win::HKEY_CLASSES_ROOT, kAppIdKey);
  bool dispatched = false;
  machine.OnCall("StartServiceCtrlDispatcherW", [&] { dispatched = true; });
  EXPECT_EQ(RunDirectly(), win::ERROR_FILE_NOT_FOUND);

  machine.DeleteRegistryTree(win::HKEY_CLASSES_ROOT, u"AppID");
  EXPECT_EQ(RunDirectly(), win::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(dispatched);
}

TEST_F(ServiceHarness, RegistryOpenFailureCodeIsTheExitCode) {
  machine.FailNext("RegOpenKeyExW", win::ERROR_ACCESS_DENIED);
  EXPECT_EQ(RunDirectly(), win::ERROR_ACCESS_DENIED);
}

TEST_F(ServiceHarness, ComInitialisationFailureEndsWithMinusOneBeforeTheCommandLine) {
  machine.FailCoInitialize(win::E_FAIL);
  bool commandLineRead = false;
  machine.OnCall("GetCommandLineW", [&] { commandLineRead = true; });
  int uninitialisations = 0;
  machine.OnCall("CoUninitialize", [&] { ++uninitialisations; });
  EXPECT_EQ(RunDirectly(), 0xFFFFFFFFu);
  EXPECT_FALSE(commandLineRead);
  EXPECT_EQ(uninitialisations, 0) << "a failed initialisation is not balanced";
}

TEST_F(ServiceHarness, ComIsUninitialisedOnceAfterARun) {
  int uninitialisations = 0;
  machine.OnCall("CoUninitialize", [&] { ++uninitialisations; });
  RunDirectly();
  EXPECT_EQ(uninitialisations, 1);
}

// The shell harness installs the service with its own copy of the AppID.
TEST(AppId, TheShellHarnessUsesTheProgramsAppId) {
  std::ifstream script(CORVANE_SOURCE_DIR "/tests/e2e/service.sh");
  const std::string text((std::istreambuf_iterator<char>(script)),
                         std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("service_appid='" + Narrow(kAppId) + "'"), std::string::npos);
}

TEST_F(ServiceHarness, ServiceRunLeavesNoModuleReferenceOrOpenKey) {
  machine.PutFile(u"C:\\a.txt", "x");
  StartService({u"File", u"Create", u"C:\\a.txt", u"C:\\b.txt"});
  EXPECT_EQ(machine.LinkCount(u"C:\\a.txt"), 2u);
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
  EXPECT_EQ(machine.OpenHandles(), 0u);
  EXPECT_FALSE(ServiceHost::Exists()) << "the host is gone with its process";
}

}  // namespace
}  // namespace corvane_test
