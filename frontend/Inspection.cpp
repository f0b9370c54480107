#include "frontend/Inspection.h"

#include <string>
#include <vector>

#include "frontend/DriveLetter.h"
#include "frontend/Json.h"
#include "frontend/Messages.h"
#include "platform/ReparseRecord.h"
#include "platform/UniqueHandle.h"

namespace frontend {
namespace {

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

win::DWORD InspectLetter(const std::u16string& letter, Inspection& found) {
  DriveLetterNow now;
  if (const win::DWORD error = ReadDriveLetter(letter, now)) return error;
  if (now.global.empty() && now.session.empty()) return win::ERROR_FILE_NOT_FOUND;
  found.type = u"Drive";
  const DefinitionMeaning meaning =
      MeaningOf(now.Defined() ? now.global.front() : now.session.front());
  found.driveKind = meaning.kind;
  found.target = meaning.target;
  found.definitions = std::move(now.global);
  found.sessionDefinitions = std::move(now.session);
  return 0;
}

// The reparse point of `path`, read without following it.
win::DWORD ReadLink(const std::u16string& path, Inspection& found) {
  win::UniqueFile file(win::CreateFileW(
      path.c_str(), win::FILE_READ_ATTRIBUTES,
      win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE, nullptr,
      win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr));
  if (!file) return win::GetLastError();
  std::vector<std::uint8_t> record(win::MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  win::DWORD returned = 0;
  if (!win::DeviceIoControl(file.Get(), win::FSCTL_GET_REPARSE_POINT, nullptr, 0, record.data(),
                            static_cast<win::DWORD>(record.size()), &returned, nullptr)) {
    return win::GetLastError();
  }
  const reparse::LinkNames names = reparse::ReadLinkNames(record.data(), returned);
  found.damaged = !names.intact;
  found.printName = names.printName;
  if (names.tag == win::IO_REPARSE_TAG_MOUNT_POINT) {
    found.type = u"Junction";
    found.target = StartsWith(names.substituteName, u"\\??\\") ? names.substituteName.substr(4)
                                                               : names.substituteName;
  } else if (names.tag == win::IO_REPARSE_TAG_SYMLINK) {
    found.type = u"SymbolicLink";
    found.target = names.printName.empty() ? names.substituteName : names.printName;
  } else {
    found.reparseTag = names.tag;
  }
  return 0;
}

win::DWORD InspectFile(const std::u16string& path, Inspection& found) {
  win::UniqueFile file(
      win::CreateFileW(path.c_str(), win::FILE_READ_ATTRIBUTES,
                       win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                       nullptr, win::OPEN_EXISTING, 0, nullptr));
  win::BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !win::GetFileInformationByHandle(file.Get(), &info)) return win::GetLastError();
  found.linkCount = info.nNumberOfLinks;
  found.volumeSerialNumber = info.dwVolumeSerialNumber;
  found.fileIndex = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return 0;
}

nlohmann::ordered_json JsonArray(const std::vector<std::u16string>& items) {
  nlohmann::ordered_json json = nlohmann::ordered_json::array();
  for (const std::u16string& item : items) json.push_back(JsonValue(item));
  return json;
}

std::u16string Hex(std::uint64_t value, int digits) {
  constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string text(static_cast<std::size_t>(digits), u'0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4)
    text[static_cast<std::size_t>(i)] = kHex[value & 0xF];
  return text;
}

}  // namespace

win::DWORD Inspect(const std::u16string& letterOrPath, bool letter, Inspection& found) {
  found = Inspection{};
  found.path = letterOrPath;
  if (letter) return InspectLetter(letterOrPath, found);
  const win::DWORD attributes = win::GetFileAttributesW(letterOrPath.c_str());
  if (attributes == win::INVALID_FILE_ATTRIBUTES) return win::GetLastError();
  const bool directory = (attributes & win::FILE_ATTRIBUTE_DIRECTORY) != 0;
  found.type = directory ? u"Directory" : u"File";
  if ((attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (const win::DWORD error = ReadLink(letterOrPath, found)) return error;
  }
  if (found.type == u"File") return InspectFile(letterOrPath, found);
  return 0;
}

Lines InspectionText(const Inspection& found) {
  Lines lines{found.path};
  if (found.type == u"Drive") {
    lines[0] += u" is a " + found.driveKind + u": " + found.target;
    for (std::size_t i = 0; i < found.definitions.size(); ++i) {
      lines.push_back((i == 0 ? u"  in force:          " : u"  hidden beneath it: ") +
                      found.definitions[i]);
    }
    for (const std::u16string& own : found.sessionDefinitions) {
      lines.push_back(u"  this session's own: " + own + u" (it hides the machine's " + found.path +
                      u" here)");
    }
    return lines;
  }
  if (found.type == u"Junction" || found.type == u"SymbolicLink") {
    lines[0] += (found.type == u"Junction" ? u" is a junction to " : u" is a symbolic link to ") +
                found.target;
    lines.push_back(u"  print name: " + (found.printName.empty() ? u"(none)" : found.printName));
    if (found.damaged) lines.push_back(u"  its record is damaged: a name lies outside it");
    return lines;
  }
  lines[0] += found.type == u"Directory" ? u" is a folder" : u" is a file";
  if (found.reparseTag != 0) {
    lines[0] += u" with a reparse point of another kind (tag 0x" + Hex(found.reparseTag, 8) + u")";
  }
  if (found.type == u"File") {
    lines[0] += u" with " + DecimalText(found.linkCount) +
                (found.linkCount == 1 ? u" name" : u" names") + u"; volume " +
                Hex(found.volumeSerialNumber, 8) + u", file index " + Hex(found.fileIndex, 16);
  }
  return lines;
}

std::u16string InspectionJson(const Inspection& found) {
  nlohmann::ordered_json json = {{"path", JsonValue(found.path)}, {"type", JsonValue(found.type)}};
  if (!found.target.empty()) json["target"] = JsonValue(found.target);
  if (found.type == u"Drive") {
    json["driveKind"] = JsonValue(found.driveKind);
    json["definitions"] = JsonArray(found.definitions);
    json["global"] = JsonArray(found.definitions);
    json["session"] = JsonArray(found.sessionDefinitions);
  }
  if (found.type == u"Junction" || found.type == u"SymbolicLink") {
    json["printName"] = JsonValue(found.printName);
    json["damaged"] = found.damaged;
  }
  if (found.reparseTag != 0) json["reparseTag"] = found.reparseTag;
  if (found.type == u"File") {
    json["linkCount"] = found.linkCount;
    json["volumeSerialNumber"] = found.volumeSerialNumber;
    json["fileIndex"] = found.fileIndex;
  }
  return JsonText(json, -1);
}

}  // namespace frontend
