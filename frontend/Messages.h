// What the user reads about an outcome.
#pragma once

#include <string>

#include "frontend/Console.h"
#include "platform/WinApi.h"

namespace frontend {

// The system's message text for a Win32 code, on one line, and the code: "Access is denied.
// (code 5)".
std::u16string OutcomeText(win::DWORD code);

// A number in decimal digits.
std::u16string DecimalText(long long value);

// For a failure to reach the service at all: what went wrong and what to do about it, and the
// outcome, a line each.
Lines StartFailureText(win::DWORD code);

}  // namespace frontend
