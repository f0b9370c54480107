// The simulated file system: volumes by drive letter, directories, files with several names
// (hard links), share modes, reparse points on directories, and the MS-DOS device table that
// drive letters are looked up in. The win:: functions of FileApi.cpp work on it under the
// machine's lock; every member here assumes that lock is held.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinApi.h"
#include "platform/sim/MachineState.h"
#include "platform/sim/Security.h"

namespace sim {

struct Volume;

// Share-access bookkeeping of one file, as the I/O manager keeps it. Only opens that ask for
// data access (read, write or delete) take part; attribute-only opens neither claim nor check.
struct ShareState {
  int openCount = 0;
  int readers = 0;
  int writers = 0;
  int deleters = 0;
  int sharedRead = 0;
  int sharedWrite = 0;
  int sharedDelete = 0;
};

// What an access mask asks for, in the terms share modes speak.
struct DataAccess {
  bool read = false;
  bool write = false;
  bool del = false;
  bool Any() const { return read || write || del; }
};
DataAccess ToDataAccess(win::DWORD access);

// A file or a directory. A file may have several names; each name holds a reference.
struct Node {
  bool directory = false;
  win::DWORD attributes = 0;  // stored bits; DIRECTORY and REPARSE_POINT derive from the node
  std::string content;
  // What the disk holds for sure: the content as last flushed (or put there by a test), and
  // whether it has changed since. A power cut loses the difference.
  std::string durable;
  bool unflushed = false;
  win::DWORD links = 0;
  std::uint64_t index = 0;
  Volume* volume = nullptr;
  std::vector<std::uint8_t> reparse;  // the record as set; empty when there is none
  // Owned by Administrators, with what it inherits, unless made or changed otherwise.
  FileSecurity security{ParseSid(u"BA"), false, false, {}};
  // Whether its list is settled: what the programs make is given one at once; what a test puts
  // there inherits from the folder it is first named in.
  bool secured = false;

  struct Entry {
    std::u16string name;  // as created (names are case-preserving)
    std::shared_ptr<Node> node;
    bool deletePending = false;
  };
  std::map<std::u16string, Entry> children;  // keyed by the upper-cased name
  std::weak_ptr<Node> parent;                // directories only
  ShareState share;
  int handles = 0;  // every open, data access or not
  // Names deleted the classic way while handles were open: they stay, delete pending, until the
  // last closes.
  std::vector<std::pair<std::weak_ptr<Node>, std::u16string>> pendingNames;

  win::DWORD Attributes() const;
  win::DWORD ReparseTag() const;  // 0 when none
  std::uint64_t Size() const { return content.size(); }
};

// A change the volume's log holds and has not yet written to the disk. A name: in `folder`, what
// the upper-cased `key` named before (null when it was free; `nameBefore` as it was written) and
// what it names after (null when the change freed it). Reparse data: the node and its record
// before. What a change took away is kept, as the disk keeps it, until the log is written.
struct LoggedChange {
  std::weak_ptr<Node> folder;
  std::u16string key;
  std::u16string nameBefore;
  std::shared_ptr<Node> before;
  std::shared_ptr<Node> after;
  std::weak_ptr<Node> reparsed;  // set for a change of reparse data only
  std::vector<std::uint8_t> reparseBefore;
};

struct Volume {
  char16_t letter = u'C';
  win::DWORD serial = 0;
  win::DWORD flags = 0;
  std::u16string label;
  std::u16string fileSystem = u"NTFS";
  std::u16string device;  // e.g. \Device\HarddiskVolume1
  DeleteSemantics deletes = DeleteSemantics::Classic;  // of DeleteFileW and RemoveDirectoryW
  std::shared_ptr<Node> root;
  std::uint64_t nextIndex = 0x20;
  // NTFS logs every change of names and reparse data lazily: what is here, oldest first, a power
  // cut takes back. Off while a power cut takes changes back.
  std::vector<LoggedChange> unwritten;
  bool logging = true;
  // The volume itself, as \\.\X: opens it: its share modes are its own, not its root folder's.
  std::shared_ptr<Node> object;
};

// Where a path leads: the directory that holds its last name, and what that name names.
struct Location {
  Volume* volume = nullptr;
  std::shared_ptr<Node> parent;  // null for a volume root
  std::u16string name;           // the last name as written
  std::shared_ptr<Node> node;    // null when the last name does not exist
  bool trailingSeparator = false;
  bool deletePending = false;  // the last name was deleted while the file is still open
  bool verbatim = false;       // given as \\?\ or \??\ (no MAX_PATH limit, no normalising)
};

// An open file or directory: what it may do, where it reads and writes, and its share claim.
class OpenFile : public HandleObject {
 public:
  OpenFile(std::shared_ptr<Node> node, win::DWORD access, win::DWORD share, win::DWORD flags);
  ~OpenFile() override;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  std::shared_ptr<Node> node;
  win::DWORD access;
  win::DWORD flags;
  std::uint64_t position = 0;
  // The name it was opened by, for a delete through the handle: the folder that holds it and
  // its key there. Unset when the open followed a link at its last name.
  std::weak_ptr<Node> openedFolder;
  std::u16string openedKey;
  bool wholeVolume = false;  // opened as \\.\X:, the volume itself

