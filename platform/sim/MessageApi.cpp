// System message texts: FormatMessageW for the Win32 error codes the programs show, worded as an
// English Windows words them.
#include <algorithm>
#include <iterator>
#include <string_view>

#include "platform/sim/MachineState.h"

namespace sim {
namespace {

struct SystemMessage {
  win::DWORD code;
  std::u16string_view text;  // without the line break every system message ends with
};

// Sorted by code.
constexpr SystemMessage kSystemMessages[] = {
    {0, u"The operation completed successfully."},
    {2, u"The system cannot find the file specified."},
    {3, u"The system cannot find the path specified."},
    {5, u"Access is denied."},
    {6, u"The handle is invalid."},
    {8, u"Not enough memory resources are available to process this command."},
    {13, u"The data is invalid."},
    {32, u"The process cannot access the file because it is being used by another process."},
    {50, u"The request is not supported."},
    {80, u"The file exists."},
    {87, u"The parameter is incorrect."},
    {122, u"The data area passed to a system call is too small."},
    {123, u"The filename, directory name, or volume label syntax is incorrect."},
    {145, u"The directory is not empty."},
    {161, u"The specified path is invalid."},
    {183, u"Cannot create a file when that file already exists."},
    {206, u"The filename or extension is too long."},
    {223, u"The file size exceeds the limit allowed and cannot be saved."},
    {267, u"The directory name is invalid."},
    {448, u"The path cannot be traversed because it contains an untrusted mount point."},
    {1051,
     u"A stop control has been sent to a service that other running services are dependent on."},
    {1053, u"The service did not respond to the start or control request in a timely fashion."},
    {1055, u"The service database is locked."},
    {1056, u"An instance of the service is already running."},
    {1058,
     u"The service cannot be started, either because it is disabled or because it has no enabled "
     u"devices associated with it."},
    {1060, u"The specified service does not exist as an installed service."},
    {1061, u"The service cannot accept control messages at this time."},
    {1062, u"The service has not been started."},
    {1067, u"The process terminated unexpectedly."},
    {1072, u"The specified service has been marked for deletion."},
    {1073, u"The specified service already exists."},
    {1077, u"No attempts to start the service have been made since the last boot."},
    {4390, u"The file or directory is not a reparse point."},
};

constexpr win::DWORD kEnglishUnitedStates = 0x409;
constexpr win::DWORD kResourceLangNotFound = 15100;

}  // namespace
}  // namespace sim

namespace win {

DWORD FormatMessageW(DWORD flags, LPCVOID /*source*/, DWORD messageId, DWORD languageId,
                     LPWSTR buffer, DWORD size, void* /*arguments*/) {
  if (sim::Intercept("FormatMessageW")) return 0;
  // Only the system's own texts into a caller's buffer, on one line or as worded; none of the
  // texts has an insert. Other sources, allocation and wrapping at a width are not simulated.
  const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  const DWORD others = flags & ~(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_MAX_WIDTH_MASK);
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || others != 0 ||
      (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Language 0 lets the system choose; an English Windows has no language but US English.
  if (languageId != 0 && languageId != sim::kEnglishUnitedStates) {
    SetLastError(sim::kResourceLangNotFound);
    return 0;
  }
  const auto found = std::lower_bound(
      std::begin(sim::kSystemMessages), std::end(sim::kSystemMessages), messageId,
      [](const sim::SystemMessage& message, DWORD code) { return message.code < code; });
  if (found == std::end(sim::kSystemMessages) || found->code != messageId) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  // On one line, the text's own line break becomes a blank.
  const std::u16string text = std::u16string(found->text) + (width != 0 ? u" " : u"\r\n");
  if (buffer == nullptr && size > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!sim::CopyOut(text, buffer, size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return static_cast<DWORD>(text.size());
}

}  // namespace win
