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

// The package's undo of a links file, around its apply. Before the apply the stored list is kept
// aside, beside it ("Corvane.dat.rollback"; an empty file when there was no list). A rollback puts
// the machine's stored links, their labels and the list back as kept, by an apply of the kept list
// with prune, and then lets the kept copy go; a commit only lets it go. Each is 0 when there is
// nothing kept. 0, or the code once what went wrong was said (through the console's sink).
win::DWORD KeepListForRollback();
win::DWORD RollBackToKeptList();
win::DWORD ForgetKeptList();

}  // namespace frontend
