#include "installer/LinksPath.h"

#include "engine/AsciiText.h"

namespace installer {
namespace {

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

// X:\ or X:/ at the start.
bool StartsAtADriveRoot(std::u16string_view path) {
  if (path.size() < 3) return false;
  return IsAsciiLetter(path[0]) && path[1] == u':' && IsSeparator(path[2]);
}

}  // namespace

std::u16string LinksPathRefusal(std::u16string_view links) {
  constexpr std::u16string_view verbatim = u"\\\\?\\";
  const std::u16string_view path =
      links.substr(0, verbatim.size()) == verbatim ? links.substr(verbatim.size()) : links;
  if (StartsAtADriveRoot(path)) return {};
  return u"Corvane was not installed: LINKS must be the full path of a links file on a local "
         u"drive that the system account can read, such as C:\\ProgramData\\Fleet\\links.json, "
         u"and " +
         std::u16string(links) +
         u" is not one (a relative path or one without its folder would be read from another "
         u"folder, a share with the computer's account).";
}

}  // namespace installer
