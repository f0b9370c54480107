// The links file an administrator gives the package (msiexec /i ... LINKS=FILE). The package
// applies it as LocalSystem, from a custom action whose current folder is not the one msiexec
// was started in, so only a full path on a local drive names the file the administrator meant:
// a relative path or C:file would be taken from another folder, a share is reached with the
// machine's account or not at all.
#pragma once

#include <string>
#include <string_view>

namespace installer {

// Why the package refuses `links` as LINKS: a sentence that names it. Empty when it is a full
// path on a drive letter (C:\..., also in its verbatim form \\?\C:\...).
std::u16string LinksPathRefusal(std::u16string_view links);

}  // namespace installer
