// The tool's two output routines: progress on standard output, failures on standard error.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "platform/WinApi.h"

namespace autostart {

// A value for a report's format: a UTF-16 string for %s, a signed integer for %d.
using ReportArgument = std::variant<std::u16string_view, int>;

// Formats the way the wide formatted-printing functions do for the two conversions the tool
// uses, %s and %d, each taking the next argument; any other character, and a conversion left
// without an argument, is written as it stands.
std::u16string FormatReport(std::u16string_view format,
                            std::span<const ReportArgument> arguments);

class Reports {
 public:
  Reports();
  ~Reports();  // what standard output still holds goes out
  Reports(const Reports&) = delete;
  Reports& operator=(const Reports&) = delete;

  // Standard output: the formatted text as bytes of the C locale, a character beyond U+00FF as
  // '?'. On a console each report is written at once, so that it shows in order with the error
  // reports; otherwise it is held until Flush or the end of the run (the tool writes a line or
  // two).
  void Report(std::u16string_view format, std::span<const ReportArgument> arguments = {});

  // Standard error, unbuffered: the text, ": ", the C library's message for errno, "\n". A text
  // that the C locale cannot hold (a character beyond U+00FF) writes nothing at all.
  void ErrorReport(std::u16string_view text);

  // Sends what standard output holds.
  void Flush();

 private:
  win::HANDLE output_;
  bool outputIsConsole_;
  std::string pending_;
};

}  // namespace autostart
