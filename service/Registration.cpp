#include "service/Registration.h"

#include <utility>

#include "service/CommandLine.h"

namespace {

constexpr std::u16string_view kSwitchSeparators = u"-/";

}  // namespace

win::HRESULT ReadProgramPath(std::u16string& path) {
  path.clear();
  char16_t program[win::MAX_PATH];
  const win::DWORD length = win::GetModuleFileNameW(nullptr, program, win::MAX_PATH);
  if (length == 0) return HresultFromLastError();
  if (length >= win::MAX_PATH) return HresultFromWin32(win::ERROR_INSUFFICIENT_BUFFER);
  path.assign(program, length);
  return win::S_OK;
}

Registration::Registration(std::u16string serviceName) : serviceName_(std::move(serviceName)) {}

bool Registration::HandleCommandLine(std::u16string_view commandLine, win::HRESULT& result) {
  const std::u16string line(commandLine);
  std::u16string program;
  ReadProgramPath(program);  // none: the switches are looked for from the start
  const char16_t* const arguments = SkipProgramPath(line.c_str(), program);
  // "UnregServer" and "RegServer" come first wherever they stand; between the two, the first
  // on the line wins. Only without them is "Service" looked for.
  result = win::S_OK;
  for (const char16_t* at = FindSwitchStart(arguments, kSwitchSeparators); at != nullptr;
       at = FindSwitchStart(at, kSwitchSeparators)) {
    if (SwitchEquals(at, u"UnregServer")) {
      result = UnregisterEntries();
      return false;
    }
    if (SwitchEquals(at, u"RegServer")) {
      result = RegisterEntries(false);
      return false;
    }
  }
  result = win::S_OK;
  for (const char16_t* at = FindSwitchStart(arguments, kSwitchSeparators); at != nullptr;
       at = FindSwitchStart(at, kSwitchSeparators)) {
    if (SwitchEquals(at, u"Service")) {
      result = RegisterEntries(true);
      return false;
    }
  }
  return true;
}
