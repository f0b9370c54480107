// Placeholder: the simulated file system (volumes, directories, files, hard links, find,
// full paths, MS-DOS devices). Replaced by the real one.
#pragma once

namespace sim {
class FileSystem {
 public:
  FileSystem() = default;
};
}  // namespace sim
