// The engine's junction records on a real NTFS driver (ntfs-3g), driven by run.sh:
//   corvane_ntfs_junction set MOUNT    makes each target with a file in it and sets the record
//                                      on an empty directory beside it
//   corvane_ntfs_junction check MOUNT  (after a remount) checks where each junction leads, that
//                                      the file reads through it, and the stored bytes
// MOUNT is the volume's mount point, with MOUNT/.NTFS-3G/C: a symlink to MOUNT so that ntfs-3g
// resolves C:\ to the volume's root. One PASS or FAIL line per target; exit 1 on any failure.
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/Junction.h"
#include "engine/MountPointBuffer.h"
#include "tests/Utf8.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kReparseAttribute = "system.ntfs_reparse_data";
constexpr const char* kProbe = "probe.txt";

struct Target {
  std::string label;
  std::u16string path;  // drive-absolute, on C:
};

// A drive-absolute path of exactly `units` units on C:, its components of `fill` at most
// `component` units long (NTFS allows 255 units; Linux 255 bytes of UTF-8).
std::u16string LongPath(std::size_t units, char16_t fill, std::size_t component) {
  std::u16string path = u"C:\\";
  while (path.size() < units) {
    if (path.back() != u'\\') path += u'\\';
    const std::size_t room = units - path.size();
    // Never end on a separator: leave the last component at least one unit.
    std::size_t take = std::min(component, room);
    if (room > take && room - take == 1) --take;
    path.append(take, fill);
  }
  return path;
}

// The engine forms \??\ and the full path; the longest it sends fills its working buffer.
const std::size_t kLongestFullPath = kJunctionNameBufferUnits - 1 - 4;

std::vector<Target> Targets() {
  return {
      {"DriveAbsolute", u"C:\\target"},
      {"Nested", u"C:\\a\\b\\c"},
      {"NonAscii", u"C:\\\u00dcn\u00efc\u00f8d\u00e9\\\u65e5\u672c\\\U0001D11E"},
      {"LongestAscii", LongPath(kLongestFullPath, u'p', 255)},
      // 85 units of a three-byte character are Linux's 255-byte name limit.
      {"LongestNonAscii", LongPath(kLongestFullPath, u'\u65e5', 85)},
  };
}

using corvane_test::Utf8;

// The target below C:\ as a path inside the mount: C:\a\b becomes a/b.
std::string Relative(const Target& target) {
  std::string path = Utf8(std::u16string_view(target.path).substr(3));
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

std::string Content(const Target& target) {
  return "reached " + target.label + "\n";
}

std::string Junction(const std::string& mount, const Target& target) {
  return mount + "/j-" + target.label;
}

// The record as the engine sends it for this target.
bool Record(const Target& target, std::vector<std::uint8_t>& record) {
  MountPointBuffer buffer;
  if (!buffer.Fill(u"\\??\\" + target.path)) return false;
  record.assign(buffer.Bytes(), buffer.Bytes() + buffer.SizeToSend());
  return true;
}

// Long paths cut to their ends, so that one failure stays one readable line.
std::string Short(const std::string& path) {
  return path.size() <= 80 ? path : path.substr(0, 40) + "..." + path.substr(path.size() - 37);
}

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

std::string Set(const std::string& mount, const Target& target) {
  std::error_code error;
  const std::string directory = mount + "/" + Relative(target);
  fs::create_directories(directory, error);
  if (error) return "making the target: " + error.message();
  std::ofstream(directory + "/" + kProbe, std::ios::binary) << Content(target);
  const std::string link = Junction(mount, target);
  if (!fs::create_directory(link, error)) return "making the link directory: " + error.message();
  std::vector<std::uint8_t> record;
  if (!Record(target, record)) return "the record does not fit the engine's buffer";
  if (setxattr(link.c_str(), kReparseAttribute, record.data(), record.size(), 0) != 0) {
    return Errno("setxattr");
  }
  return {};
}

std::string Check(const std::string& mount, const Target& target) {
  const std::string link = Junction(mount, target);
  const std::string relative = Relative(target);

  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t length = readlink(link.c_str(), buffer.data(), buffer.size());
  if (length < 0) return Errno("readlink");
  const std::string shown(buffer.data(), static_cast<std::size_t>(length));
  const std::string expected = mount + "/.NTFS-3G/C:/" + relative;
  if (shown != expected) return "readlink gives " + Short(shown) + ", not " + Short(expected);

  char* resolved = realpath(link.c_str(), nullptr);
  if (resolved == nullptr) return Errno("realpath");
  const std::string real(resolved);
  std::free(resolved);
  if (real != mount + "/" + relative) return "realpath gives " + Short(real);

  std::ifstream probe(link + "/" + kProbe, std::ios::binary);
  const std::string read{std::istreambuf_iterator<char>(probe), std::istreambuf_iterator<char>()};
  if (read != Content(target)) return "the file through the junction reads '" + Short(read) + "'";

  std::vector<std::uint8_t> record;
  if (!Record(target, record)) return "the record does not fit the engine's buffer";
  std::vector<std::uint8_t> stored(MountPointBuffer::kSize);
  // The link itself: getxattr would follow it to the target, which holds no record.
  const ssize_t size = lgetxattr(link.c_str(), kReparseAttribute, stored.data(), stored.size());
  if (size < 0) return Errno("lgetxattr");
  stored.resize(static_cast<std::size_t>(size));
  if (stored != record) {
    return "stored record of " + std::to_string(stored.size()) + " bytes differs from the " +
           std::to_string(record.size()) + " bytes set";
  }
  // What the front end's show reads back from the volume.
  const reparse::LinkNames names = reparse::ReadLinkNames(stored.data(), stored.size());
  if (!names.intact || names.substituteName != reparse::SubstituteName(record.data(), record.size()))
    return "the stored record reads back as another junction";
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode != "set" && mode != "check") {
    std::cerr << "usage: corvane_ntfs_junction set|check MOUNT\n";
    return 2;
  }
  // ntfs-3g names its mount point by its full path in the links it shows.
  std::error_code error;
  const std::string mount = fs::canonical(argv[2], error).string();
  if (error) {
    std::cerr << argv[2] << ": " << error.message() << "\n";
    return 2;
  }
  int failures = 0;
  for (const Target& target : Targets()) {
    const std::string problem = mode == "set" ? Set(mount, target) : Check(mount, target);
    const std::string units = std::to_string(target.path.size() + 4);
    if (!problem.empty()) {
      ++failures;
      std::cout << "FAIL " << target.label << " (" << mode << "): " << problem << "\n";
    } else if (mode == "check") {
      std::cout << "PASS " << target.label << " (" << units << "-unit substitute name)\n";
    }
  }
  return failures == 0 ? 0 : 1;
}
