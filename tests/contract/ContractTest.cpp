#include "tests/contract/ContractTest.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/UniqueHandle.h"

namespace contract {

std::string Narrow(std::u16string_view text) {
  std::string result;
  for (char16_t c : text) result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return result;
}

namespace {

void RemoveTree(const std::u16string& path) {
  win::WIN32_FIND_DATAW data{};
  win::UniqueFind find(win::FindFirstFileW((path + u"\\*").c_str(), &data));
  if (find) {
    do {
      std::u16string name(data.cFileName);
      if (name == u"." || name == u"..") continue;
      const std::u16string child = path + u"\\" + name;
      if (data.dwFileAttributes & win::FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        win::DeleteFileW(child.c_str());
      }
    } while (win::FindNextFileW(find.Get(), &data));
  }
  win::RemoveDirectoryW(path.c_str());
}

}  // namespace

KnownWineGap::KnownWineGap(bool marked, std::string reason, const char* file, int line)
    : reason_(std::move(reason)), file_(file), line_(line) {
  const win::DWORD saved = win::GetLastError();
  if (marked && CurrentBackend() == Backend::Wine) {
    capture_ = std::make_unique<::testing::ScopedFakeTestPartResultReporter>(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results_);
  }
  win::SetLastError(saved);
}

KnownWineGap::~KnownWineGap() {
  if (!capture_) return;
  const win::DWORD saved = win::GetLastError();
  capture_.reset();  // what follows goes to the case again
  std::string answered;
  for (int i = 0; i < results_.size(); ++i) {
    const ::testing::TestPartResult& result = results_.GetTestPartResult(i);
    if (!result.failed()) continue;
    // Each failure's own lines, indented under the gap.
    answered += "\n  ";
    for (const char* c = result.summary(); *c != '\0'; ++c) {
      answered += *c;
      if (*c == '\n') answered += "  ";
    }
  }
  if (answered.empty()) {
    ADD_FAILURE_AT(file_, line_) << "now passes under Wine: remove the marker (" << reason_ << ")";
  } else {
    std::printf("%s:%d: known gap: %s; Wine answered:%s\n", file_, line_, reason_.c_str(),
                answered.c_str());
    std::fflush(stdout);
  }
  win::SetLastError(saved);
}

void ContractTest::SetUp() {
  backend_ = MakeBackendState();
  static std::atomic<int> counter{0};
  const std::u16string base = u"C:\\corvane-contract";
  win::CreateDirectoryW(base.c_str(), nullptr);
  const std::string suffix = std::to_string(counter++);
  dir_ = base + u"\\t" + std::u16string(suffix.begin(), suffix.end());
  RemoveTree(dir_);
  ASSERT_NE(win::CreateDirectoryW(dir_.c_str(), nullptr), 0) << "cannot make " << Narrow(dir_);
}

void ContractTest::TearDown() {
  RemoveTree(dir_);
  backend_.reset();
}

bool ContractTest::MakeFile(std::u16string_view path, std::string_view content) {
  win::UniqueFile file(win::CreateFileW(std::u16string(path).c_str(), win::GENERIC_WRITE, 0,
                                        nullptr, win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL,
                                        nullptr));
  if (!file) return false;
  win::DWORD written = 0;
  return win::WriteFile(file.Get(), content.data(), static_cast<win::DWORD>(content.size()),
                        &written, nullptr) != 0 &&
         written == content.size();
}

std::string ContractTest::ReadAll(std::u16string_view path) {
  win::UniqueFile file(win::CreateFileW(std::u16string(path).c_str(), win::GENERIC_READ,
                                        win::FILE_SHARE_READ, nullptr, win::OPEN_EXISTING,
                                        win::FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string result;
  if (!file) return result;
  char chunk[512];
  win::DWORD read = 0;
  while (win::ReadFile(file.Get(), chunk, sizeof chunk, &read, nullptr) && read > 0) {
    result.append(chunk, read);
  }
  return result;
}

win::BY_HANDLE_FILE_INFORMATION ContractTest::Info(std::u16string_view path) {
  win::BY_HANDLE_FILE_INFORMATION info{};
  win::UniqueFile file(
      win::CreateFileW(std::u16string(path).c_str(), 0,
                       win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                       nullptr, win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file) win::GetFileInformationByHandle(file.Get(), &info);
  return info;
}

bool ContractTest::Exists(std::u16string_view path) {
  return win::GetFileAttributesW(std::u16string(path).c_str()) != win::INVALID_FILE_ATTRIBUTES;
}

}  // namespace contract
