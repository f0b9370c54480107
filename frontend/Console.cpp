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

// A write that succeeded yet took nothing: the last-error code says nothing of it, and may still
// hold what an earlier call left there.
bool NothingWritten() {
  win::SetLastError(win::ERROR_WRITE_FAULT);
  return Failed();
}

// Every character to the console, piece by piece, each result checked.
bool WriteToConsole(win::HANDLE console, std::u16string_view text) {
  while (!text.empty()) {
    const auto piece = static_cast<win::DWORD>(std::min(text.size(), kConsolePiece));
    win::DWORD written = 0;
    if (!win::WriteConsoleW(console, text.data(), piece, &written, nullptr)) return Failed();
    if (written == 0) return NothingWritten();
    text.remove_prefix(std::min<std::size_t>(written, piece));
  }
  return true;
}

// Every byte to a file or a pipe; a pipe may take fewer than it was given.
bool WriteBytes(win::HANDLE stream, std::string_view bytes) {
  while (!bytes.empty()) {
    win::DWORD written = 0;
    if (!win::WriteFile(stream, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written,
                        nullptr)) {
      return Failed();
    }
    if (written == 0) return NothingWritten();
    bytes.remove_prefix(std::min<std::size_t>(written, bytes.size()));
  }
  return true;
}

void Write(win::DWORD which, std::u16string_view text) {
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

void Emit(bool error, std::u16string_view text) {
  if (text.empty()) return;
  if (sink != nullptr) return (*sink)(text, error);
  Write(error ? win::STD_ERROR_HANDLE : win::STD_OUTPUT_HANDLE, text);
}

// What a console or a terminal would act on instead of showing.
bool IsControl(char16_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void AppendLine(std::u16string& out, std::u16string_view line) {
  if (line.empty()) return;
  if (line.ends_with(u"\r\n")) line.remove_suffix(2);
  constexpr char16_t kHex[] = u"0123456789abcdef";
  for (const char16_t c : line) {
    if (!IsControl(c)) {
      out.push_back(c);
      continue;
    }
    out += u"\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
  }
  out += u"\r\n";
}

void WriteLines(bool error, const Lines& lines) {
  std::u16string text;
  for (const std::u16string& line : lines) AppendLine(text, line);
  Emit(error, text);
}

}  // namespace

void WriteOutput(std::u16string_view line) {
  std::u16string text;
  AppendLine(text, line);
  Emit(false, text);
}

void WriteError(std::u16string_view line) {
  std::u16string text;
  AppendLine(text, line);
  Emit(true, text);
}

void WriteOutput(const Lines& lines) {
  WriteLines(false, lines);
}

void WriteError(const Lines& lines) {
  WriteLines(true, lines);
}

void WriteJson(std::u16string_view json) {
  Emit(false, json);
}

ScopedTextSink::ScopedTextSink(TextSink& to) : previous_(std::exchange(sink, &to)) {}

ScopedTextSink::~ScopedTextSink() {
  sink = previous_;
}

win::DWORD TakeWriteFailure() {
  return std::exchange(writeFailure, 0);
}

}  // namespace frontend
