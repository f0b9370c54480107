#include "service/Registration.h"

// Applying the program's own registry script resource.

#include <array>
#include <memory>
#include <new>
#include <string>

#include "platform/UniqueHandle.h"

namespace {

constexpr std::size_t kStackTextBytes = 1024;  // a longer script is converted on the heap

// The script's 8-bit text as UTF-16 in the thread's ANSI code page.
win::HRESULT ConvertScript(const char* bytes, std::size_t size, std::u16string& text) {
  text.clear();
  if (size == 0) return win::S_OK;  // nothing to convert, and nothing to run
  const std::size_t units = size + 1;
  std::array<char16_t, kStackTextBytes / sizeof(char16_t)> onStack;
  std::unique_ptr<char16_t[]> onHeap;
  char16_t* buffer = onStack.data();
  if (units * sizeof(char16_t) > kStackTextBytes) {
    onHeap.reset(new (std::nothrow) char16_t[units]);
    if (!onHeap) return win::E_OUTOFMEMORY;
    buffer = onHeap.get();
  }
  const int converted = win::MultiByteToWideChar(
      win::CP_THREAD_ACP, 0, bytes, static_cast<int>(size), buffer, static_cast<int>(units));
  if (converted == 0) return HresultFromLastError();
  text.assign(buffer, static_cast<std::size_t>(converted));
  return win::S_OK;
}

}  // namespace

win::HRESULT Registration::AddStandardSubstitutions(SubstitutionMap& map) const {
  return map.AddSubstitution(u"APPID", kAppId);
}

win::HRESULT Registration::ApplyRegistryScript(win::UINT resourceId, RegistryScriptMode mode,
                                               const ScriptSubstitution* substitutions) const {
  try {
    SubstitutionMap map;
    for (const ScriptSubstitution* pair = substitutions;
         pair != nullptr && (pair->name != nullptr || pair->value != nullptr); ++pair) {
      map.AddSubstitution(pair->name, pair->value);
    }
    if (const win::HRESULT result = AddStandardSubstitutions(map); result < 0) return result;

    std::u16string program;
    if (const win::HRESULT result = ReadProgramPath(program); result < 0) return result;
    // The path stands inside quoted tokens, where an apostrophe is written twice.
    std::u16string quoted;
    for (char16_t c : program) {
      quoted += c;
      if (c == u'\'') quoted += c;
    }
    if (const win::HRESULT result =
            map.AddSubstitution(u"Module", (u"\"" + quoted + u"\"").c_str());
        result < 0) {
      return result;
    }
    if (const win::HRESULT result = map.AddSubstitution(u"Module_Raw", quoted.c_str());
        result < 0) {
      return result;
    }

    // The program's own file, loaded as data and released on every path.
    win::UniqueModule image(
        win::LoadLibraryExW(program.c_str(), nullptr, win::LOAD_LIBRARY_AS_DATAFILE));
    if (!image) return HresultFromLastError();
    const win::HRSRC resource = win::FindResourceW(
        image.Get(), win::MAKEINTRESOURCEW(static_cast<win::WORD>(resourceId)), u"REGISTRY");
    if (resource == nullptr) return HresultFromLastError();
    const win::HGLOBAL loaded = win::LoadResource(image.Get(), resource);
    if (loaded == nullptr) return HresultFromLastError();
    const win::DWORD size = win::SizeofResource(image.Get(), resource);
    const auto* bytes = static_cast<const char*>(win::LockResource(loaded));
    if (bytes == nullptr) return HresultFromLastError();

    std::u16string text;
    if (const win::HRESULT result = ConvertScript(bytes, size, text); result < 0) return result;
    RegistryScriptParser parser(map);
    return parser.RunScript(text, mode);
  } catch (const std::bad_alloc&) {
    return win::E_OUTOFMEMORY;
  }
}
