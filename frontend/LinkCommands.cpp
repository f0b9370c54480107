#include "frontend/LinkCommands.h"

#include "engine/DrivePolicy.h"
#include "engine/LinkWords.h"
#include "engine/WayToLink.h"
#include "frontend/CommandSupport.h"
#include "frontend/Console.h"
#include "frontend/DriveCommands.h"
#include "frontend/Inspection.h"
#include "frontend/Json.h"
#include "frontend/Messages.h"

namespace frontend {
namespace {

// Names the folder on the way to `link` that the service would not go through, found by the
// service's own walk.
std::u16string UntrustedLinkText(const std::u16string& link) {
  WayToLink way;
  if (way.Hold(link) || way.Refused().empty()) {
    return u"A folder on the way to " + link +
           u" became a link while CorvaneService worked, so it stopped there.";
  }
  return way.Refused() +
         u" is a link to another place that users other than SYSTEM, the administrators and "
         u"TrustedInstaller may change (" +
         way.Why() + u"), so CorvaneService does not go through it to " + link +
         u". Nothing was changed.";
}

LinkRequest PolicyRecord(const PolicyDrive& drive) {
  LinkRequest record;
  record.action = LinkAction::Create;
  record.kind = LinkKind::Drive;
  record.link = drive.letter;
  record.target = drive.folder;
  return record;
}

// The list as one JSON array, then the letters machine policy maps, each with its source; a
// drive's state as whether it is mapped onto its target now; indented, since the text is also a
// desired-state file to keep and edit.
std::u16string ListJson(const LinkList& links, const std::vector<PolicyDrive>& policy) {
  nlohmann::ordered_json json = nlohmann::ordered_json::array();
  for (const LinkRequest& record : links.records) {
    const std::u16string kind = KindName(record.kind);
    nlohmann::ordered_json entry = {{"action", JsonValue(ActionName(record.action))}};
    if (!KindOfWord(kind)) {
      entry["kind"] = static_cast<std::int32_t>(record.kind);
    } else {
      entry["kind"] = JsonValue(kind);
    }
    entry["link"] = JsonValue(record.link);
    entry["target"] = JsonValue(record.target);
    if (record.kind == LinkKind::Drive) {
      if (const std::u16string* label = links.LabelOf(record.link)) {
        entry["label"] = JsonValue(*label);
      }
      entry["mappedNow"] = MappedNow(record);
    }
    entry["source"] = "list";
    json.push_back(std::move(entry));
  }
  for (const PolicyDrive& drive : policy) {
    nlohmann::ordered_json entry = {{"action", "Create"},
                                    {"kind", "Drive"},
                                    {"link", JsonValue(drive.letter)},
                                    {"target", JsonValue(drive.folder)}};
    if (!drive.label.empty()) entry["label"] = JsonValue(drive.label);
    entry["mappedNow"] = MappedNow(PolicyRecord(drive));
    entry["source"] = "policy";
    json.push_back(std::move(entry));
  }
  return JsonText(json, 2);
}

}  // namespace

win::DWORD ChangeLinkNow(const Command& command) {
  win::DWORD error = 0;
  const std::u16string link = UsablePath(command.link, error);
  if (error != 0) return error;
  std::u16string target = kNoTarget;
  if (command.verb == Verb::Create && (target = UsablePath(command.target, error)).empty()) {
    return error;
  }
  if (TooLongForTheService(link, target)) return win::ERROR_FILENAME_EXCED_RANGE;
  const LinkRequest request{command.verb == Verb::Create ? LinkAction::Create : LinkAction::Delete,
                            command.kind, link, target};
  const win::DWORD code = Tell(RunService(StartArguments(request), LinkStateOf(command.kind, link)));
  if (code == kUntrustedLinkOnTheWay) WriteError(UntrustedLinkText(link) + u"\r\n");
  // A folder already at the link that users may change stays theirs: it is never made a junction.
  if (code == win::ERROR_ALREADY_EXISTS && command.kind == LinkKind::Folder &&
      command.verb == Verb::Create) {
    const std::u16string why = WhoElseMayChangeFolderAt(link);
    if (!why.empty()) {
      WriteError(link + u" is a folder that users other than SYSTEM, the administrators and "
                        u"TrustedInstaller may change (" +
                 why + u"), so CorvaneService does not make it a junction. Nothing was changed.\r\n");
    }
  }
  // The service's refusal of a junction onto a share; the system's text alone does not say so.
  if (code == win::ERROR_BAD_PATHNAME && command.kind == LinkKind::Folder &&
      command.verb == Verb::Create) {
    WriteError(u"A junction can only lead to a folder on this machine.\r\n");
  }
  return code;
}

win::DWORD List(bool json) {
  std::u16string path;
  LinkList links;
  if (const win::DWORD error = ReadListBesideService(path, links)) return error;
  const std::vector<PolicyDrive> policy = ReadDrivePolicy().drives;
  if (json) {
    WriteJson(ListJson(links, policy));
    return 0;
  }
  Lines lines;
  if (links.records.empty()) lines.push_back(u"No links are stored in " + path + u".");
  for (const LinkRequest& record : links.records) {
    const bool create = record.action != LinkAction::Delete;
    std::u16string& text = lines.emplace_back();
    text += ActionName(record.action) + u" " + KindName(record.kind) + u" " + record.link +
            u" -> " + record.target;
    if (create && record.kind == LinkKind::Drive) {
      text += u"  (" + DriveState(record) + u")";
      if (const std::u16string* label = links.LabelOf(record.link)) {
        text += u"  label \"" + *label + u"\"";
      }
    }
  }
  for (const PolicyDrive& drive : policy) {
    std::u16string& text = lines.emplace_back();
    text = u"Create Drive " + drive.letter + u" -> " + drive.folder + u"  (" +
           DriveState(PolicyRecord(drive)) + u")";
    if (!drive.label.empty()) text += u"  label \"" + drive.label + u"\"";
    text += u"  policy";
  }
  WriteOutput(lines);
  return 0;
}

win::DWORD Show(const Command& command) {
  const bool letter = IsDriveLetterName(command.link);
  win::DWORD error = 0;
  const std::u16string path = letter ? command.link : FullPath(command.link, error);
  Inspection found;
  if (error == 0) error = Inspect(path, letter, found);
  if (error != 0) {
    WriteError({letter ? command.link + u" is not defined." : command.link + u" cannot be shown.",
                OutcomeText(error)});
    return error;
  }
  if (command.json) {
    WriteJson(InspectionJson(found));
  } else {
    WriteOutput(InspectionText(found));
  }
  return 0;
}

}  // namespace frontend