 private:
  DataAccess claimed_;
  win::DWORD share_;
};

// A directory search in progress: the entries found, handed out one per FindNextFileW.
class FindSearch : public HandleObject {
 public:
  std::vector<win::WIN32_FIND_DATAW> entries;
  std::size_t next = 1;
};

// True when an open with this access and share mode is compatible with the opens in `share`.
bool ShareAllows(const ShareState& share, DataAccess access, win::DWORD shareMode);

// The NT path a Win32 path names, as RtlDosPathNameToNtPathName_U makes it: \??\ paths pass
// through, \\?\ and \\.\ become \??\, UNC paths \??\UNC\..., others \??\ and their full path.
std::u16string NtPathName(std::u16string_view path, std::u16string_view currentDirectory);

// GetFullPathNameW's rules: separators, "." and "..", drive- and root-relative forms, UNC,
// trailing dots and spaces. Returns an empty string for empty input.
std::u16string FullPathName(std::u16string_view path, std::u16string_view currentDirectory);

class FileSystem {
 public:
  FileSystem();  // with volume C:
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  Volume& AddVolume(char16_t letter, win::DWORD serial, win::DWORD flags);
  Volume* FindVolume(char16_t letter);  // null when there is none

  // Resolves a Win32 path against a current directory. `followLast` decides whether a junction
  // named by the last component is followed (intermediate ones always are). `wildcardsInLast`
  // admits '*' and '?' in the last name (for searches). Returns a Win32 error code.
  win::DWORD Resolve(std::u16string_view path, std::u16string_view currentDirectory,
                     bool followLast, Location& out, bool wildcardsInLast = false);

  // The volume root a drive letter reaches through the caller's device names, or an error code.
  win::DWORD DriveRoot(char16_t letter, std::shared_ptr<Node>& out, int depth = 0);

  std::shared_ptr<Node> NewFile(Volume& volume, win::DWORD attributes);
  std::shared_ptr<Node> NewDirectory(Volume& volume, const std::shared_ptr<Node>& parent);
  // A name for `node` in `directory`; a node not yet secured inherits from that directory.
  static void Link(const std::shared_ptr<Node>& directory, const std::u16string& name,
                   const std::shared_ptr<Node>& node);
  static void Unlink(const std::shared_ptr<Node>& directory, std::u16string_view name);
  // A delete of the name: it goes at once when the file is not open or the semantics are Posix,
  // else once the last handle closes (a name already pending stays so).
  static void DeleteName(const std::shared_ptr<Node>& directory, std::u16string_view name,
                         DeleteSemantics semantics);
  // Takes back a pending delete of `node`'s name `key` in `directory`, whoever asked for it.
  static void CancelDelete(const std::shared_ptr<Node>& directory, const std::u16string& key,
                           const std::shared_ptr<Node>& node);

  // What a power cut leaves: on each volume, the changes its log had not written are taken back,
  // newest first; data written since the last flush reads back as zeros (sizes are metadata,
  // and stay).
  void LoseUnflushedData();

  // The volume's log written out: every change before now is on the disk. A rename written
  // through does this, and so does a flush of the volume, which writes out all data too.
  static void WriteLog(Volume& volume) { volume.unwritten.clear(); }
  static void FlushVolume(Volume& volume);

  // Sets a node's reparse record (empty: none), logged as a change of its volume.
  static void SetReparse(const std::shared_ptr<Node>& node, std::vector<std::uint8_t> record);

  // MS-DOS device names (upper-cased, e.g. "X:") to their definitions, the one in force last:
  // the global set, and the set of each logon session (LogonSession; LocalSystem has none).
  using DeviceTable = std::map<std::u16string, std::vector<std::u16string>>;
  DeviceTable devices;
  std::map<int, DeviceTable> sessionDevices;
  // The definitions a process of `session` finds for an upper-cased name, its own set first;
  // null when there are none.
  const std::vector<std::u16string>* FindDevice(const std::u16string& name, int session) const;

  // Network shares, upper-cased "SERVER\SHARE" to the local directory they serve.
  std::map<std::u16string, std::u16string> shares;
  win::DWORD MapShare(std::u16string_view unc, std::u16string& local) const;

 private:
  win::DWORD Walk(std::shared_ptr<Node> directory, const std::vector<std::u16string>& names,
                  bool followLast, int depth, Location& out);
  win::DWORD MapNtPath(std::u16string_view target, int depth, std::shared_ptr<Node>& out,
                       bool folder = true);
  win::DWORD FollowJunction(const Node& link, int depth, std::shared_ptr<Node>& out);

  static void TakeBack(Volume& volume);

  std::vector<std::unique_ptr<Volume>> volumes_;
};

}  // namespace sim
