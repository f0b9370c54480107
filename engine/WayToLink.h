// The folders on the way to a link, held open while a request runs. A user who may change one of
// them could otherwise swap it for a junction to another place between the service's checks and
// its use of the path, and have the service, as LocalSystem, make or delete things there.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"
#include "platform/WinApi.h"

// A folder on the way that is a link (a junction, a mount point, a symbolic link) that anyone but
// SYSTEM, Administrators or TrustedInstaller may change, re-point or replace, or one that became a
// link while the request ran: the request is refused with this code ("The path cannot be
// traversed because it contains an untrusted mount point.").
inline constexpr win::DWORD kUntrustedLinkOnTheWay = win::ERROR_UNTRUSTED_MOUNT_POINT;

// More links on the way than this (a loop among them, or a chain too long to be meant) ends the
// walk with ERROR_CANT_RESOLVE_FILENAME, as the system ends its own.
inline constexpr int kMostLinksFollowed = 31;

class WayToLink {
 public:
  // Holds every existing folder from the volume root of `link` down to its parent, each opened
  // by its name below the one held before it and without following a link there. A link that
  // only trusted users may change is held, and its target walked the same way from its own volume
  // root, never by its path; a drive letter that maps a folder is walked as that folder. False,
  // with the last-error code, when a folder cannot be held (in use by another program's delete or
  // rename, or closed to the service), when a link on the way others may change (Refused() then
  // names it and Why() says who), or when more than kMostLinksFollowed links are on the way. A
  // missing folder, a file on the way or a name that is none ends the walk: what the request does
  // next fails on its own there.
  bool Hold(const std::u16string& link);
  // Makes the missing folders down to the link's parent, each new (one that someone else made
  // meanwhile is gone on with only when SYSTEM, Administrators or TrustedInstaller own it, else
  // ERROR_ALREADY_EXISTS), below the last one held and held itself before the next. Nothing is
  // made inside a link's target: a link that leads nowhere ends the walk. False as Hold.
  bool CreateMissing();
  // The link's own name opened, or made, below its held parent, never following a link at it
  // (NtCreateFile's disposition and options); invalid, with the last-error code, when it cannot
  // be, or when the walk did not reach the parent (ERROR_PATH_NOT_FOUND).
  win::UniqueFile OpenLink(win::DWORD access, win::DWORD share, win::ULONG disposition,
                           win::ULONG options) const;
  // The link's own name made a new folder below its held parent, opened unshared, with the
  // self-relative `descriptor` (may be null); ERROR_ALREADY_EXISTS when the name is taken.
  win::UniqueFile CreateLinkFolder(win::DWORD access, void* descriptor) const;
  // Who but SYSTEM, Administrators and TrustedInstaller may change, remove or replace `name`, a
  // name in the link's held parent opened with READ_CONTROL (WhoElseMayChangeEntry).
  std::u16string WhoElseMayChange(win::HANDLE name) const;
  // Another name in the link's held parent, opened as OpenLink opens the link's own.
  win::UniqueFile OpenBeside(const std::u16string& name, win::DWORD access, win::DWORD share,
                             win::ULONG disposition, win::ULONG options) const;
  // The link's parent by the path the walk took (every link on the way replaced by its target),
  // for listing it, and the link's own name; the path is empty when the walk did not reach the
  // parent.
  std::u16string ParentPath() const;
  const std::u16string& LinkName() const { return linkName_; }
  // Makes the link's own name, below its held parent, a new name of the open `file`
  // (NtSetInformationFile's link class); with `supersede`, an existing file of that name is
  // replaced in the same step. False, with the last-error code, when it cannot be made.
  bool LinkFile(win::HANDLE file, bool supersede) const;
  // Whether every plain folder held is still no link. The link's parent may be empty, and an
  // empty folder can be made a mount point even while it is held (that needs only the right to
  // write its attributes, which sharing does not govern): a name made in it by its path is
  // checked with this afterwards.
  bool Intact();
  const std::u16string& Refused() const { return refused_; }
  // Who else may change the refused link ("it is owned by S-1-..."); empty for one that became a
  // link while the request ran.
  const std::u16string& Why() const { return why_; }

 private:
  // Holds the next folder; `moved` is false when it is missing (or, with FILE_OPEN_IF, could
  // not be made).
  bool HoldNext(win::ULONG disposition, bool& moved);
  bool Walk(win::ULONG disposition);
  bool Restart(const std::u16string& from, const std::u16string& to);
  bool Refuse(const std::u16string& path, std::u16string why, win::DWORD code);
  bool ReachedParent() const;

  std::u16string root_;                // the volume root still to be opened; empty once held
  std::vector<std::u16string> names_;  // the folders still to be walked, the next one last
  std::u16string walked_;              // the path of the folder held last
  std::u16string linkName_;
  int followed_ = 0;
  // While a link's target is walked (more names are left than the rest_ below the link), its
  // folders must exist: nothing is made through a link.
  bool inTarget_ = false;
  std::size_t rest_ = 0;
  bool InTarget() const { return inTarget_ && names_.size() > rest_; }
  bool ended_ = false;  // a file on the way, or no volume root
  struct Held {
    win::UniqueFile handle;
    bool plain;  // no link when it was held
    std::u16string path;
  };
  std::vector<Held> held_;
  win::HANDLE below_ = nullptr;  // where the next name is looked up
  std::u16string refused_;
  std::u16string why_;
};
