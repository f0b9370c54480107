// The service's events in the Application log, under its event source.
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

#include "platform/WinApi.h"
#include "service/EventText.h"

class EventLog {
 public:
  // The service name's room, its NUL included: a longer source is cut to fit.
  static constexpr std::size_t kSourceSize = 256;

  // Events are written under `source`, the event source named after the service.
  explicit EventLog(std::u16string_view source) noexcept;

  // Writes one information event; the text is formatted printf-style (%s, %d, %u, %%).
  // A message that cannot be formatted for want of memory is dropped, like one whose event
  // source cannot be opened: logging never ends the service.
  template <typename... Args>
  void LogEvent(std::u16string_view format, const Args&... args) const noexcept {
    LogEventOfType(win::EVENTLOG_INFORMATION_TYPE, format, args...);
  }
  // The same, as a warning or an error (EVENTLOG_WARNING_TYPE, EVENTLOG_ERROR_TYPE).
  template <typename... Args>
  void LogEventOfType(win::WORD type, std::u16string_view format,
                      const Args&... args) const noexcept {
    try {
      const std::array<EventArgument, sizeof...(Args)> arguments{EventArgument(args)...};
      WriteEvent(type, FormatEventText(format, arguments));
    } catch (const std::exception&) {
    }
  }

 private:
  void WriteEvent(win::WORD type, const std::u16string& text) const;

  // A copy of its own, NUL-terminated: no allocation, so a host constructed before the entry
  // cannot fail here.
  std::array<char16_t, kSourceSize> source_{};
};
