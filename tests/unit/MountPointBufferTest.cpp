// The engine's mount-point record builder at the edge of its buffer: what fits is sent whole and
// accepted by the file system; what does not fit leaves the record already there untouched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/MountPointBuffer.h"
#include "platform/ReparseRecord.h"
#include "platform/UniqueHandle.h"
#include "platform/sim/Machine.h"

namespace {

struct FillCase {
  const char* name;
  std::size_t units;
  bool fits;
};

class MountPointBufferFill : public ::testing::TestWithParam<FillCase> {};

TEST_P(MountPointBufferFill, SendsWhatFitsAndRefusesTheRest) {
  sim::Machine machine;
  machine.MakeDirectories(u"C:\\link");
  const std::u16string earlier = u"\\??\\C:\\earlier";
  const std::u16string name = u"\\??\\C:\\" + std::u16string(GetParam().units - 7, u'n');

  MountPointBuffer buffer;
  ASSERT_TRUE(buffer.Fill(earlier));
  EXPECT_EQ(buffer.Fill(name), GetParam().fits);
  const std::u16string expected = GetParam().fits ? name : earlier;
  const std::vector<std::uint8_t> sent(buffer.Bytes(), buffer.Bytes() + buffer.SizeToSend());
  EXPECT_EQ(sent.size(), 20 + 2 * expected.size());
  EXPECT_EQ(reparse::SubstituteName(sent.data(), sent.size()), expected);
  // Whatever was there before is gone: the rest of the buffer is zero.
  for (std::size_t at = sent.size(); at < MountPointBuffer::kSize; ++at) {
    ASSERT_EQ(buffer.Bytes()[at], 0u) << at;
  }

  win::UniqueFile link(win::CreateFileW(
      u"C:\\link", win::GENERIC_WRITE, 0, nullptr, win::OPEN_EXISTING,
      win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  ASSERT_TRUE(link);
  win::DWORD returned = 0;
  EXPECT_TRUE(win::DeviceIoControl(link.Get(), win::FSCTL_SET_REPARSE_POINT, buffer.Data(),
                                   buffer.SizeToSend(), nullptr, 0, &returned, nullptr));
  std::vector<std::uint8_t> stored(win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  ASSERT_TRUE(win::DeviceIoControl(link.Get(), win::FSCTL_GET_REPARSE_POINT, nullptr, 0,
                                   stored.data(), static_cast<win::DWORD>(stored.size()), &returned,
                                   nullptr));
  stored.resize(returned);
  EXPECT_EQ(stored, sent);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, MountPointBufferFill,
    ::testing::Values(
        FillCase{"FillsTheWholeBuffer", (win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE - 20) / 2, true},
        FillCase{"OneUnitTooMany", (win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE - 20) / 2 + 1, false}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
