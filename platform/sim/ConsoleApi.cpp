// Standard handles and the console they lead to, and what kind of file a handle is.
#include "platform/sim/FileSystem.h"
#include "platform/sim/MachineState.h"

namespace sim {
namespace {

// The values consoles handed out before Windows 8: small, ending in binary 11, never a kernel
// handle of the table.
const win::HANDLE kInput = reinterpret_cast<win::HANDLE>(std::uintptr_t{0x3});
const win::HANDLE kOutput = reinterpret_cast<win::HANDLE>(std::uintptr_t{0x7});
const win::HANDLE kError = reinterpret_cast<win::HANDLE>(std::uintptr_t{0xB});

}  // namespace

StandardStream StandardStreamOf(win::HANDLE handle) {
  if (handle == kInput) return StandardStream::Input;
  if (handle == kOutput) return StandardStream::Output;
  if (handle == kError) return StandardStream::Error;
  return StandardStream::None;
}

void WriteStandardStream(MachineState& state, StandardStream stream, std::string_view bytes) {
  const bool output = stream == StandardStream::Output;
  (output ? state.standardOutput : state.standardError).append(bytes);
  if (!output || state.standardOutputIsConsole) state.consoleText.append(bytes);
}

}  // namespace sim

namespace win {

HANDLE GetStdHandle(DWORD which) {
  if (sim::Intercept("GetStdHandle")) return INVALID_HANDLE_VALUE;
  switch (which) {
    case STD_INPUT_HANDLE:
      return sim::kInput;
    case STD_OUTPUT_HANDLE:
      return sim::kOutput;
    case STD_ERROR_HANDLE:
      return sim::kError;
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
  }
}

DWORD GetFileType(HANDLE file) {
  if (sim::Intercept("GetFileType")) return FILE_TYPE_UNKNOWN;
  sim::Guard guard(sim::Lock());
  // A success leaves the last-error code alone: every handle the simulation knows has a type,
  // so there is no FILE_TYPE_UNKNOWN that succeeds.
  switch (sim::StandardStreamOf(file)) {
    case sim::StandardStream::Output:
      return sim::State().standardOutputIsConsole ? FILE_TYPE_CHAR : FILE_TYPE_PIPE;
    case sim::StandardStream::Input:
    case sim::StandardStream::Error:
      return FILE_TYPE_CHAR;
    case sim::StandardStream::None:
      break;
  }
  if (sim::FindHandleAs<sim::OpenFile>(file)) return FILE_TYPE_DISK;
  // Any other handle, or none: the file system has no device behind it.
  SetLastError(ERROR_INVALID_HANDLE);
  return FILE_TYPE_UNKNOWN;
}

}  // namespace win
