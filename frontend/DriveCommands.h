// The drive-letter commands: create and delete a mapping now, add and remove a stored one, and
// restore every stored one. Each decides from the machine's global letters, while it holds the
// list's lock, so that two corvanes never both find a letter free.
#pragma once

#include <string>
#include <string_view>

#include "engine/LinkRequest.h"
#include "frontend/DriveLabel.h"
#include "frontend/Arguments.h"
#include "platform/WinApi.h"

namespace frontend {

win::DWORD CreateDrive(const Command& command);
win::DWORD DeleteDrive(const Command& command);
win::DWORD AddDrive(const Command& command);
win::DWORD RemoveDrive(const Command& command);
win::DWORD RestoreDrives();

// Whether a stored drive mapping is in force now: "mapped now", "not mapped now", or what the
// letter is mapped onto instead.
std::u16string DriveState(const LinkRequest& record);
bool MappedNow(const LinkRequest& record);

}  // namespace frontend
