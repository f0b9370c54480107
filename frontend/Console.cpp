#include "frontend/Console.h"

#include <string>

#include "platform/WinApi.h"

namespace frontend {
namespace {

void Write(win::DWORD which, std::u16string_view text) {
  if (text.empty()) return;
  const win::HANDLE stream = win::GetStdHandle(which);
  win::DWORD mode = 0;
  win::DWORD written = 0;
  const int length = static_cast<int>(text.size());
  if (win::GetConsoleMode(stream, &mode)) {
    win::WriteConsoleW(stream, text.data(), static_cast<win::DWORD>(length), &written, nullptr);
    return;
  }
  const int size =
      win::WideCharToMultiByte(win::CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  win::WideCharToMultiByte(win::CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr,
                           nullptr);
  win::WriteFile(stream, bytes.data(), static_cast<win::DWORD>(size), &written, nullptr);
}

}  // namespace

void WriteOutput(std::u16string_view text) {
  Write(win::STD_OUTPUT_HANDLE, text);
}

void WriteError(std::u16string_view text) {
  Write(win::STD_ERROR_HANDLE, text);
}

}  // namespace frontend
