// corvane.exe's process entry: the arguments after the program name, as the C runtime splits
// the command line.
#include <string>
#include <vector>

#include "frontend/FrontEnd.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  }
  return static_cast<int>(frontend::RunFrontEnd(arguments));
}
