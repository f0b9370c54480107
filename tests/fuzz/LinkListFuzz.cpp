// Reads arbitrary bytes as a link list. Whatever the input, reading must end in order (loaded
// or malformed, never a crash or an oversized allocation), and a list that loads must survive
// being written and read again unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/LinkList.h"
#include "platform/sim/Machine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static sim::Machine* machine = new sim::Machine();  // one machine for the whole run
  machine->PutFile(u"C:\\fuzz.dat", std::string_view(reinterpret_cast<const char*>(data), size));

  LoadedLinkList list;
  if (LoadLinkList(u"C:\\fuzz.dat", list) != LoadOutcome::loaded) return 0;
  list.file.Reset();

  {
    win::UniqueFile out(win::CreateFileW(u"C:\\again.dat", win::GENERIC_WRITE, 0, nullptr,
                                         win::CREATE_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr));
    LinkArchive archive(out.Get(), LinkArchive::Mode::store);
    list.links.Serialize(archive);
    archive.Close();
  }
  LoadedLinkList again;
  if (LoadLinkList(u"C:\\again.dat", again) != LoadOutcome::loaded ||
      again.links.records != list.links.records) {
    std::abort();
  }
  return 0;
}
