// What Explorer shows of a drive letter: the label it gives the letter for every user, and the
// news that a letter came or went, for the shell of the user's desktop.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinApi.h"

namespace frontend {

// The service runs in session 0, where the system's own broadcast of a drive change reaches no
// user's desktop; corvane runs on that desktop and tells its shell. Queued, never flushed, so
// that a shell that does not answer holds nothing up.
void TellShell(std::u16string_view letter, bool added);

// The name Explorer shows for a letter ("X:"), kept for the machine under HKEY_LOCAL_MACHINE
// (administrators only). Writing replaces the label there; removing takes off the label's key and
// the letter's own key only once that is empty, so that a user's own icon for it stays. 0 or the
// registry's code; removing a label that is not there is 0.
win::DWORD WriteDriveLabel(std::u16string_view letter, const std::u16string& label);
win::DWORD RemoveDriveLabel(std::u16string_view letter);
// The label there now: 0, or the registry's code (ERROR_FILE_NOT_FOUND for none).
win::DWORD ReadDriveLabel(std::u16string_view letter, std::u16string& label);

}  // namespace frontend
