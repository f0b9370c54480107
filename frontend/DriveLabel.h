// What Explorer shows of a drive letter: the label it gives the letter for every user, and the
// news that a letter came or went, for the shell of the user's desktop.
#pragma once

#include <string>
#include <string_view>

#include "engine/DriveLabel.h"
#include "platform/WinApi.h"

namespace frontend {

// The service runs in session 0, where the system's own broadcast of a drive change reaches no
// user's desktop; corvane runs on that desktop and tells its shell. Queued, never flushed, so
// that a shell that does not answer holds nothing up.
void TellShell(std::u16string_view letter, bool added);

// The labels are the engine's, which the service sets for policy's letters too.
using ::ReadDriveLabel;
using ::RemoveDriveLabel;
using ::WriteDriveLabel;

}  // namespace frontend
