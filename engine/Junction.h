// Directory junctions: a mount-point reparse point on an empty directory.
#pragma once

#include <cstddef>
#include <string>

#include "platform/WinApi.h"

// The substitute name is formed in working buffers of this many UTF-16 units, the terminator
// included: a junction's substitute name has at most one unit fewer.
inline constexpr std::size_t kJunctionNameBufferUnits = 1024;

// Windows follows a mount point only to a volume of this machine, so a junction onto a share
// could never be used: such a target is refused with this code ("The specified path is
// invalid.") before anything is made.
inline constexpr win::DWORD kNetworkTargetError = win::ERROR_BAD_PATHNAME;

// Whether `target` names a place on another machine: \\server\share, \\?\UNC\..., \??\UNC\...,
// or a relative path taken from a current directory on a share.
bool IsNetworkTarget(const std::u16string& target);

// True when the reparse point was set on `link`; after false the last-error code is that of
// the failing step.
bool CreateJunction(const std::u16string& link, const std::u16string& target);
// The same for a link directory already open with write access.
bool CreateJunctionOn(win::HANDLE directory, const std::u16string& target);

// True when the reparse point was taken off `link`; the directory itself stays.
bool RemoveJunction(const std::u16string& link);
// The same for a link directory already open with write access.
bool RemoveJunctionFrom(win::HANDLE directory);
