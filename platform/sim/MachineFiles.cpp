// The test-facing file-system members of Machine: set up and inspect the simulated volumes
// without going through (or disturbing) the win:: calls under test.
#include <algorithm>
#include <cstdlib>

#include "platform/sim/FileSystem.h"
#include "platform/sim/Machine.h"
#include "platform/sim/MachineState.h"

namespace sim {
namespace {

// Test paths are absolute; a relative one is taken from the root of C:.
constexpr std::u16string_view kBase = u"C:\\";

std::shared_ptr<Node> Find(MachineState& state, std::u16string_view path) {
  Location at;
  if (state.files->Resolve(path, kBase, true, at) != 0) return nullptr;
  return at.node;
}

// Makes `path` a directory, with its parents; null when a file is in the way.
std::shared_ptr<Node> EnsureDirectory(FileSystem& files, const std::u16string& path) {
  Location at;
  win::DWORD error = files.Resolve(path, kBase, true, at);
  if (error == win::ERROR_PATH_NOT_FOUND) {
    const std::size_t slash = path.find_last_of(u'\\');
    if (slash == std::u16string::npos || slash < 3) return nullptr;
    if (!EnsureDirectory(files, path.substr(0, slash))) return nullptr;
    error = files.Resolve(path, kBase, true, at);
  }
  if (error != 0) return nullptr;
  if (!at.node) {
    at.node = files.NewDirectory(*at.volume, at.parent);
    FileSystem::Link(at.parent, at.name, at.node);
  }
  return at.node->directory ? at.node : nullptr;
}

// Resolves `path` after making the directories above it.
bool MakeParents(FileSystem& files, std::u16string_view path, Location& at) {
  const std::u16string full = FullPathName(path, kBase);
  const std::size_t slash = full.find_last_of(u'\\');
  if (slash != std::u16string::npos && slash > 2 &&
      !EnsureDirectory(files, full.substr(0, slash))) {
    return false;
  }
  return files.Resolve(full, kBase, true, at) == 0;
}

}  // namespace

void Machine::AddVolume(char16_t letter, win::DWORD serial, win::DWORD flags) {
  Guard guard(Lock());
  state_->files->AddVolume(letter, serial, flags);
}

void Machine::SetDeleteSemantics(char16_t letter, DeleteSemantics semantics) {
  Guard guard(Lock());
  if (Volume* volume = state_->files->FindVolume(letter)) volume->deletes = semantics;
}

void Machine::MakeDirectories(std::u16string_view path) {
  Guard guard(Lock());
  FileSystem& files = *state_->files;
  Location at;
  if (!MakeParents(files, path, at) || at.node || !at.parent) return;
  FileSystem::Link(at.parent, at.name, files.NewDirectory(*at.volume, at.parent));
  // What a test lays out is on the disk, and so, as the log is kept in order, what came before.
  FileSystem::WriteLog(*at.volume);
}

void Machine::PutFile(std::u16string_view path, std::string_view content) {
  Guard guard(Lock());
  FileSystem& files = *state_->files;
  Location at;
  if (!MakeParents(files, path, at) || !at.parent) return;
  if (at.node && at.node->directory) return;
  if (!at.node) {
    at.node = files.NewFile(*at.volume, win::FILE_ATTRIBUTE_ARCHIVE);
    FileSystem::Link(at.parent, at.name, at.node);
  }
  at.node->content.assign(content);
  at.node->durable.assign(content);
  at.node->unflushed = false;
  FileSystem::WriteLog(*at.volume);
}

void Machine::PowerCut() {
  Guard guard(Lock());
  state_->files->LoseUnflushedData();
}

std::optional<std::string> Machine::FileContent(std::u16string_view path) const {
  Guard guard(Lock());
  auto node = Find(*state_, path);
  if (!node || node->directory) return std::nullopt;
  return node->content;
}

bool Machine::Exists(std::u16string_view path) const {
  Guard guard(Lock());
  return Find(*state_, path) != nullptr;
}

bool Machine::IsDirectory(std::u16string_view path) const {
  Guard guard(Lock());
  auto node = Find(*state_, path);
  return node && node->directory;
}

win::DWORD Machine::LinkCount(std::u16string_view path) const {
  Guard guard(Lock());
  auto node = Find(*state_, path);
  return node ? node->links : 0;
}

std::vector<std::u16string> Machine::List(std::u16string_view directory) const {
  Guard guard(Lock());
  std::vector<std::u16string> names;
  auto node = Find(*state_, directory);
  if (!node || !node->directory) return names;
  for (const auto& [key, entry] : node->children) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

void Machine::AddShare(std::u16string_view serverAndShare, std::u16string_view localDirectory) {
  Guard guard(Lock());
  state_->files->shares[Upper(serverAndShare)] = FullPathName(localDirectory, kBase);
}

std::vector<std::u16string> Machine::DosDevice(std::u16string_view name) const {
  Guard guard(Lock());
  const auto& devices = state_->files->devices;
  auto it = devices.find(Upper(name));
  if (it == devices.end()) return {};
  return {it->second.rbegin(), it->second.rend()};
}

void Machine::SetCurrentDirectory(std::u16string_view path) {
  Guard guard(Lock());
  std::u16string full = FullPathName(path, kBase);
  if (full.size() > 3 && full.back() == u'\\') full.pop_back();
  state_->testProcess.currentDirectory = std::move(full);
}

}  // namespace sim

namespace sim {

namespace {

// What SetNamedSecurityInfoW does below a folder whose list changed: every file and folder that
// only inherits takes its entries anew; one with a list of its own keeps it, and what is below it
// too.
void Propagate(const Node& folder) {
  for (const auto& [key, entry] : folder.children) {
    Node& child = *entry.node;
    if (child.security.explicitDacl) continue;
    child.security.dacl = InheritedEntries(folder.security, child.directory, child.security.owner);
    if (child.directory) Propagate(child);
  }
}

}  // namespace

void Machine::SetSecurity(std::u16string_view path, std::u16string_view sddl) {
  Guard guard(Lock());
  Location at;
  if (state_->files->Resolve(path, kBase, false, at) != 0 || !at.node) std::abort();
  bool hasOwner = false;
  bool hasDacl = false;
  if (!ParseSddl(sddl, at.node->security, hasOwner, hasDacl)) std::abort();
  if (hasDacl && at.node->directory) Propagate(*at.node);
}

std::u16string Machine::Security(std::u16string_view path) const {
  Guard guard(Lock());
  Location at;
  if (state_->files->Resolve(path, kBase, false, at) != 0 || !at.node) return {};
  return SddlText(at.node->security);
}

}  // namespace sim
