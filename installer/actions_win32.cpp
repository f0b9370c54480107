// CorvaneInstallerActions.dll: the package's custom actions, called by Windows Installer as
// deferred steps without impersonation (so as LocalSystem). A failure fails the install, which
// Windows Installer then rolls back. Only a refused install folder is reported, through the
// session: a dialog in an install with a user interface, the log in every install; a silent
// install never waits on it.
#include <cstdint>
#include <string>

#include "frontend/Console.h"
#include "frontend/FrontEnd.h"
#include "installer/InstallFolder.h"
#include "installer/ServicePath.h"
#include "platform/UniqueHandle.h"

namespace {

struct MsiHandleTraits {
  using Value = win::MSIHANDLE;
  static Value Invalid() noexcept { return 0; }
  static void Close(Value h) noexcept { win::MsiCloseHandle(h); }
};
using UniqueMsiHandle = win::UniqueHandle<MsiHandleTraits>;

// What the type-51 action of the same name left for a deferred action, which cannot read the
// session's other properties; empty when it cannot be read.
std::u16string ActionData(win::MSIHANDLE install) {
  char16_t none[1] = {};
  win::DWORD size = 0;
  if (win::MsiGetPropertyW(install, u"CustomActionData", none, &size) != win::ERROR_MORE_DATA) {
    return u"";
  }
  std::u16string value(size, u'\0');
  ++size;  // room for the terminator, which the string keeps beyond its end
  if (win::MsiGetPropertyW(install, u"CustomActionData", value.data(), &size) !=
      win::ERROR_SUCCESS) {
    return u"";
  }
  value.resize(size);
  return value;
}

void Report(win::MSIHANDLE install, win::DWORD type, const std::u16string& text) {
  UniqueMsiHandle record(win::MsiCreateRecord(1));
  if (!record) return;
  // The text goes in as field 1 of a template that is only "[1]": the template is formatted, so
  // a path with brackets in it must not be.
  win::MsiRecordSetStringW(record.Get(), 0, u"[1]");
  win::MsiRecordSetStringW(record.Get(), 1, text.c_str());
  win::MsiProcessMessage(install, type, record.Get());
}

void ReportError(win::MSIHANDLE install, const std::u16string& text) {
  Report(install, win::INSTALLMESSAGE_ERROR | win::MB_OK | win::MB_ICONERROR, text);
}

}  // namespace

// The installer session's handle (MSIHANDLE) is not needed: the step works on the record only.
extern "C" __declspec(dllexport) std::uint32_t __stdcall QuoteServicePath(std::uint32_t) {
  return installer::QuoteServiceProgramPath(installer::kServiceName,
                                            installer::kServiceDependencies) == win::ERROR_SUCCESS
             ? win::ERROR_SUCCESS
             : win::ERROR_INSTALL_FAILURE;
}

// The install folder (CustomActionData: INSTALLDIR), checked before any file goes into it.
extern "C" __declspec(dllexport) std::uint32_t
    __stdcall CheckInstallFolder(win::MSIHANDLE install) {
  const std::u16string refusal = installer::InstallFolderRefusal(ActionData(install));
  if (refusal.empty()) return win::ERROR_SUCCESS;
  ReportError(install, refusal);
  return win::ERROR_INSTALL_FAILURE;
}

// The links file given as LINKS (CustomActionData), applied once the service is in place, as
// `corvane apply FILE` applies it: a file that cannot be applied fails the install, which Windows
// Installer then rolls back, and the apply takes back what it changed itself. What corvane says
// goes into the installer's log.
extern "C" __declspec(dllexport) std::uint32_t __stdcall ApplyLinks(win::MSIHANDLE install) {
  const std::u16string file = ActionData(install);
  if (file.empty()) return win::ERROR_SUCCESS;
  std::u16string said;
  frontend::TextSink sink = [&said](std::u16string_view text, bool) { said += text; };
  win::DWORD code = 0;
  {
    frontend::ScopedTextSink to(sink);
    code = frontend::RunFrontEnd({u"apply", file});
  }
  if (code == 0) {
    Report(install, win::INSTALLMESSAGE_INFO, u"corvane apply " + file + u":\r\n" + said);
    return win::ERROR_SUCCESS;
  }
  ReportError(install, u"The links in " + file + u" were not applied, so Corvane was not installed:\r\n" + said);
  return win::ERROR_INSTALL_FAILURE;
}
