// The link list file beside the service program, as the front end keeps it: read whole, changed
// in memory, and replaced whole, so that it is never half-written.
#pragma once

#include <string>

#include "engine/LinkList.h"

namespace frontend {

// Reads the list at `path`, its drive labels included. 0, with no records when there is no such
// file; ERROR_INVALID_DATA when the file does not hold a list or its label trailer is damaged (it
// must then be left alone); any other code when it cannot be opened, ERROR_SHARING_VIOLATION once
// it stayed busy.
win::DWORD ReadStoredList(const std::u16string& path, LinkList& links);

// How many names a writer tries for its new file ("Corvane.dat.1.new", ...).
inline constexpr int kNewFileNames = 100;

// Writes `links` into a new file of this writer's own beside `path`, flushes it to the disk and
// moves it over the list in one step. On failure the list is as it was, no new file is left
// behind, and the code says why. The caller holds the list lock (kListLockName).
win::DWORD ReplaceStoredList(const std::u16string& path, LinkList& links);

}  // namespace frontend
