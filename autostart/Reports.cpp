#include "autostart/Reports.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>

namespace autostart {
namespace {

void WriteAll(win::HANDLE stream, std::string_view bytes) {
  // A process without the stream (or a closed one) loses the text, as the C library's would.
  if (bytes.empty()) return;
  win::DWORD written = 0;
  win::WriteFile(stream, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr);
}

// The message the C library gives for an error number. The two C libraries word 0 differently;
// the tool says "No error" on every build.
std::string ErrorNumberText(int error) {
  if (error == 0) return "No error";
  return std::strerror(error);
}

}  // namespace

std::u16string FormatReport(std::u16string_view format,
                            std::span<const ReportArgument> arguments) {
  std::u16string text;
  auto next = arguments.begin();
  const auto append = [&text](const auto& value) {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, int>) {
      for (char digit : std::to_string(value)) text.push_back(static_cast<char16_t>(digit));
    } else {
      text += value;
    }
  };
  for (std::size_t i = 0; i < format.size(); ++i) {
    const bool conversion = format[i] == u'%' && i + 1 < format.size() &&
                            (format[i + 1] == u's' || format[i + 1] == u'd');
    if (conversion && next != arguments.end()) {
      std::visit(append, *next++);
      ++i;
    } else {
      text.push_back(format[i]);
    }
  }
  return text;
}

Reports::Reports()
    : output_(win::GetStdHandle(win::STD_OUTPUT_HANDLE)),
      outputIsConsole_(win::GetFileType(output_) == win::FILE_TYPE_CHAR) {}

Reports::~Reports() {
  Flush();
}

void Reports::Report(std::u16string_view format, std::span<const ReportArgument> arguments) {
  try {
    for (char16_t c : FormatReport(format, arguments)) {
      pending_.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    }
  } catch (const std::bad_alloc&) {
    // Without memory the report is lost; what was already formatted still goes out.
  }
  if (outputIsConsole_) Flush();
}

void Reports::ErrorReport(std::u16string_view text) {
  const int error = errno;
  try {
    std::string line;
    for (char16_t c : text) {
      if (c > 0xFF) return;
      line.push_back(static_cast<char>(c));
    }
    line += ": ";
    line += ErrorNumberText(error);
    line += '\n';
    WriteAll(win::GetStdHandle(win::STD_ERROR_HANDLE), line);
  } catch (const std::bad_alloc&) {
    // Nothing is written when the conversion cannot be had.
  }
}

void Reports::Flush() {
  WriteAll(output_, pending_);
  pending_.clear();
}

}  // namespace autostart
