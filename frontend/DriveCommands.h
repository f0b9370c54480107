// The drive-letter commands: create and delete a mapping now, add and remove a stored one, and
// restore every stored one. Each decides from the machine's global letters, while it holds the
// list's lock, so that two corvanes never both find a letter free.
#pragma once

#include <string>
#include <string_view>

#include "engine/HardLink.h"
#include "frontend/Arguments.h"
#include "platform/WinApi.h"

namespace frontend {

// Definitions of one stored folder that a removal takes off at most: an older restore could stack
// the same mapping more than once.
inline constexpr int kMostStackedMappings = 8;

win::DWORD CreateDrive(const Command& command);
win::DWORD DeleteDrive(const Command& command);
win::DWORD AddDrive(const Command& command);
win::DWORD RemoveDrive(const Command& command);
win::DWORD RestoreDrives();

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

// Whether a stored drive mapping is in force now: "mapped now", "not mapped now", or what the
// letter is mapped onto instead.
std::u16string DriveState(const CHardLink& record);
bool MappedNow(const CHardLink& record);

}  // namespace frontend
