// The desired-state file: the links a machine should have, as a JSON array in the form
// `corvane list --json` prints.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/LinkRequest.h"
#include "platform/WinApi.h"

namespace frontend {

struct DesiredLink {
  LinkKind kind = LinkKind::Drive;
  std::u16string link;    // "X:" (letter upper-cased) for a drive; a full path otherwise
  std::u16string target;  // a full path (a folder for drives and junctions, a file for hard links)
  std::u16string label;   // drives only; empty when none
  std::size_t line = 0, column = 0;  // where the entry's object begins, 1-based
};

inline constexpr std::size_t kLargestDesiredStateFile = 1 << 20;  // bytes
inline constexpr int kDeepestDesiredState = 4;                    // nesting levels accepted

// Parses and checks a whole file's bytes (UTF-8, with or without a byte order mark). 0 with every
// "Create" entry in `out`, in file order; otherwise the code and, in `problem`, one sentence that
// names the line and column (and, for an entry, which entry): ERROR_INVALID_DATA (13) for malformed
// JSON or a bad entry, ERROR_FILENAME_EXCED_RANGE (206) for a link, target or label of 1024
// characters or more, ERROR_FILE_TOO_LARGE (223) for more than kLargestDesiredStateFile bytes.
win::DWORD ParseDesiredState(std::string_view bytes, std::vector<DesiredLink>& out,
                             std::u16string& problem);

// Reads the file at `path` (no more than kLargestDesiredStateFile + 1 bytes are read) and parses
// it; a file that cannot be opened or read gives the system's code, `problem` saying so. What is
// read is checked through the same handle: `untrusted` says why users other than SYSTEM, the
// administrators and the caller may change the file (WhyOthersMayChange), empty when none may.
win::DWORD ReadDesiredState(const std::u16string& path, std::vector<DesiredLink>& out,
                            std::u16string& problem, std::u16string& untrusted);

}  // namespace frontend
