// A volume's file system writes the changes of names and of junction data to its disk lazily, and
// a power cut takes back on each volume what it had not written. A flush of the volume writes
// them out, and only that volume's: the list is on another volume, as often as not.
#pragma once

#include <string_view>

#include "platform/WinApi.h"

namespace frontend {

// Writes out the volume that holds `path` (X:\...), through the letter it maps onto when X: is a
// mapped letter. 0 when it is written, when its file system offers no flush, or when there is
// nothing here to write (a share); else why the volume could not be opened or written.
win::DWORD FlushVolumeOf(std::u16string_view path);

}  // namespace frontend
