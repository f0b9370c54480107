// Directory junctions: a mount-point reparse point on an empty directory.
#pragma once

#include <string>

// True when the reparse point was set on `link`; after false the last-error code is that of
// the failing step.
bool CreateJunction(const std::u16string& link, const std::u16string& target);

// True when the reparse point was taken off `link`; the directory itself stays.
bool RemoveJunction(const std::u16string& link);
