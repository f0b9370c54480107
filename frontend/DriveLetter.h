// What a drive letter is now: the one reading of it that the drive commands decide from and that
// `corvane show` tells. Windows keeps one global set of drive letters, the one CorvaneService
// changes, and a set for each logon session, searched first: a session's own letter hides the
// global one from that session alone.
#pragma once

#include <string>
#include <vector>

#include "platform/WinApi.h"

namespace frontend {

struct DriveLetterNow {
  std::u16string letter;
  std::vector<std::u16string> global;   // the global set's definitions, the one in force first
  std::vector<std::u16string> session;  // this session's own, which hide the global ones here

  bool Defined() const { return !global.empty(); }
  // Whether the global definition in force maps the letter onto `folder`.
  bool MappedOnto(const std::u16string& folder) const;
  // Whether the global definition in force is a folder mapping (not a volume, not a share).
  bool IsFolderMapping() const;
};

// Reads the letter ("X:") in both sets; 0, or the system's code when it cannot be read.
win::DWORD ReadDriveLetter(const std::u16string& letter, DriveLetterNow& out);

// What a definition names: "folder mapping", "network drive" or "local volume", and where it
// leads (a folder or share as a user writes it, a device as the system names it).
struct DefinitionMeaning {
  std::u16string kind;
  std::u16string target;
};
DefinitionMeaning MeaningOf(const std::u16string& definition);

// "X: is a local volume (\Device\HarddiskVolume3)": the global definition in force, for a
// sentence.
std::u16string DescribeGlobal(const DriveLetterNow& now);

// Said after a command that changed the global letter while this session keeps its own: the
// change holds for every other session. Empty when the session has none.
std::u16string HiddenHereText(const DriveLetterNow& now);

}  // namespace frontend
