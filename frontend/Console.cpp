#include "frontend/Console.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/WinApi.h"

namespace frontend {
namespace {

// WriteConsoleW takes its text through a heap of 64 KB shared with the console (Windows 7), so
// long text goes in pieces well below that.
constexpr std::size_t kConsolePiece = 8192;  // characters

// The program's first failed write. The front end runs on one thread, which is the program.
thread_local win::DWORD writeFailure = 0;

// Where the text goes instead of the standard streams, when set (the installer's log).
thread_local TextSink* sink = nullptr;

bool Failed() {
  if (writeFailure == 0) {
    const win::DWORD error = win::GetLastError();
    writeFailure = error != 0 ? error : win::ERROR_WRITE_FAULT;
  }
  return false;
}

// Every character to the console, piece by piece, each result checked.
bool WriteToConsole(win::HANDLE console, std::u16string_view text) {
  while (!text.empty()) {
    const auto piece = static_cast<win::DWORD>(std::min(text.size(), kConsolePiece));
    win::DWORD written = 0;
    if (!win::WriteConsoleW(console, text.data(), piece, &written, nullptr) || written == 0) {
      return Failed();
    }
    text.remove_prefix(std::min<std::size_t>(written, piece));
  }
  return true;
}

// Every byte to a file or a pipe; a pipe may take fewer than it was given.
bool WriteBytes(win::HANDLE stream, std::string_view bytes) {
  while (!bytes.empty()) {
    win::DWORD written = 0;
    if (!win::WriteFile(stream, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written,
                        nullptr) ||
        written == 0) {
      return Failed();
    }
    bytes.remove_prefix(std::min<std::size_t>(written, bytes.size()));
  }
  return true;
}

void Write(win::DWORD which, std::u16string_view text) {
  if (text.empty()) return;
  const win::HANDLE stream = win::GetStdHandle(which);
  // A program started without the stream was asked for no text there.
  if (stream == nullptr) return;
  win::DWORD mode = 0;
  if (win::GetConsoleMode(stream, &mode)) {
    WriteToConsole(stream, text);
    return;
  }
  const int length = static_cast<int>(text.size());
  const int size =
      win::WideCharToMultiByte(win::CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) {
    Failed();
    return;
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  win::WideCharToMultiByte(win::CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr,
                           nullptr);
  WriteBytes(stream, bytes);
}

}  // namespace

void WriteOutput(std::u16string_view text) {
  if (sink != nullptr) return (*sink)(text, false);
  Write(win::STD_OUTPUT_HANDLE, text);
}

void WriteError(std::u16string_view text) {
  if (sink != nullptr) return (*sink)(text, true);
  Write(win::STD_ERROR_HANDLE, text);
}

ScopedTextSink::ScopedTextSink(TextSink& to) : previous_(std::exchange(sink, &to)) {}

ScopedTextSink::~ScopedTextSink() {
  sink = previous_;
}

win::DWORD TakeWriteFailure() {
  return std::exchange(writeFailure, 0);
}

}  // namespace frontend
