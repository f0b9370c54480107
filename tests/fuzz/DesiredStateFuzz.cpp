// Reads arbitrary bytes as a desired-state file. Whatever the input, reading must end in order
// (the links, or a known code with a sentence, never a crash, an exception or deep recursion),
// and the links read must survive being written as JSON and read again unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/DesiredState.h"
#include "frontend/Json.h"
#include "platform/sim/Machine.h"

namespace {

bool Same(const frontend::DesiredLink& a, const frontend::DesiredLink& b) {
  return a.kind == b.kind && a.link == b.link && a.target == b.target && a.label == b.label;
}

std::string Written(const std::vector<frontend::DesiredLink>& links) {
  const char* kinds[] = {"Drive", "Folder", "File"};
  nlohmann::ordered_json json = nlohmann::ordered_json::array();
  for (const frontend::DesiredLink& link : links) {
    nlohmann::ordered_json entry = {{"action", "Create"},
                                    {"kind", kinds[static_cast<int>(link.kind)]},
                                    {"link", frontend::JsonValue(link.link)},
                                    {"target", frontend::JsonValue(link.target)}};
    if (!link.label.empty()) entry["label"] = frontend::JsonValue(link.label);
    json.push_back(std::move(entry));
  }
  const std::u16string text = frontend::JsonText(json, 2);
  return frontend::JsonValue(text);  // the text is valid UTF-16, so this is plain UTF-8
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The system the reader calls (case-blind comparison), one for the whole run.
  [[maybe_unused]] static sim::Machine* machine = new sim::Machine();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::vector<frontend::DesiredLink> links;
  std::u16string problem;
  const win::DWORD code = frontend::ParseDesiredState(bytes, links, problem);
  if (code != 0) {
    if ((code != win::ERROR_INVALID_DATA && code != win::ERROR_FILENAME_EXCED_RANGE &&
         code != win::ERROR_FILE_TOO_LARGE) ||
        problem.empty() || !links.empty()) {
      std::abort();
    }
    return 0;
  }
  for (const frontend::DesiredLink& link : links) {
    if (link.link.empty() || link.target.empty() || link.link.size() >= 1024 ||
        link.target.size() >= 1024 || link.line == 0 || link.column == 0) {
      std::abort();
    }
  }
  std::vector<frontend::DesiredLink> again;
  if (frontend::ParseDesiredState(Written(links), again, problem) != 0 ||
      again.size() != links.size()) {
    std::abort();
  }
  for (std::size_t i = 0; i < links.size(); ++i) {
    if (!Same(links[i], again[i])) std::abort();
  }
  return 0;
}
