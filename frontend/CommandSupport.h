// What every command shares: paths as the service needs them, the stored list beside the
// service, its lock, and how a request's outcome is told.
#pragma once

#include <string>

#include "engine/AsciiText.h"
#include "engine/LinkList.h"
#include "frontend/MachineLock.h"
#include "frontend/ServiceRequest.h"
#include "platform/WinApi.h"

namespace frontend {

// A path made absolute against the current directory, as the service, running elsewhere, needs
// it; empty with the code in `error` when it cannot be.
std::u16string FullPath(const std::u16string& path, win::DWORD& error);
// The same, the user told why when it cannot be.
std::u16string UsablePath(const std::u16string& path, win::DWORD& error);

// 0 when `path` is a folder that exists; otherwise why not: ERROR_PATH_NOT_FOUND when nothing is
// there, ERROR_DIRECTORY for a file, or the system's code.
win::DWORD FolderError(const std::u16string& path);

// The path of the list beside the installed service's program; empty, with the reason in
// `error`, when the service's record cannot be read.
std::u16string ListPathBesideService(win::DWORD& error);

// A start argument the service control manager cannot pass is refused before anything else:
// true once the user has been told.
bool TooLongForTheService(const std::u16string& link, const std::u16string& target);

// Whether the service ran and stopped with its own exit code.
bool Finished(const ServiceOutcome& outcome);

// Tells how a request went and gives the exit code for it.
win::DWORD Tell(const ServiceOutcome& outcome);

// What a link is now, to tell whether a request the service manager gave up on was carried out
// all the same.
LinkState LinkStateOf(LinkKind kind, std::u16string link);

// Finds the list beside the installed service's program and takes its lock for one change of
// it, from its reading until the new list is in place; 0, or the exit code once the user has
// been told.
win::DWORD LockList(std::u16string& path, MachineLock& lock);

// Reads the list at `path` (found beside the service first when empty) into `links`; 0, or the
// exit code once the user has been told what is wrong.
win::DWORD ReadListBesideService(std::u16string& path, LinkList& links);

// Both: the lock taken and the list read under it, for one change.
win::DWORD LockAndReadList(std::u16string& path, MachineLock& lock, LinkList& links);

// Says why the stored list cannot be used and gives the exit code for it.
win::DWORD ListProblem(const std::u16string& path, win::DWORD error, bool writing);

}  // namespace frontend
