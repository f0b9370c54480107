// The one place that decides what a link's place holds now, against what is wanted there and
// what the list stored there; that carries a change out through the service; and that takes it
// back. apply runs many steps as one undoable run, the drive commands one step each, and both
// decide from the same reading.
#pragma once

#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "engine/DrivePolicy.h"
#include "engine/LinkList.h"
#include "frontend/Console.h"
#include "frontend/DriveLetter.h"
#include "frontend/Inspection.h"
#include "frontend/ServiceRequest.h"
#include "platform/WinApi.h"

namespace frontend {

// Definitions of one stored folder that a removal takes off at most: an older restore could stack
// the same mapping more than once.
inline constexpr int kMostStackedMappings = 8;

// What stands at a link's place now, against what is wanted there and what the list stored
// there.
enum class LinkAt { free, wanted, stored, other };

// One link to make (and the stored one it replaces), or one stored link to take off, as the
// machine has it now.
struct Step {
  LinkRequest record;      // what it stands for: Create, kind, link, target
  std::u16string was;    // the stored target the entry moves the link from; empty when none
  std::u16string label;  // a drive's label as wanted; empty when none is asked
  std::size_t line = 0;  // where a links file gives it; 0 otherwise
  LinkAt at = LinkAt::free;
  DriveLetterNow letter;   // a drive: the letter as read
  bool stored = false;     // the list holds the link (onto `was` when that is given)
  bool prune = false;      // a stored link to take off: `record` is the stored one
  bool policy = false;     // a letter machine policy maps: in force as it is, never changed
  bool labelShown = true;  // the drive's label is the wanted one in the registry (or none is asked)
  bool labelStored = true;  // and in the list
  bool labelOwned = false;  // a removal: the list stores a label for the letter
  bool relabel = false;     // so it is to be set
  win::DWORD conflict = 0;  // why it cannot be carried out
  std::u16string why;
  // What was done, for the undo and for what is told.
  bool removed = false;  // the stored link (onto `was`, or the pruned one) is off
  bool made = false;     // the wanted link was made
  Inspection madeFile;   // a hard link made: its identity
  std::vector<std::u16string> madeFolders;  // a junction made: folders made for it, deepest first
  ServiceOutcome outcome;                   // the last request's
  win::DWORD stuck = 0;                     // a change that ended short with no failed request: why
  bool leftChanged = false;                 // its undo could not be carried out whole

  bool InForce() const { return at == LinkAt::wanted; }
  // The stored link that is to go: moved to another target, or taken off.
  const std::u16string& Old() const { return prune ? record.target : was; }
  bool RemovesOld() const { return at == LinkAt::stored; }
  bool Makes() const { return !prune && at != LinkAt::wanted; }
  // "policy", "removed", "changed", "mapped", "created", "stored" or "none".
  std::u16string Change() const;
  // "Drive S: -> C:\data".
  std::u16string Describe() const;
};

// A step that makes `kind link -> target`, and one that takes off a stored link.
Step MakeStep(LinkKind kind, const std::u16string& link, const std::u16string& target,
              const std::u16string& label = {});
Step RemoveStep(const LinkRequest& stored);

// Makes the step a letter machine policy holds, when `policy` names it: the service maps it,
// so it is in force and nothing here changes it, nor stores it.
void HandToPolicy(Step& step, const std::vector<PolicyDrive>& policy);
// The letter's entry in the policy, or null.
const PolicyDrive* PolicyOf(const std::vector<PolicyDrive>& policy, std::u16string_view letter);

// Whether the two records name the same place: a letter, or a path.
bool SameLink(const LinkRequest& a, const LinkRequest& b);

// The list's side: whether it stores the link and onto what, and whether the label is to change.
void ExamineList(Step& step, const LinkList& links);
// The wanted target must be there (a junction's may be made); false with the step refused.
bool TargetUsable(Step& step);
// The machine's side: where the link stands now. A link there that is neither the wanted one nor
// the stored one is not corvane's, and a step that makes one is refused (183). 0, or the code
// when the place cannot be read (the step refused with it).
win::DWORD ExamineLink(Step& step);
// All three, as a links file's entry is checked.
void Examine(Step& step, const LinkList& links);

// Takes the stored link off: every definition of the letter onto the stored folder (an older
// restore could stack it), the junction or the hard link. Then makes the wanted one. Each is
// false when it ended short.
bool RemoveOld(Step& step);
bool Make(Step& step);
// Tells how the step's last change went, why it ended short or the service's outcome, and gives
// the exit code.
win::DWORD TellOutcome(const Step& step);

// Takes back what the steps changed, newest first, each link only while it is still the one the
// run made, a stored one put back only where its place is free; true when all of it was. Each
// link left changed is named.
bool Undo(std::span<Step> steps);

// The list once the steps are carried out: every record of a removed or moved link gone, the
// moved and new ones added, the labels set.
LinkList ListAfter(const LinkList& links, std::span<const Step> steps);

// The steps as a plan for a person ("mapped   Drive S: -> C:\data"), and as JSON.
Lines PlanText(std::span<const Step> steps);
nlohmann::ordered_json EntryJson(const Step& step);
nlohmann::ordered_json StepsJson(std::span<const Step> steps);
// A run that failed part way: the change that failed, whether all it changed before was taken
// back, and the links left changed when not.
std::u16string FailureJson(const Step& failed, win::DWORD code, std::span<const Step> steps,
                           bool rolledBack);

}  // namespace frontend
