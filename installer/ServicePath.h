// The installer's one step of its own: the service record's program path in quotes.
//
// Windows Installer's service table writes the installed program's path as it is, and under
// C:\Program Files that path has a blank in it: unquoted, the service manager would first try
// C:\Program.exe, as LocalSystem. CorvaneService.exe -Service quotes it; the package does the
// same with this step, run after the record is created.
#pragma once

#include <string_view>

#include "engine/ServiceName.h"
#include "platform/WinApi.h"

namespace installer {

// The services the service depends on, as its ServiceInstall entry (and -Service) give them: a
// double-NUL-terminated list.
inline constexpr char16_t kServiceDependencies[] = u"RPCSS\0";

// Puts the record's program path in quotes, unless it starts with one already, and sets these
// dependencies again; every other field stays as it is. Returns ERROR_SUCCESS or the failing
// call's error code.
win::DWORD QuoteServiceProgramPath(std::u16string_view serviceName, const char16_t* dependencies);

}  // namespace installer
