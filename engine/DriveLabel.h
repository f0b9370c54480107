// Drive labels, which corvane sets for the letters it stores and the service for policy's.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinApi.h"

// The name Explorer shows for a letter ("X:"), kept for the machine under HKEY_LOCAL_MACHINE
// (administrators only). Writing replaces the label there; removing takes off the label's key and
// the letter's own key only once that is empty, so that a user's own icon for it stays. 0 or the
// registry's code; removing a label that is not there is 0.
win::DWORD WriteDriveLabel(std::u16string_view letter, const std::u16string& label);
win::DWORD RemoveDriveLabel(std::u16string_view letter);
// The label there now: 0, or the registry's code (ERROR_FILE_NOT_FOUND for none).
win::DWORD ReadDriveLabel(std::u16string_view letter, std::u16string& label);
