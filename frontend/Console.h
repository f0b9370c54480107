// Text for the user: UTF-16 to a console, so that any path prints as it is; UTF-8 to a file or a
// pipe.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"

namespace frontend {

// Text goes out a line at a time, and the line breaks are the writer's alone: a line ends with
// one whether or not it was given one (a CRLF it ends with is taken as that break), and every
// other control character in it is shown as \uXXXX: C0 (tab and line breaks included), DEL, C1,
// and the bidirectional controls, which reorder what follows them. Names come from the file
// system, the list and links files that others may write; an escape sequence, a line break or a
// right-to-left override in one would otherwise restyle the console or start a line that reads as
// corvane's own. Escaping here, rather than where each name is put into a sentence, leaves no
// sentence that can forget it. An empty line writes nothing.
using Lines = std::vector<std::u16string>;

void WriteOutput(std::u16string_view line);
void WriteError(std::u16string_view line);
void WriteOutput(const Lines& lines);
void WriteError(const Lines& lines);

// A JSON document as JsonText makes it, byte for byte: JSON escapes the C0 controls inside its
// strings itself, and the line breaks of its layout are its own.
void WriteJson(std::u16string_view json);

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
