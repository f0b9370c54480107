// Directory junctions: a mount-point reparse point on an empty directory.
#pragma once

#include <cstddef>
#include <string>

// The substitute name is formed in working buffers of this many UTF-16 units, the terminator
// included: a junction's substitute name has at most one unit fewer.
inline constexpr std::size_t kJunctionNameBufferUnits = 1024;

// True when the reparse point was set on `link`; after false the last-error code is that of
// the failing step.
bool CreateJunction(const std::u16string& link, const std::u16string& target);

// True when the reparse point was taken off `link`; the directory itself stays.
bool RemoveJunction(const std::u16string& link);
