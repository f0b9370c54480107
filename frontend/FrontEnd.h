// corvane.exe: asks CorvaneService for links and keeps the list of drive mappings that the
// service restores at every boot.
#pragma once

#include <string>
#include <vector>

#include "platform/WinApi.h"

namespace frontend {

// One run with the arguments after the program name; returns the exit code: the service's exit
// code for a request, 87 for a command line that asks for nothing valid, otherwise the Win32
// code of what failed.
win::DWORD RunFrontEnd(const std::vector<std::u16string>& arguments);

}  // namespace frontend
