// What only the simulated machine can show: the console every process shares, where standard
// output goes, and the local heap's bookkeeping and failures.
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

TEST(SimConsole, StandardHandlesAreFixedAndOutsideTheHandleTable) {
  sim::Machine machine;
  const win::HANDLE input = win::GetStdHandle(win::STD_INPUT_HANDLE);
  const win::HANDLE output = win::GetStdHandle(win::STD_OUTPUT_HANDLE);
  const win::HANDLE error = win::GetStdHandle(win::STD_ERROR_HANDLE);
  for (win::HANDLE h : {input, output, error}) {
    EXPECT_NE(h, nullptr);
    EXPECT_NE(h, win::INVALID_HANDLE_VALUE);
  }
  EXPECT_NE(input, output);
  EXPECT_NE(output, error);
  EXPECT_EQ(win::GetStdHandle(win::STD_OUTPUT_HANDLE), output);
  EXPECT_EQ(machine.OpenHandles(), 0u);
}

TEST(SimConsole, WriteWithoutACountIsRefusedAndNotRecorded) {
  sim::Machine machine;
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::WriteFile(win::GetStdHandle(win::STD_OUTPUT_HANDLE), "x", 1, nullptr, nullptr),
            win::FALSE);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(machine.StandardOutput(), "");
  EXPECT_EQ(machine.ConsoleText(), "");
}

TEST(SimLocalHeap, CountsBlocksUntilFreed) {
  sim::Machine machine;
  const win::HLOCAL first = win::LocalAlloc(win::LPTR, 16);
  const win::HLOCAL second = win::LocalAlloc(win::LMEM_FIXED, 0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(machine.LocalAllocations(), 2u);
  EXPECT_EQ(win::LocalFree(first), nullptr);
  EXPECT_EQ(machine.LocalAllocations(), 1u);

  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::LocalFree(first), first) << "freed twice";
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  int notFromTheHeap = 0;
  EXPECT_EQ(win::LocalFree(&notFromTheHeap), &notFromTheHeap);
  EXPECT_EQ(machine.LocalAllocations(), 1u);
  EXPECT_EQ(win::LocalFree(second), nullptr);
  EXPECT_EQ(machine.LocalAllocations(), 0u);
}

struct AllocCase {
  const char* label;
  bool injected;  // FailNext("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY)
  win::UINT flags;
  win::SIZE_T bytes;
  win::DWORD error;
};

class SimLocalAllocFailureTest : public ::testing::TestWithParam<AllocCase> {};

TEST_P(SimLocalAllocFailureTest, IsNullWithItsCodeAndNoBlock) {
  sim::Machine machine;
  const AllocCase& c = GetParam();
  if (c.injected) machine.FailNext("LocalAlloc", win::ERROR_NOT_ENOUGH_MEMORY);
  win::SetLastError(0xdeadbeef);
  EXPECT_EQ(win::LocalAlloc(c.flags, c.bytes), nullptr);
  EXPECT_EQ(win::GetLastError(), c.error);
  EXPECT_EQ(machine.LocalAllocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SimLocalAllocFailureTest,
    ::testing::Values(AllocCase{"Injected", true, win::LPTR, 268, win::ERROR_NOT_ENOUGH_MEMORY},
                      AllocCase{"Moveable", false, 0x2, 268, win::ERROR_INVALID_PARAMETER},
                      AllocCase{"MoreThanTheHeapHolds", false, win::LPTR, win::SIZE_T{1} << 40,
                                win::ERROR_NOT_ENOUGH_MEMORY}),
    [](const ::testing::TestParamInfo<AllocCase>& c) { return std::string(c.param.label); });

}  // namespace
