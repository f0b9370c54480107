// The event log as a recorder: every reported event is kept in order.
#include "platform/sim/MachineState.h"

namespace sim {
namespace {

struct EventSource : HandleObject {
  std::u16string name;
};

}  // namespace
}  // namespace sim

namespace win {

HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
  if (sim::Intercept("RegisterEventSourceW")) return nullptr;
  if (server != nullptr && *server != u'\0') {
    SetLastError(ERROR_BAD_NETPATH);  // no other machines here
    return nullptr;
  }
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_shared<sim::EventSource>();
  object->name = source;
  return sim::AddHandle(std::move(object));
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
  if (sim::Intercept("ReportEventW")) return FALSE;
  auto source = sim::FindHandleAs<sim::EventSource>(eventLog);
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  sim::EventRecord record;
  record.source = source->name;
  record.type = type;
  record.category = category;
  record.eventId = eventId;
  for (WORD i = 0; i < numStrings; ++i) {
    record.strings.emplace_back(strings[i] != nullptr ? strings[i] : u"");
  }
  if (dataSize != 0) {
    // A size without the data it describes is refused.
    if (rawData == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(rawData);
    record.data.assign(bytes, bytes + dataSize);
  }
  sim::Guard guard(sim::Lock());
  sim::State().events.push_back(std::move(record));
  return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  if (sim::Intercept("DeregisterEventSource")) return FALSE;
  if (!sim::FindHandleAs<sim::EventSource>(eventLog)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  sim::RemoveHandle(eventLog);
  return TRUE;
}

}  // namespace win
