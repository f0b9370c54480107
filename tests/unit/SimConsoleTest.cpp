// What only the simulated machine can show: the console every process shares and where standard
// output goes.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/WinApi.h"
#include "platform/sim/Machine.h"

namespace {

bool Write(win::DWORD which, std::string_view bytes) {
  win::DWORD written = 0;
  return win::WriteFile(win::GetStdHandle(which), bytes.data(),
                        static_cast<win::DWORD>(bytes.size()), &written, nullptr) != win::FALSE &&
         written == bytes.size();
}

struct StreamCase {
  const char* label;
  bool outputIsConsole;
  win::DWORD outputType;
  std::string console;
};

class SimConsoleTest : public ::testing::TestWithParam<StreamCase> {};

// The test's own process and a program write in turn; every byte is kept per stream, and the
// console shows those that reached it in the order they came.
TEST_P(SimConsoleTest, RecordsEachStreamAndWhatTheConsoleShows) {
  sim::Machine machine;
  const StreamCase& c = GetParam();
  machine.SetStandardOutputIsConsole(c.outputIsConsole);
  machine.InstallProgram(u"C:\\writer.exe", {[] {
                                               return Write(win::STD_ERROR_HANDLE, "err1 ") &&
                                                              Write(win::STD_OUTPUT_HANDLE, "out2")
                                                          ? win::DWORD{0}
                                                          : win::GetLastError();
                                             },
                                             {}});
  ASSERT_TRUE(Write(win::STD_OUTPUT_HANDLE, "out1 "));
  ASSERT_EQ(machine.RunProgram(u"C:\\writer.exe", u"writer"), 0u);
  EXPECT_EQ(machine.StandardOutput(), "out1 out2");
  EXPECT_EQ(machine.StandardError(), "err1 ");
  EXPECT_EQ(machine.ConsoleText(), c.console);
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::GetFileType(win::GetStdHandle(win::STD_OUTPUT_HANDLE)), c.outputType);
  EXPECT_EQ(win::GetFileType(win::GetStdHandle(win::STD_ERROR_HANDLE)), win::FILE_TYPE_CHAR);
  EXPECT_EQ(win::GetLastError(), 0xdeadbeefu);
}

INSTANTIATE_TEST_SUITE_P(
    Output, SimConsoleTest,
    ::testing::Values(StreamCase{"ToConsole", true, win::FILE_TYPE_CHAR, "out1 err1 out2"},
                      StreamCase{"ToPipe", false, win::FILE_TYPE_PIPE, "err1 "}),
    [](const ::testing::TestParamInfo<StreamCase>& c) { return std::string(c.param.label); });

}  // namespace
