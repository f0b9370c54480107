// A desired-state file applied to the machine, or compared with it: what deployment engines run
// (an install, a configuration baseline, a detection rule).
#pragma once

#include "frontend/Arguments.h"
#include "platform/WinApi.h"

namespace frontend {

// The exit code of `corvane test` when the machine differs from the file.
inline constexpr win::DWORD kMachineDiffers = 1;

// Makes the machine match the file: every entry checked first, nothing changed when one cannot
// be applied, and what this run changed undone when a change fails part way.
win::DWORD Apply(const Command& command);

// 0 when the machine matches the file, kMachineDiffers when it does not; changes nothing.
win::DWORD Test(const Command& command);

}  // namespace frontend
