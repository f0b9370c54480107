// Building link list files byte by byte, and reading or writing them through the archive.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "engine/LinkList.h"
#include "platform/UniqueHandle.h"
#include "platform/sim/Machine.h"

namespace corvane_test {

inline std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

inline std::string Utf16Bytes(std::u16string_view text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

// The list a writer produces for one record mapping X: onto D:\Data.
inline const std::string kWorkedExample =
    Bytes({0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFE,
           0xFF, 0x02, 0x58, 0x00, 0x3A, 0x00, 0xFF, 0xFE, 0xFF, 0x07, 0x44, 0x00,
           0x3A, 0x00, 0x5C, 0x00, 0x44, 0x00, 0x61, 0x00, 0x74, 0x00, 0x61, 0x00});

// A string in the form a writer gives it: Unicode, with a one-byte length.
inline std::string StringBytes(std::u16string_view text) {
  return Bytes({0xFF, 0xFE, 0xFF, static_cast<int>(text.size())}) + Utf16Bytes(text);
}

// The label trailer a writer puts after the worked example's record once X: is labelled "Data".
inline const std::string kLabelTrailer =
    "DriveLabels" + Bytes({1, 0}) + StringBytes(u"X:") + StringBytes(u"Data");

inline LinkRequest Record(std::int32_t action, std::int32_t kind, std::u16string link,
                        std::u16string target) {
  LinkRequest record;
  record.action = static_cast<LinkAction>(action);
  record.kind = static_cast<LinkKind>(kind);
  record.link = std::move(link);
  record.target = std::move(target);
  return record;
}

// Writes an array the way the front end does and returns the file's bytes.
inline std::string StoreList(sim::Machine& machine, LinkList& array,
                             std::u16string_view path = u"C:\\written.dat") {
  {
    win::UniqueFile file(win::CreateFileW(std::u16string(path).c_str(), win::GENERIC_WRITE, 0,
                                          nullptr, win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL,
                                          nullptr));
    EXPECT_TRUE(file);
    LinkArchive archive(file.Get(), LinkArchive::Mode::store);
    array.Serialize(archive);
    archive.Close();
  }
  return machine.FileContent(path).value_or("");
}

// Puts `bytes` in a file and loads it as a link list.
inline LoadOutcome LoadBytes(sim::Machine& machine, const std::string& bytes, LinkList& out,
                             std::u16string_view path = u"C:\\list.dat") {
  machine.PutFile(path, bytes);
  LoadedLinkList list;
  const LoadOutcome outcome = LoadLinkList(std::u16string(path), list);
  out = list.links;
  return outcome;
}

}  // namespace corvane_test
