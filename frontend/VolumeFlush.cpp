#include "frontend/VolumeFlush.h"

#include <string>
#include <vector>

#include "engine/AsciiText.h"
#include "engine/DriveDefinition.h"
#include "platform/UniqueHandle.h"

namespace frontend {
namespace {

// The letter of the volume `letter` stands for: a letter defined onto a folder (\??\C:\data)
// stands for that folder's letter, in turn. 0 when it leads off this machine.
char16_t VolumeLetter(char16_t letter) {
  for (int hops = 0; hops < 26; ++hops) {
    std::vector<std::u16string> definitions;
    if (QueryDefinitions(std::u16string{letter, u':'}, definitions) != 0 || definitions.empty()) {
      return letter;
    }
    const std::u16string_view definition = definitions.front();
    if (!definition.starts_with(u"\\??\\")) return letter;  // a device: the volume itself
    const std::u16string_view folder = definition.substr(4);
    if (folder.size() < 2 || !IsAsciiLetter(folder[0]) || folder[1] != u':') return 0;
    letter = folder[0];
  }
  return letter;
}

}  // namespace

win::DWORD FlushVolumeOf(std::u16string_view path) {
  if (path.size() < 2 || !IsAsciiLetter(path[0]) || path[1] != u':') return 0;
  const char16_t letter = VolumeLetter(path[0]);
  if (letter == 0) return 0;
  const std::u16string volume = std::u16string(u"\\\\.\\") + letter + u":";
  win::UniqueFile handle(win::CreateFileW(volume.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                          win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                          win::OPEN_EXISTING, 0, nullptr));
  if (!handle) return win::GetLastError();
  return win::FlushFileBuffers(handle.Get()) ? 0 : win::GetLastError();
}

}  // namespace frontend
