// The program's own registry script, applied through its resource: what registering and
// unregistering leave in HKEY_CLASSES_ROOT, and every way loading the script can fail.
#include <new>

#include "tests/unit/ServiceHarness.h"

namespace corvane_test {
namespace {

using win::HRESULT;

constexpr char16_t kProgramAppIdKey[] = u"AppID\\CorvaneService.EXE";

// A REG_SZ value's bytes: the text and its NUL, little-endian.
std::vector<std::uint8_t> StringData(std::u16string_view text) {
  std::vector<std::uint8_t> data;
  for (char16_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  data.insert(data.end(), {0, 0});
  return data;
}

class ApplyRegistryScriptTest : public ServiceHarness {
 protected:
  ApplyRegistryScriptTest() { machine.DeleteRegistryTree(win::HKEY_CLASSES_ROOT, u"AppID"); }

  // Runs the program with an entry that applies its script and returns the HRESULT.
  HRESULT Apply(RegistryScriptMode mode, std::u16string image = kServiceImage,
                sim::Resources resources = ServiceProgram().resources) {
    sim::Program program = ServiceProgram();
    program.resources = std::move(resources);
    program.main = [mode] {
      const Registration registration(u"CorvaneService");
      return static_cast<win::DWORD>(registration.ApplyRegistryScript(101, mode, nullptr));
    };
    machine.InstallProgram(image, program);
    return static_cast<HRESULT>(machine.RunProgram(image, u"x"));
  }

  std::vector<std::string> AppIdTree() const {
    return machine.RegistryTree(win::HKEY_CLASSES_ROOT, u"AppID");
  }
};

TEST_F(ApplyRegistryScriptTest, RegisterWritesTheAppIdEntriesAndUnregisterKeepsOnlyAppId) {
  ASSERT_EQ(Apply(RegistryScriptMode::Register), win::S_OK);
  EXPECT_EQ(machine.GetRegistryValue(win::HKEY_CLASSES_ROOT, kAppIdKey, u""),
            (sim::RegistryData{win::REG_SZ, StringData(u"CorvaneService")}));
  EXPECT_EQ(machine.GetRegistryValue(win::HKEY_CLASSES_ROOT, kProgramAppIdKey, u"AppID"),
            (sim::RegistryData{win::REG_SZ, StringData(kAppId)}));
  EXPECT_EQ(AppIdTree().size(), 5u);  // AppID, the two keys, their two values
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
  EXPECT_EQ(machine.OpenHandles(), 0u);

  EXPECT_EQ(Apply(RegistryScriptMode::Unregister), win::S_OK);
  EXPECT_EQ(AppIdTree(), std::vector<std::string>{""});
  EXPECT_EQ(Apply(RegistryScriptMode::Unregister), win::S_OK) << "a second time finds nothing";
  EXPECT_EQ(AppIdTree(), std::vector<std::string>{""});
}

TEST_F(ApplyRegistryScriptTest, CallersSubstitutionsComeFirstAndModuleIsThePath) {
  const std::u16string image = u"C:\\Bob's\\CorvaneService.exe";
  sim::Resources resources{{{u"REGISTRY", 101},
                            "HKCU { S = s '%MODULE%' { val Raw = s '%Module_Raw%' } "
                            "val Id = s '%APPID%' }"}};
  sim::Program program = ServiceProgram();
  program.resources = resources;
  program.main = [] {
    const Registration registration(u"CorvaneService");
    // A half-empty pair is refused by the map but does not end the list.
    const ScriptSubstitution pairs[] = {{u"X", nullptr}, {u"APPID", u"mine"}, {nullptr, nullptr}};
    return static_cast<win::DWORD>(
        registration.ApplyRegistryScript(101, RegistryScriptMode::Register, pairs));
  };
  machine.InstallProgram(image, program);
  ASSERT_EQ(machine.RunProgram(image, u"x"), 0u);
  EXPECT_EQ(machine.GetRegistryValue(win::HKEY_CURRENT_USER, u"S", u"")->data,
            StringData(u"\"C:\\Bob's\\CorvaneService.exe\""));
  EXPECT_EQ(machine.GetRegistryValue(win::HKEY_CURRENT_USER, u"S", u"Raw")->data,
            StringData(u"C:\\Bob's\\CorvaneService.exe"));
  EXPECT_EQ(machine.GetRegistryValue(win::HKEY_CURRENT_USER, u"", u"Id")->data,
            StringData(u"mine"));
}

struct LoadFailure {
  const char* name;
  const char* function;  // made to fail, or null
  win::DWORD code;
  HRESULT result;
};

class ScriptLoadFailures : public ApplyRegistryScriptTest,
                           public ::testing::WithParamInterface<LoadFailure> {};

TEST_P(ScriptLoadFailures, EndWithTheHresultAndWriteNothing) {
  machine.FailNext(GetParam().function, GetParam().code);
  EXPECT_EQ(Apply(RegistryScriptMode::Register), GetParam().result);
  EXPECT_EQ(AppIdTree(), std::vector<std::string>{});
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ScriptLoadFailures,
    ::testing::Values(LoadFailure{"ProgramPath", "GetModuleFileNameW", win::ERROR_NOT_ENOUGH_MEMORY,
                                  HresultFromWin32(win::ERROR_NOT_ENOUGH_MEMORY)},
                      LoadFailure{"LoadAsData", "LoadLibraryExW", win::ERROR_BAD_EXE_FORMAT,
                                  HresultFromWin32(win::ERROR_BAD_EXE_FORMAT)},
                      LoadFailure{"Find", "FindResourceW", win::ERROR_RESOURCE_TYPE_NOT_FOUND,
                                  HresultFromWin32(win::ERROR_RESOURCE_TYPE_NOT_FOUND)},
                      LoadFailure{"Load", "LoadResource", win::ERROR_NOT_ENOUGH_MEMORY,
                                  HresultFromWin32(win::ERROR_NOT_ENOUGH_MEMORY)},
                      LoadFailure{"Convert", "MultiByteToWideChar",
                                  win::ERROR_NO_UNICODE_TRANSLATION,
                                  HresultFromWin32(win::ERROR_NO_UNICODE_TRANSLATION)},
                      // A failure that leaves no code is still a failure.
                      LoadFailure{"ProgramPathWithoutCode", "GetModuleFileNameW", 0, win::E_FAIL},
                      LoadFailure{"LoadAsDataWithoutCode", "LoadLibraryExW", 0, win::E_FAIL}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ApplyRegistryScriptTest, ProgramPathOf260OrMoreIs8007007A) {
  const std::u16string image = u"C:\\" + std::u16string(300, u'p') + u"\\CorvaneService.exe";
  EXPECT_EQ(Apply(RegistryScriptMode::Register, image), static_cast<HRESULT>(0x8007007A));
}

TEST_F(ApplyRegistryScriptTest, MissingScriptIsTheResourceError) {
  EXPECT_EQ(Apply(RegistryScriptMode::Register, kServiceImage, {}),
            HresultFromWin32(win::ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
}

// A script of more than 1024 bytes is converted on the heap; one whose buffer cannot be had
// fails as out of memory.
TEST_F(ApplyRegistryScriptTest, LongScriptsAreConvertedWhole) {
  std::string script = "HKCU {";
  while (script.size() < 1500) script += " K";
  script += " Last }";
  EXPECT_EQ(Apply(RegistryScriptMode::Register, kServiceImage, {{{u"REGISTRY", 101}, script}}),
            win::S_OK);
  EXPECT_TRUE(machine.RegistryKeyExists(win::HKEY_CURRENT_USER, u"Last"));
}

TEST_F(ApplyRegistryScriptTest, OutOfMemoryOnTheWayIsEOutOfMemory) {
  machine.OnCall("RegCreateKeyExW", [] { throw std::bad_alloc(); });
  EXPECT_EQ(Apply(RegistryScriptMode::Register), win::E_OUTOFMEMORY);
  EXPECT_EQ(machine.OpenHandles(), 0u);
  EXPECT_EQ(machine.LoadedModuleReferences(), 0);
}

TEST_F(ApplyRegistryScriptTest, ShortestScriptsRunAsWritten) {
  EXPECT_EQ(Apply(RegistryScriptMode::Register, kServiceImage, {{{u"REGISTRY", 101}, ""}}),
            win::S_OK);
  EXPECT_EQ(Apply(RegistryScriptMode::Register, kServiceImage, {{{u"REGISTRY", 101}, "x"}}),
            win::DISP_E_EXCEPTION);
}

// A standard user cannot write HKEY_CLASSES_ROOT: the registration fails with the registry's
// code and leaves nothing behind.
TEST_F(ApplyRegistryScriptTest, StandardUserGetsAccessDenied) {
  machine.SetAdministrator(false);
  EXPECT_EQ(Apply(RegistryScriptMode::Register), HresultFromWin32(win::ERROR_ACCESS_DENIED));
  EXPECT_EQ(AppIdTree(), std::vector<std::string>{});
}

}  // namespace
}  // namespace corvane_test
