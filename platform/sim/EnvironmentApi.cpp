// The environment every simulated process has: the system's own variables, as a service and an
// administrator's session on a machine with Windows on C: both see them.
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "platform/sim/MachineState.h"

namespace sim {
namespace {

constexpr std::array<std::pair<std::u16string_view, std::u16string_view>, 8> kEnvironment = {{
    {u"ALLUSERSPROFILE", u"C:\\ProgramData"},
    {u"ProgramData", u"C:\\ProgramData"},
    {u"ProgramFiles", u"C:\\Program Files"},
    {u"PUBLIC", u"C:\\Users\\Public"},
    {u"SystemDrive", u"C:"},
    {u"SystemRoot", u"C:\\Windows"},
    {u"TEMP", u"C:\\Windows\\Temp"},
    {u"windir", u"C:\\Windows"},
}};

const std::u16string_view* Variable(std::u16string_view name) {
  for (const auto& [known, value] : kEnvironment) {
    if (EqualsIgnoreCase(known, name)) return &value;
  }
  return nullptr;
}

}  // namespace
}  // namespace sim

namespace win {

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR buffer, DWORD size) {
  if (sim::Intercept("ExpandEnvironmentStringsW")) return 0;
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A name between two percent signs that is a variable is replaced; anything else, the percent
  // signs included, is copied as it stands.
  std::u16string out;
  std::u16string_view text = source;
  while (!text.empty()) {
    const std::size_t open = text.find(u'%');
    const std::size_t close = open == text.npos ? text.npos : text.find(u'%', open + 1);
    if (close == text.npos) {
      out += text;
      break;
    }
    out += text.substr(0, open);
    const std::u16string_view name = text.substr(open + 1, close - open - 1);
    const std::u16string_view* value = name.empty() ? nullptr : sim::Variable(name);
    out += value != nullptr ? *value : text.substr(open, close - open + 1);
    text.remove_prefix(close + 1);
  }
  const auto needed = static_cast<DWORD>(out.size() + 1);
  if (buffer != nullptr && size >= needed) out.copy(buffer, out.size()), buffer[out.size()] = 0;
  return needed;
}

}  // namespace win
