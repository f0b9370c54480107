#include "frontend/VolumeFlush.h"

#include <string>
#include <vector>

#include "engine/AsciiText.h"
#include "engine/DriveDefinition.h"
#include "platform/UniqueHandle.h"

namespace frontend {
namespace {

// The letter of the volume that `letter` is on: one defined onto a folder (\??\C:\data) is on
// that folder's letter's, in turn; one defined onto a device is a volume's own.
char16_t VolumeLetter(char16_t letter) {
  for (std::u16string seen; seen.find(letter) == std::u16string::npos; seen += letter) {
    std::vector<std::u16string> definitions;
    QueryDefinitions(std::u16string{letter, u':'}, definitions);
    if (definitions.empty()) break;
    const std::u16string_view definition = definitions.front();
    if (!definition.starts_with(u"\\??\\") || !IsDriveLetterName(definition.substr(4, 2))) break;
    letter = definition[4];
  }
  return letter;
}

}  // namespace

win::DWORD FlushVolumeOf(std::u16string_view path) {
  if (!IsDriveLetterName(path.substr(0, 2))) return 0;
  const std::u16string volume = std::u16string(u"\\\\.\\") + VolumeLetter(path[0]) + u":";
  win::UniqueFile handle(win::CreateFileW(volume.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                          win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                          win::OPEN_EXISTING, 0, nullptr));
  if (!handle) return win::GetLastError();
  if (win::FlushFileBuffers(handle.Get())) return 0;
  // A file system that offers no flush (Wine's) leaves nothing more to ask of it.
  const win::DWORD error = win::GetLastError();
  return error == win::ERROR_INVALID_FUNCTION ? 0 : error;
}

}  // namespace frontend
