// The registry script language the program describes its registration in: substitutions of
// %name% forms, tokens, key blocks, and their effect when registering or unregistering.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/WinApi.h"

// A Win32 error code as an HRESULT: 0 and below unchanged, else 0x8007 and its low 16 bits.
constexpr win::HRESULT HresultFromWin32(win::DWORD code) {
  return static_cast<win::HRESULT>(code) <= 0
             ? static_cast<win::HRESULT>(code)
             : static_cast<win::HRESULT>(0x80070000u | (code & 0xFFFFu));
}

// The HRESULT of a call that has just failed: its last-error code, or E_FAIL when it left none,
// so that a failure never reads as S_OK.
inline win::HRESULT HresultFromLastError() {
  const win::DWORD error = win::GetLastError();
  return error != win::ERROR_SUCCESS ? HresultFromWin32(error) : win::E_FAIL;
}

enum class RegistryScriptMode { Register, Unregister };

// One (name, value) pair for ApplyRegistryScript; a list of them ends with an empty entry.
struct ScriptSubstitution {
  const char16_t* name;
  const char16_t* value;
};

// The %name% substitutions of one script run: names compare without regard to case, and the
// first pair of a name wins. Its operations sit in a table of virtual functions in the order the
// registration code's callers know it by.
class SubstitutionMap {
 public:
  SubstitutionMap() = default;
  SubstitutionMap(const SubstitutionMap&) = delete;
  SubstitutionMap& operator=(const SubstitutionMap&) = delete;

  virtual win::HRESULT QueryInterface(const void* interfaceId, void** object);  // E_NOTIMPL
  virtual win::ULONG AddRef();   // 1: the map is not reference counted
  virtual win::ULONG Release();  // 0: and not freed by it
  // S_OK, E_INVALIDARG without name or value, E_OUTOFMEMORY when the copies cannot be made.
  virtual win::HRESULT AddSubstitution(const char16_t* name, const char16_t* value);
  virtual win::HRESULT ClearSubstitutions();
  virtual ~SubstitutionMap() = default;

  // The value of the first pair of that name, or null.
  const std::u16string* FindSubstitution(std::u16string_view name) const;

 private:
  std::vector<std::pair<std::u16string, std::u16string>> pairs_;
};

// Walks one expanded script text; the position moves as tokens are read.
class RegistryScriptParser {
 public:
  explicit RegistryScriptParser(const SubstitutionMap& substitutions)
      : substitutions_(substitutions) {}

  // Expands and runs `text`: S_OK, or the first failure (a failed registration is undone).
  win::HRESULT RunScript(std::u16string_view text, RegistryScriptMode mode);

  win::HRESULT ExpandSubstitutions(std::u16string_view text, std::u16string& expanded) const;

 private:
  win::HRESULT ReadToken(std::u16string& token);
  void SkipBlanks();
  win::HRESULT WalkKeyBlock(std::u16string& token, win::HKEY parent, RegistryScriptMode mode,
                            bool recovering);
  win::HRESULT WriteScriptValue(win::HKEY key, const char16_t* valueName, std::u16string& token);
  win::HRESULT SkipAssignedValue(std::u16string& token);

  const SubstitutionMap& substitutions_;
  const char16_t* position_ = nullptr;  // in the expanded text, which ends with a NUL
  int depth_ = 0;                       // blocks being walked, one inside the other
};

// Deletes `name` below `parent` with everything under it; the Win32 code of the outcome.
win::LSTATUS DeleteKeyTree(win::HKEY parent, const char16_t* name);

// One character upper-cased as the platform does it (CharUpperW's single-character form).
char16_t UpperCase(char16_t c);

// Keys that ForceRemove and Delete never remove, whatever a script says.
bool IsProtectedKeyName(std::u16string_view name);
