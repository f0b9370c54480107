// Text for the user: UTF-16 to a console, so that any path prints as it is; UTF-8 to a file or a
// pipe.
#pragma once

#include <functional>
#include <string_view>

#include "platform/WinApi.h"

namespace frontend {

void WriteOutput(std::u16string_view text);
void WriteError(std::u16string_view text);

// Takes the text of this thread instead of the standard streams while it lives (a program that
// runs the front end inside another, which has no console: the installer). `error` tells the
// standard error's text apart.
using TextSink = std::function<void(std::u16string_view text, bool error)>;
class ScopedTextSink {
 public:
  explicit ScopedTextSink(TextSink& to);
  ~ScopedTextSink();
  ScopedTextSink(const ScopedTextSink&) = delete;
  ScopedTextSink& operator=(const ScopedTextSink&) = delete;

 private:
  TextSink* previous_;
};

// The code of the first write of this program that failed (0 when none has), cleared by asking:
// a command whose text did not get out has not done what it was asked.
win::DWORD TakeWriteFailure();

}  // namespace frontend
