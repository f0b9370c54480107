#include "engine/DriveDefinition.h"

namespace {

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         win::CompareStringOrdinal(text.data(), static_cast<int>(prefix.size()), prefix.data(),
                                   static_cast<int>(prefix.size()), win::TRUE) == win::CSTR_EQUAL;
}

// QueryDosDeviceW tells no size: the buffer grows until the answer fits.
constexpr win::DWORD kFirstBuffer = 512;
constexpr win::DWORD kLargestBuffer = 1u << 20;

}  // namespace

win::DWORD QueryDefinitions(const std::u16string& name, std::vector<std::u16string>& out) {
  out.clear();
  std::vector<char16_t> buffer(kFirstBuffer);
  win::DWORD length = 0;
  while ((length = win::QueryDosDeviceW(name.c_str(), buffer.data(),
                                        static_cast<win::DWORD>(buffer.size()))) == 0) {
    const win::DWORD error = win::GetLastError();
    if (error == win::ERROR_FILE_NOT_FOUND) return 0;
    if (error != win::ERROR_INSUFFICIENT_BUFFER || buffer.size() >= kLargestBuffer) return error;
    buffer.resize(buffer.size() * 2);
  }
  // One definition after another, each with its NUL, and one more NUL at the end.
  for (std::size_t at = 0; at < length && buffer[at] != u'\0';) {
    out.emplace_back(buffer.data() + at);
    at += out.back().size() + 1;
  }
  return 0;
}

win::DWORD GlobalDefinitions(std::u16string_view letter, std::vector<std::u16string>& out) {
  return QueryDefinitions(u"Global\\" + std::u16string(letter), out);
}

std::u16string StoredDefinition(std::u16string_view folder) {
  for (std::u16string_view unc : {u"\\\\?\\UNC\\", u"\\??\\UNC\\"}) {
    if (StartsWith(folder, unc)) return u"\\??\\UNC\\" + std::u16string(folder.substr(unc.size()));
  }
  for (std::u16string_view prefix : {u"\\\\?\\", u"\\\\.\\", u"\\??\\"}) {
    if (StartsWith(folder, prefix)) return u"\\??\\" + std::u16string(folder.substr(prefix.size()));
  }
  if (folder.starts_with(u"\\\\")) return u"\\??\\UNC\\" + std::u16string(folder.substr(2));
  return u"\\??\\" + std::u16string(folder);
}

bool MapsOnto(std::u16string_view definition, std::u16string_view folder) {
  const std::u16string stored = StoredDefinition(folder);
  return win::CompareStringOrdinal(definition.data(), static_cast<int>(definition.size()),
                                   stored.data(), static_cast<int>(stored.size()),
                                   win::TRUE) == win::CSTR_EQUAL;
}

bool SamePath(std::u16string_view a, std::u16string_view b) {
  return MapsOnto(StoredDefinition(a), b);
}
