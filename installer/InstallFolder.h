// The install folder as the package finds it. An administrator may install into a folder that
// already exists (INSTALLDIR=C:\Corvane), perhaps made by a standard user beforehand. The
// package's permission table resets the folder's list, but whoever owns the folder, or anything
// already in it, keeps the right to change its list and so to replace what the service runs or
// reads as LocalSystem. Such a folder is refused before any file is installed.
#pragma once

#include <string>
#include <string_view>

namespace installer {

// Why the package must not install into `folder`: a sentence that names the folder, the first
// path found at fault and the reason. Empty when it may: the folder does not exist, or it and
// everything below it (a reparse point below it is looked at, never followed) belong to SYSTEM,
// Administrators, TrustedInstaller or the user this process runs as. What cannot be read is
// refused too: an owner that cannot be shown to be trusted is not trusted.
std::u16string InstallFolderRefusal(std::u16string_view folder);

}  // namespace installer
