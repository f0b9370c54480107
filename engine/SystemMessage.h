// The system's own text for a Win32 code, as the user and the event log read it.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinApi.h"

// The text on one line, without the line break it ends with; `none` when the system has none.
std::u16string SystemMessage(win::DWORD code, std::u16string_view none = u"Unknown error.");
