// Runs arbitrary text as a registry script, registering or unregistering, on a simulated
// registry that already holds a few keys. Whatever the script, the run must end in order: a
// result the interpreter is known to give, every key it opened closed again, and nothing
// changed below a root key the script does not name.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/sim/Machine.h"
#include "service/RegistryScript.h"

namespace {

bool IsKnownResult(win::HRESULT result) {
  const auto bits = static_cast<std::uint32_t>(result);
  return result == win::S_OK || result == win::DISP_E_EXCEPTION || result == win::E_FAIL ||
         (bits & 0xFFFF0000u) == 0x80070000u;  // a Win32 error, E_OUTOFMEMORY among them
}

bool NamesRoot(const std::u16string& text, std::u16string_view shortName,
               std::u16string_view longName) {
  std::u16string upper;
  for (char16_t c : text) upper += c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
  return upper.find(shortName) != std::u16string::npos ||
         upper.find(longName) != std::u16string::npos;
}

struct Root {
  win::HKEY key;
  std::u16string_view shortName;
  std::u16string_view longName;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  sim::Machine machine;
  for (const char16_t* key : {u"Software\\Classes\\AppID\\Kept", u"Software\\Vendor\\Deep\\Er"}) {
    machine.CreateRegistryKey(win::HKEY_LOCAL_MACHINE, key);
    machine.CreateRegistryKey(win::HKEY_CURRENT_USER, key);
  }
  machine.CreateRegistryKey(win::HKEY_USERS, u".DEFAULT\\Software");
  const Root roots[] = {{win::HKEY_CURRENT_USER, u"HKCU", u"HKEY_CURRENT_USER"},
                        {win::HKEY_USERS, u"HKU", u"HKEY_USERS"}};
  std::vector<std::string> before[2];
  for (int i = 0; i < 2; ++i) before[i] = machine.RegistryTree(roots[i].key, u"");

  // The first byte picks the mode; the rest is the text, one character a byte.
  const auto mode = data[0] % 2 == 0 ? RegistryScriptMode::Register : RegistryScriptMode::Unregister;
  const std::u16string text(data + 1, data + size);
  SubstitutionMap map;
  map.AddSubstitution(u"APPID", u"{5E0C2A91-7B3D-4F68-A2C4-93D17E8B06F5}");
  map.AddSubstitution(u"Module", u"\"C:\\Program Files\\Corvane\\CorvaneService.exe\"");
  RegistryScriptParser parser(map);
  const win::HRESULT result = parser.RunScript(text, mode);

  if (!IsKnownResult(result)) std::abort();
  if (machine.OpenHandles() != 0) std::abort();
  // HKCR is HKLM's view, so only roots with no view of each other are compared.
  for (int i = 0; i < 2; ++i) {
    if (!NamesRoot(text, roots[i].shortName, roots[i].longName) &&
        machine.RegistryTree(roots[i].key, u"") != before[i]) {
      std::abort();
    }
  }
  return 0;
}
