// The machine's locks as the front end tells of them.
#pragma once

#include "engine/MachineLock.h"
#include "frontend/Console.h"

namespace frontend {

// What to tell an administrator when Acquire failed with `error` (not ERROR_TIMEOUT). (One who
// may not start the service is told that instead: only that is missing elevation.)
Lines LockFailureText(const MachineLock& lock, win::DWORD error);

}  // namespace frontend
