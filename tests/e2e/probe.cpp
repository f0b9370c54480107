// corvane_probe: reads and writes the state the end-to-end tests check, through the same Win32
// calls the service makes, from inside the Wine prefix.
//
//   corvane_probe dosdevice X:      the first definition QueryDosDeviceW lists (exit 1 if none,
//                                   exit 3 if the call fails for another reason)
//   corvane_probe links PATH        the link count of a file
//   corvane_probe fileid PATH       volume serial and file index, as serial:index in hex
//   corvane_probe exists PATH       "file", "directory" or "missing"
//   corvane_probe write PATH TEXT   replaces the file's content with TEXT (UTF-8)
//   corvane_probe hardlink NEW OLD  makes NEW another name of the file OLD
//   corvane_probe read PATH         prints the file's content
//   corvane_probe writelist PATH ACTION,KIND,LINK,TARGET...
//                                   writes a link list with the project's own writer
//   corvane_probe hold PATH SECONDS opens PATH without sharing and keeps it open a while
//   corvane_probe resource PATH TYPE ID
//                                   the size of a resource of the image PATH, loaded as data
//   corvane_probe message PATH TEXT message 0 of the image PATH with the insertion TEXT, in
//                                   brackets, as Event Viewer renders an event from PATH
//
// Failures print the call and its last-error code to stderr and exit 1; usage errors exit 2.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/LinkList.h"
#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"
#include "tests/HardLinks.h"
#include "tests/Utf8.h"

