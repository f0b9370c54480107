#include "service/EventLog.h"

#include <algorithm>

#include "platform/UniqueHandle.h"

EventLog::EventLog(std::u16string_view source) noexcept {
  std::copy_n(source.begin(), std::min(source.size(), source_.size() - 1), source_.begin());
}

void EventLog::WriteEvent(win::WORD type, const std::u16string& text) const {
  win::UniqueEventSource source(win::RegisterEventSourceW(nullptr, source_.data()));
  if (!source) return;
  win::LPCWSTR strings[] = {text.c_str()};
  win::ReportEventW(source.Get(), type, 0, 0, nullptr, 1, 0, strings, nullptr);
}
