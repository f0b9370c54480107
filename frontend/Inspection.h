// What a path or a drive letter is now, as `corvane show` tells it: read from the system, with
// no service and no elevation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/Console.h"
#include "platform/WinApi.h"

namespace frontend {

struct Inspection {
  std::u16string path;  // the letter, or the full path
  // "Drive", "Junction", "SymbolicLink", "Directory" or "File".
  std::u16string type;
  std::u16string target;  // where a drive, junction or symbolic link leads; empty otherwise
  // A drive: what its global definition in force is ("folder mapping", "network drive", "local
  // volume"; this session's own when there is no global one), every global definition, the one in
  // force first, and this session's own, which hide them here.
  std::u16string driveKind;
  std::vector<std::u16string> definitions;
  std::vector<std::u16string> sessionDefinitions;
  // A junction or symbolic link: its print name, and whether its record could be read whole.
  std::u16string printName;
  bool damaged = false;
  std::uint32_t reparseTag = 0;  // a folder or file with a reparse point of another kind
  // A file: its names and its identity, the same for every name.
  win::DWORD linkCount = 0;
  win::DWORD volumeSerialNumber = 0;
  std::uint64_t fileIndex = 0;
};

// Inspects a drive letter ("X:") or a full path; 0, or the system's code when there is no such
// letter or path.
win::DWORD Inspect(const std::u16string& letterOrPath, bool letter, Inspection& found);

// The inspection as lines for a person, and as one JSON object.
Lines InspectionText(const Inspection& found);
std::u16string InspectionJson(const Inspection& found);

}  // namespace frontend