namespace {

using corvane_test::MakeHardLink;
using corvane_test::Utf8;

int Fail(const char* call, std::u16string_view subject, int exitCode = 1) {
  const win::DWORD code = win::GetLastError();
  std::fprintf(stderr, "%s(%s) failed: %lu\n", call, Utf8(subject).c_str(),
               static_cast<unsigned long>(code));
  return exitCode;
}

win::UniqueFile OpenForInfo(const std::u16string& path) {
  return win::UniqueFile(win::CreateFileW(
      path.c_str(), 0, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
      nullptr, win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

int DosDevice(const std::u16string& name) {
  std::vector<char16_t> buffer(32768);
  const win::DWORD length =
      win::QueryDosDeviceW(name.c_str(), buffer.data(), static_cast<win::DWORD>(buffer.size()));
  // Only "no such name" says the letter is free; any other failure must not read as that.
  if (length == 0) {
    const bool undefined = win::GetLastError() == win::ERROR_FILE_NOT_FOUND;
    return Fail("QueryDosDeviceW", name, undefined ? 1 : 3);
  }
  std::printf("%s\n", Utf8(std::u16string_view(buffer.data())).c_str());
  return 0;
}

int Info(const std::u16string& path, bool fileId) {
  win::UniqueFile file = OpenForInfo(path);
  if (!file) return Fail("CreateFileW", path);
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!win::GetFileInformationByHandle(file.Get(), &info)) {
    return Fail("GetFileInformationByHandle", path);
  }
  if (fileId) {
    std::printf("%08lx:%08lx%08lx\n", static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  } else {
    std::printf("%lu\n", static_cast<unsigned long>(info.nNumberOfLinks));
  }
  return 0;
}

int Exists(const std::u16string& path) {
  const win::DWORD attributes = win::GetFileAttributesW(path.c_str());
  if (attributes == win::INVALID_FILE_ATTRIBUTES) {
    std::printf("missing\n");
  } else {
    std::printf("%s\n", attributes & win::FILE_ATTRIBUTE_DIRECTORY ? "directory" : "file");
  }
  return 0;
}

int Write(const std::u16string& path, std::u16string_view text) {
  win::UniqueFile file(win::CreateFileW(path.c_str(), win::GENERIC_WRITE, 0, nullptr,
                                        win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Fail("CreateFileW", path);
  const std::string bytes = Utf8(text);
  win::DWORD written = 0;
  if (!win::WriteFile(file.Get(), bytes.data(), static_cast<win::DWORD>(bytes.size()), &written,
                      nullptr) ||
      written != bytes.size()) {
    return Fail("WriteFile", path);
  }
  return 0;
}

int Read(const std::u16string& path) {
  win::UniqueFile file(win::CreateFileW(path.c_str(), win::GENERIC_READ,
                                        win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                        win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Fail("CreateFileW", path);
  std::string content;
  char chunk[4096];
  win::DWORD read = 0;
  while (true) {
    if (!win::ReadFile(file.Get(), chunk, sizeof chunk, &read, nullptr)) {
      return Fail("ReadFile", path);
    }
    if (read == 0) break;
    content.append(chunk, read);
  }
  std::fwrite(content.data(), 1, content.size(), stdout);
  return 0;
}

int HardLink(const std::u16string& newName, const std::u16string& existing) {
  if (!MakeHardLink(newName, existing)) {
    return Fail("MakeHardLink", newName);
  }
  return 0;
}

// Each record is ACTION,KIND,LINK,TARGET with ACTION and KIND as numbers, as the list stores
// them; the target is everything after the third comma.
int WriteList(const std::u16string& path, const std::vector<std::u16string>& records) {
  LinkList array;
  for (const auto& text : records) {
    std::vector<std::u16string> fields;
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
      const auto comma = text.find(u',', start);
      if (comma == std::u16string::npos) return 2;
      fields.push_back(text.substr(start, comma - start));
      start = comma + 1;
    }
    fields.push_back(text.substr(start));
    LinkRequest record;
    record.action = static_cast<LinkAction>(std::stol(Utf8(fields[0])));
    record.kind = static_cast<LinkKind>(std::stol(Utf8(fields[1])));
    record.link = fields[2];
    record.target = fields[3];
    array.records.push_back(record);
  }
  win::UniqueFile file(win::CreateFileW(path.c_str(), win::GENERIC_WRITE, 0, nullptr,
                                        win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Fail("CreateFileW", path);
  try {
    LinkArchive archive(file.Get(), LinkArchive::Mode::store);
    array.Serialize(archive);
    archive.Close();
  } catch (const ArchiveError&) {
    return Fail("WriteFile", path);
  }
  return 0;
}

int Hold(const std::u16string& path, const std::u16string& seconds) {
  win::UniqueFile file(win::CreateFileW(path.c_str(), win::GENERIC_READ, 0, nullptr,
                                        win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Fail("CreateFileW", path);
  std::printf("held\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(std::stol(Utf8(seconds))));
  return 0;
}

int Resource(const std::u16string& path, const std::u16string& type, const std::u16string& id) {
  win::UniqueModule image(
      win::LoadLibraryExW(path.c_str(), nullptr, win::LOAD_LIBRARY_AS_DATAFILE));
  if (!image) return Fail("LoadLibraryExW", path);
  const auto number = static_cast<win::WORD>(std::stoul(Utf8(id)));
  const win::HRSRC found =
      win::FindResourceW(image.Get(), win::MAKEINTRESOURCEW(number), type.c_str());
  if (found == nullptr) return Fail("FindResourceW", type);
  std::printf("%lu\n", static_cast<unsigned long>(win::SizeofResource(image.Get(), found)));
  return 0;
}

int Message(const std::u16string& path, const std::u16string& text) {
  win::UniqueModule image(
      win::LoadLibraryExW(path.c_str(), nullptr, win::LOAD_LIBRARY_AS_DATAFILE));
  if (!image) return Fail("LoadLibraryExW", path);
  win::ULONG_PTR inserts[] = {reinterpret_cast<win::ULONG_PTR>(text.c_str())};
  char16_t buffer[1024];
  const win::DWORD length =
      win::FormatMessageW(win::FORMAT_MESSAGE_FROM_HMODULE | win::FORMAT_MESSAGE_ARGUMENT_ARRAY,
                          image.Get(), 0, 0, buffer, 1024, inserts);
  if (length == 0) return Fail("FormatMessageW", path);
  std::printf("[%s]\n", Utf8(std::u16string_view(buffer, length)).c_str());
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: corvane_probe dosdevice X: | links PATH | fileid PATH | exists PATH |"
               " write PATH TEXT | hardlink NEW OLD | read PATH |"
               " writelist PATH ACTION,KIND,LINK,TARGET... | hold PATH SECONDS |"
               " resource PATH TYPE ID | message PATH TEXT\n");
  return 2;
}

}  // namespace

// A wide entry, so paths arrive as UTF-16 unchanged; wchar_t is UTF-16 on Windows.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  if (args.size() < 2) return Usage();
  const std::u16string& command = args[0];
  if (args.size() == 2) {
    if (command == u"dosdevice") return DosDevice(args[1]);
    if (command == u"links") return Info(args[1], false);
    if (command == u"fileid") return Info(args[1], true);
    if (command == u"exists") return Exists(args[1]);
    if (command == u"read") return Read(args[1]);
  }
  if (args.size() == 3 && command == u"write") return Write(args[1], args[2]);
  if (args.size() == 3 && command == u"hardlink") return HardLink(args[1], args[2]);
  if (args.size() == 3 && command == u"hold") return Hold(args[1], args[2]);
  if (args.size() == 3 && command == u"message") return Message(args[1], args[2]);
  if (args.size() == 4 && command == u"resource") return Resource(args[1], args[2], args[3]);
  if (command == u"writelist") {
    return WriteList(args[1], std::vector<std::u16string>(args.begin() + 2, args.end()));
  }
  return Usage();
}
