// Text for the user: UTF-16 to a console, so that any path prints as it is; UTF-8 to a file or a
// pipe.
#pragma once

#include <string_view>

#include "platform/WinApi.h"

namespace frontend {

void WriteOutput(std::u16string_view text);
void WriteError(std::u16string_view text);

// The code of the first write of this program that failed (0 when none has), cleared by asking:
// a command whose text did not get out has not done what it was asked.
win::DWORD TakeWriteFailure();

}  // namespace frontend
