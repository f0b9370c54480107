// Text for the user: UTF-16 to a console, so that any path prints as it is; UTF-8 to a file or a
// pipe.
#pragma once

#include <string_view>

namespace frontend {

void WriteOutput(std::u16string_view text);
void WriteError(std::u16string_view text);

}  // namespace frontend
