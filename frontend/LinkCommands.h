// The commands that are not about drive letters alone: a junction or hard link made or taken off
// now, the stored list, and what a path or letter is.
#pragma once

#include "frontend/Arguments.h"
#include "platform/WinApi.h"

namespace frontend {

// A Folder or File create or delete, carried out by the service.
win::DWORD ChangeLinkNow(const Command& command);
win::DWORD List(bool json);
win::DWORD Show(const Command& command);

}  // namespace frontend
