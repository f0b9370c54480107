// The install folder as the package finds it. An administrator may install into a folder that
// already exists (INSTALLDIR=C:\Corvane), perhaps made by a standard user beforehand. The
// package's permission table resets the folder's list, but whoever owns the folder, or anything
// already in it, keeps the right to change its list and so to replace what the service runs or
// reads as LocalSystem; and whoever may rename a folder above it may put another in its place.
// Such a folder is refused before any file is installed.
#pragma once

#include <string>
#include <string_view>

namespace installer {

// Why the package must not install into `folder`: a sentence that names the folder, the first
// path found at fault and the reason. Empty when it may: every folder on its way, found or to be
// made by the install (with what it would inherit), lets nobody but SYSTEM, Administrators,
// TrustedInstaller or the user this process runs as delete, rename or re-permission it, none of
// them is a junction or link, and an existing `folder` lets nobody else add to it and it and
// everything below it (a reparse point below it is looked at, never followed) belong to those
// owners. What cannot be read is refused too: what cannot be shown to be trusted is not trusted.
std::u16string InstallFolderRefusal(std::u16string_view folder);

}  // namespace installer
