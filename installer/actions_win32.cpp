// CorvaneInstallerActions.dll: the package's custom actions. All but one are called by Windows
// Installer as deferred steps without impersonation (so as LocalSystem), or as their rollback and
// commit; CheckLinks runs in the install's own session, before anything is changed. A failure
// fails the install, which Windows Installer then rolls back. A refusal is reported through the
// session: a dialog in an install with a user interface, the log in every install; a silent
// install never waits on it. What corvane says in an action goes into the log.
#include <cstdint>
#include <string>

#include "engine/PolicyTrigger.h"
#include "frontend/ApplyCommand.h"
#include "frontend/CommandSupport.h"
#include "frontend/Console.h"
#include "frontend/FrontEnd.h"
#include "frontend/Messages.h"
#include "installer/InstallFolder.h"
#include "installer/LinksPath.h"
#include "installer/ServicePath.h"
#include "platform/UniqueHandle.h"

namespace {

struct MsiHandleTraits {
  using Value = win::MSIHANDLE;
  static Value Invalid() noexcept { return 0; }
  static void Close(Value h) noexcept { win::MsiCloseHandle(h); }
};
using UniqueMsiHandle = win::UniqueHandle<MsiHandleTraits>;

// A property of the session; empty when it cannot be read. A deferred action reads only
// CustomActionData, which the type-51 action of its name left for it.
std::u16string Property(win::MSIHANDLE install, const char16_t* name) {
  char16_t none[1] = {};
  win::DWORD size = 0;
  if (win::MsiGetPropertyW(install, name, none, &size) != win::ERROR_MORE_DATA) return u"";
  std::u16string value(size, u'\0');
  ++size;  // room for the terminator, which the string keeps beyond its end
  if (win::MsiGetPropertyW(install, name, value.data(), &size) != win::ERROR_SUCCESS) return u"";
  value.resize(size);
  return value;
}

std::u16string ActionData(win::MSIHANDLE install) {
  return Property(install, u"CustomActionData");
}

// Runs one of the front end's steps in this process, its text (output and errors) kept in `said`.
template <class Step>
win::DWORD Captured(Step step, std::u16string& said) {
  frontend::TextSink sink = [&said](std::u16string_view text, bool) { said += text; };
  frontend::ScopedTextSink to(sink);
  return step();
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
  return installer::QuoteServiceProgramPath(kServiceName,
                                            installer::kServiceDependencies) == win::ERROR_SUCCESS
             ? win::ERROR_SUCCESS
             : win::ERROR_INSTALL_FAILURE;
}

// Once the record is made, before the service first starts: the trigger that has the service
// control manager start it whenever machine policy is applied, as -Service registers it. Without
// it the service still runs every request and its boot pass, so a failure is told in the log and
// fails nothing.
extern "C" __declspec(dllexport) std::uint32_t
    __stdcall RegisterPolicyTrigger(win::MSIHANDLE install) {
  const win::DWORD error = RegisterMachinePolicyTrigger(kServiceName);
  Report(install, win::INSTALLMESSAGE_INFO,
         error == win::ERROR_SUCCESS
             ? std::u16string(u"The service CorvaneService starts whenever machine policy is "
                              u"applied.")
             : u"The service CorvaneService could not be set to start when machine policy is "
               u"applied (error " +
                   frontend::DecimalText(error) +
                   u"); it still starts at boot and for every request.");
  return win::ERROR_SUCCESS;
}

// The install folder (CustomActionData: INSTALLDIR), checked before any file goes into it.
extern "C" __declspec(dllexport) std::uint32_t
    __stdcall CheckInstallFolder(win::MSIHANDLE install) {
  const std::u16string refusal = installer::InstallFolderRefusal(ActionData(install));
  if (refusal.empty()) return win::ERROR_SUCCESS;
  ReportError(install, refusal);
  return win::ERROR_INSTALL_FAILURE;
}

// Should the removal be rolled back (the old version's, in a failed upgrade), the record comes
// back: its program path is quoted again, as QuoteServicePath left it. A rollback goes on
// whatever one step of it meets, so a failure is told in the log, not returned.
extern "C" __declspec(dllexport) std::uint32_t
    __stdcall RequoteServicePath(win::MSIHANDLE install) {
  const win::DWORD error =
      installer::QuoteServiceProgramPath(kServiceName, installer::kServiceDependencies);
  if (error != win::ERROR_SUCCESS) {
    ReportError(install,
                u"The service CorvaneService is back, but its program path could not be "
                u"put in quotes again (error " +
                    frontend::DecimalText(error) + u").");
  }
  return win::ERROR_SUCCESS;
}

// LINKS, read in the install's own session before anything is installed.
extern "C" __declspec(dllexport) std::uint32_t __stdcall CheckLinks(win::MSIHANDLE install) {
  const std::u16string refusal = installer::LinksPathRefusal(Property(install, u"LINKS"));
  if (refusal.empty()) return win::ERROR_SUCCESS;
  ReportError(install, refusal);
  return win::ERROR_INSTALL_FAILURE;
}

// The links file given as LINKS (CustomActionData), applied once the service is in place, as
// `corvane apply FILE` applies it: a file that cannot be applied fails the install, which Windows
// Installer then rolls back, and the apply takes back what it changed itself. The stored list is
// kept aside first, for RollBackLinks should the install fail later on; without that copy nothing
// is applied.
extern "C" __declspec(dllexport) std::uint32_t __stdcall ApplyLinks(win::MSIHANDLE install) {
  const std::u16string file = ActionData(install);
  if (file.empty()) return win::ERROR_SUCCESS;
  std::u16string said;
  if (const win::DWORD error = Captured(frontend::KeepListForRollback, said)) {
    const std::u16string why =
        u"the stored list could not be kept aside to be put back should "
        u"the install fail (error " +
        frontend::DecimalText(error) + u").\r\n";
    ReportError(install, u"The links in " + file +
                             u" were not applied, so Corvane was not installed: " + why + said);
    return win::ERROR_INSTALL_FAILURE;
  }
  const auto apply = [&file] { return frontend::RunFrontEnd({u"apply", file}); };
  const win::DWORD code = Captured(apply, said);
  if (code == 0) {
    Report(install, win::INSTALLMESSAGE_INFO, u"corvane apply " + file + u":\r\n" + said);
    return win::ERROR_SUCCESS;
  }
  ReportError(install, u"The links in " + file +
                           u" were not applied, so Corvane was not installed:\r\n" + said);
  return win::ERROR_INSTALL_FAILURE;
}

// A failed install, from ApplyLinks on: the stored links, labels and list back as ApplyLinks kept
// them (nothing to do when it kept nothing). Told in the log either way, never returned: a
// rollback goes on whatever one step of it meets.
extern "C" __declspec(dllexport) std::uint32_t __stdcall RollBackLinks(win::MSIHANDLE install) {
  std::u16string said;
  const win::DWORD code = Captured(frontend::RollBackToKeptList, said);
  if (code == 0) {
    Report(install, win::INSTALLMESSAGE_INFO,
           u"The stored links are back as they were before the install.\r\n" + said);
  } else {
    ReportError(install,
                u"The stored links could not all be put back as they were before the "
                u"install (error " +
                    frontend::DecimalText(code) + u"):\r\n" + said);
  }
  return win::ERROR_SUCCESS;
}

// A finished install: the copy ApplyLinks kept goes. Told, not returned: a failed commit would
// roll back an install that is done, for a spare file that the uninstall removes.
extern "C" __declspec(dllexport) std::uint32_t __stdcall ForgetKeptLinks(win::MSIHANDLE install) {
  std::u16string said;
  const win::DWORD code = Captured(frontend::ForgetKeptList, said);
  if (code != 0) {
    Report(install, win::INSTALLMESSAGE_INFO,
           u"The copy of the stored list kept for a rollback, Corvane.dat.rollback, is still there "
           u"(error " +
               frontend::DecimalText(code) + u"):\r\n" + said);
  }
  return win::ERROR_SUCCESS;
}

// An install over a list kept from before (a re-install after an uninstall, an upgrade) ends with
// the restore pass, as `corvane restore` runs it: the stored mappings are in force when msiexec
// returns, not only after the next boot. A letter that cannot be mapped now is told in the log
// and fails nothing: the service tries again at every boot.
extern "C" __declspec(dllexport) std::uint32_t __stdcall RestoreMappings(win::MSIHANDLE install) {
  win::DWORD error = 0;
  const std::u16string list = frontend::ListPathBesideService(error);
  if (list.empty()) {
    Report(install, win::INSTALLMESSAGE_INFO,
           u"The stored mappings were not restored: the service's record cannot be read (error " +
               frontend::DecimalText(error) + u").");
    return win::ERROR_SUCCESS;
  }
  if (win::GetFileAttributesW(list.c_str()) == win::INVALID_FILE_ATTRIBUTES) {
    error = win::GetLastError();
    if (error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND) {
      return win::ERROR_SUCCESS;
    }
  }
  std::u16string said;
  const auto restore = [] { return frontend::RunFrontEnd({u"restore"}); };
  const win::DWORD code = Captured(restore, said);
  Report(install, win::INSTALLMESSAGE_INFO,
         u"corvane restore (" + list + u", exit code " + frontend::DecimalText(code) + u")" +
             (code == 0 ? u"" : u"; the service tries again at every boot") + u":\r\n" + said);
  return win::ERROR_SUCCESS;
}
