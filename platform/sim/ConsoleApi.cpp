// Standard handles and the console they lead to, and what kind of file a handle is.
#include <algorithm>
#include <array>

#include "platform/sim/FileSystem.h"
#include "platform/sim/MachineState.h"

namespace sim {
namespace {

// The values consoles handed out before Windows 8: small, ending in binary 11, never a kernel
// handle of the table.
const win::HANDLE kInput = reinterpret_cast<win::HANDLE>(std::uintptr_t{0x3});
const win::HANDLE kOutput = reinterpret_cast<win::HANDLE>(std::uintptr_t{0x7});
const win::HANDLE kError = reinterpret_cast<win::HANDLE>(std::uintptr_t{0xB});

// The upper half of code page 437, the console's output code page on an English Windows; the
// lower half is ASCII.
constexpr std::array<char16_t, 128> kCodePage437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

// Whether a handle is one of the console's own: standard error always, standard input, and
// standard output unless it is redirected.
bool IsConsole(const MachineState& state, win::HANDLE handle) {
  switch (StandardStreamOf(handle)) {
    case StandardStream::Output:
      return state.standardOutputIsConsole;
    case StandardStream::Input:
    case StandardStream::Error:
      return true;
    case StandardStream::None:
      break;
  }
  return false;
}

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
  if (output && !state.standardOutputIsConsole) return;
  // The console shows bytes as characters of its code page, whatever encoding they were meant in.
  std::u16string shown;
  for (char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    shown.push_back(b < 0x80 ? static_cast<char16_t>(b) : kCodePage437High[b - 0x80]);
  }
  EncodeUtf8(shown, state.consoleText);
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

BOOL GetConsoleMode(HANDLE console, DWORD* mode) {
  if (sim::Intercept("GetConsoleMode")) return FALSE;
  sim::Guard guard(sim::Lock());
  if (!sim::IsConsole(sim::State(), console)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (mode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The modes a new console starts with: input processed, by line and echoed; output processed
  // and wrapped at the end of a line.
  *mode = sim::StandardStreamOf(console) == sim::StandardStream::Input ? 0x7u : 0x3u;
  return TRUE;
}

namespace {
constexpr std::size_t kConsoleHeapBytes = 64 * 1024 - 1;
}  // namespace

BOOL WriteConsoleW(HANDLE console, const void* text, DWORD length, DWORD* written,
                   void* /*reserved*/) {
  if (sim::Intercept("WriteConsoleW")) return FALSE;
  sim::Guard guard(sim::Lock());
  auto& state = sim::State();
  // Only the console's screen takes characters; a pipe or a file takes bytes.
  if (sim::StandardStreamOf(console) == sim::StandardStream::Input ||
      !sim::IsConsole(state, console)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (text == nullptr && length > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The text passes through a heap of 64 KB that the process shares with the console (Windows
  // 7): a write that does not fit fails, and none of it is shown.
  if (length > kConsoleHeapBytes / sizeof(char16_t)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (state.consoleWritesLimited > 0) {
    --state.consoleWritesLimited;
    length = std::min(length, state.consoleWriteLimit);
  }
  if (length > 0) {
    sim::EncodeUtf8(std::u16string_view(static_cast<const char16_t*>(text), length),
                    state.consoleText);
  }
  if (written != nullptr) *written = length;
  return TRUE;
}

}  // namespace win
