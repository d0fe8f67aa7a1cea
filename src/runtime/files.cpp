// The tool's own folder and file removal: the folder held for the whole run,
// each file deleted as itself and confirmed gone, a last look before the
// completion window, and App.Path.
#include "runtime/files.h"

#include <array>
#include <new>
#include <utility>

#include "runtime/mirrors.h"
#include "runtime/report.h"

namespace rt {

// Literals as views of known length: GCC does not fold wcslen of a wide
// literal, and a call to it would import the C runtime for nothing.
using namespace std::string_view_literals;

namespace {

// Set while the program holds its folder: from start to end.
constinit OwnFolder* g_ownFolder = nullptr;
constinit std::uint32_t g_run = 0;

// Another program (a second copy of the tool, a virus scanner) may have a
// target open for a moment: it is looked at again, after waits of 15 ms
// doubling to about two seconds in all, before a failure counts. Only a
// failure costs them.
constexpr unsigned kFirstWait = 15;
constexpr unsigned kLastWait = 1000;
// Marking a file for deletion may wait on another program for ever (an
// oplock it does not give up): given up after as long, it counts as in use.
// Another user's names share one such deadline for all the waiting they
// cause, so that no user holds the run for longer; the tool's own files,
// whose user is at the screen, each have their retries and a deadline.
constexpr unsigned kMarkDeadline = 2000;
constexpr unsigned kNoLimit = ~0U;
// What may still be waited on the folder being emptied.
constinit unsigned g_left = 0;

bool MayPass(std::uint32_t status) {
  return status == system_error::kAccessDenied || status == system_error::kSharingViolation;
}

// Absent, or accepted for deletion (another handle may keep the name a
// moment longer): gone, as far as the tool is concerned.
bool Gone(std::uint32_t status) {
  return status == system_error::kFileNotFound || status == system_error::kDeletePending;
}

// A file this run removed, in order: the folder it went from, its path as
// the report names it (the name from `name` on), and what it was when it
// went (nothing: no id).
struct Removal {
  Removal* next;
  const HeldFolder* folder;
  platform::FileFacts went;
  Text path;
  std::size_t name;
};
constinit Removal* g_removals = nullptr;
constinit Removal* g_last = nullptr;
// The folder's own last removal: the mirrors' follow it.
constinit const Removal* g_ownLast = nullptr;

template <class Node>
void Free(Node*& list) {
  while (list != nullptr) {
    Node* node = list;
    list = node->next;
    node->~Node();
    platform::Release(node);
  }
}

template <class Node, class... Parts>
Node* Allocated(Parts&&... parts) {
  void* block = platform::Allocate(sizeof(Node));
  if (block == nullptr) {
    OutOfMemory();
  }
  return new (block) Node{nullptr, std::forward<Parts>(parts)...};
}

// 0 while the file `name` in `folder` is gone: absent or its deletion
// pending. Otherwise 183: another file stands under the name, or the
// deletion did not stand (another program with delete access took it back,
// or a filter refused it). Windows opens no name whose deletion is pending,
// so a name that opens has not gone. Where the system keeps a deleted file's
// name while another handle has it (Wine), the very file that went (its
// number and its change time, which a file made anew does not share) still
// counts while a handle is seen to keep it; with none to be seen (another
// copy's look shows in no sharing check) it is looked at again for about two
// seconds before its deletion counts as not standing.
std::uint32_t StillGone(const HeldFolder& folder, std::wstring_view name, const platform::FileFacts& went) {
  for (unsigned wait = kFirstWait;; wait *= 2) {
    platform::OpenFile file;
    platform::FileFacts facts;
    std::uint32_t status = platform::OpenInFolder(folder.handle, folder.id, name, platform::Access::Look, file, facts);
    if (status == 0) {
      // (Half by half: comparing the arrays whole calls memcmp, which the
      // tool does not carry.)
      if (!platform::KeepsDeletedNames() || !platform::SameFile(facts.id, went.id) ||
          facts.changeTime[0] != went.changeTime[0] || facts.changeTime[1] != went.changeTime[1]) {
        return system_error::kAlreadyExists;
      }
      file.reset();
      status = platform::OpenInFolder(folder.handle, folder.id, name, platform::Access::Alone, file, facts);
      if (status == 0) {
        if (wait >= kLastWait) {
          return system_error::kAlreadyExists;
        }
        file.reset();
        platform::Pause(wait);
        continue;
      }
      if (status == system_error::kSharingViolation) {
        return 0;
      }
    }
    return Gone(status) ? 0 : status;
  }
}

// One attempt; 0 once the file is confirmed gone, with `went` what it was.
std::uint32_t TryKill(const HeldFolder& folder, std::wstring_view name, platform::FileFacts& went) {
  platform::OpenFile file;
  platform::FileFacts facts;
  std::uint32_t status = platform::OpenInFolder(folder.handle, folder.id, name, platform::Access::Delete, file, facts);
  if (Gone(status)) {
    return 0;
  }
  if (status == 0) {
    unsigned deadline = g_left < kMarkDeadline ? g_left : kMarkDeadline;
    g_left -= deadline;
    status = platform::MarkForDeletion(file, deadline);
    g_left += deadline;
  }
  if (status != 0) {
    return status;
  }
  file.reset();
  went = facts;
  return StillGone(folder, name, went);
}

// The mirrors held, each until the last look: it needs them.
struct HeldMirror {
  HeldMirror* next;
  HeldFolder folder;
};
constinit HeldMirror* g_mirrors = nullptr;

// A file that could not be deleted, or did not stay gone: in another user's
// folder noted, otherwise the run-time error, with every mirror let go
// first.
void FileFailed(std::uint32_t status, const HeldFolder& folder, const Text& path, std::size_t name) {
  // Found only now: looking for the cause costs the normal run nothing.
  const bool listed = !folder.theirs || NoteListed();
  const Text advice =
      listed ? FileAdvice(status, folder.handle, folder.id, {path.c_str() + name, path.size() - name}) : Text{};
  if (!folder.theirs) {
    Free(g_mirrors);
  }
  Failed(folder.theirs, status, {}, path.view(), advice.view());
}

// Deletes the file `path` names from `folder` (the name from `name` on),
// waiting out a program that has it for a moment, and records it. The
// waiting is taken from g_left: once that is spent, a name that would need
// more fails at its first try.
void Kill(const HeldFolder& folder, Text path, std::size_t name) {
  const std::wstring_view file{path.c_str() + name, path.size() - name};
  platform::FileFacts went;
  // Gone already is what the caller wants; a second run then finishes the job.
  std::uint32_t status = TryKill(folder, file, went);
  for (unsigned wait = kFirstWait; MayPass(status) && wait < kLastWait && wait <= g_left; wait *= 2) {
    platform::Pause(wait);
    g_left -= wait;
    status = TryKill(folder, file, went);
  }
  if (status != 0) {
    // A mark given up on has waited its time already: in use, not tried again.
    FileFailed(status == system_error::kTimedOut ? system_error::kSharingViolation : status, folder, path, name);
    return;
  }
  auto* removal = Allocated<Removal>(&folder, went, std::move(path), name);
  (g_last != nullptr ? g_last->next : g_removals) = removal;
  g_last = removal;
}

// Where the name starts when `path` is the text `folder` was opened by, a
// separator and a name; 0 for any other path, which is not in it.
std::size_t NameIn(const HeldFolder& folder, std::wstring_view path) {
  const std::size_t separator = path.rfind(L'\\');
  const std::wstring_view text = folder.path.view();
  bool inFolder = separator == text.size() && folder.handle.get() != nullptr;
  for (std::size_t i = 0; inFolder && i < separator; ++i) {
    inFolder = path[i] == text[i];
  }
  return inFolder ? separator + 1 : 0;
}

}  // namespace

OwnFolder::OwnFolder() {
  own_.path = App.Path();
  platform::FileFacts facts;
  const std::uint32_t status = platform::HoldFolder(nullptr, own_.path.view(), own_.handle, facts);
  own_.id = facts.id;
  if (status != 0) {
    vbaRaise(ErrorForSystemCode(status), status, {}, own_.path.view());
  }
  g_ownFolder = this;
  ++g_run;
}

std::uint32_t RunNumber() { return g_run; }

OwnFolder::~OwnFolder() {
  g_ownFolder = nullptr;
  // What was removed from this folder is its own record.
  Free(g_removals);
  g_last = nullptr;
  Free(g_mirrors);
}

void rtcKillFiles(const Text& path) {
  // The very text the folder was opened by, a separator and a name: the
  // caller read the folder from App.Path. Anything else is not in it.
  const HeldFolder& own = g_ownFolder->Own();
  const std::size_t name = NameIn(own, path.view());
  if (name == 0) {
    FileFailed(system_error::kStoppedOnSymlink, own, path, path.size());
  }
  g_left = kNoLimit;
  Kill(own, Text::Join({path.view()}), name);
}

namespace {

// Holds the mirror below the local application data `profile` + `local`
// (a profile's folder and its "\AppData\Local", or the tool's own account's
// and nothing) and removes from it what went from the folder, in the same
// order. Another user's mirror that cannot be held is noted.
void RemoveFromMirror(std::wstring_view profile, std::wstring_view local, std::wstring_view tail, bool theirs) {
  auto* mirror = Allocated<HeldMirror>(HeldFolder{});
  mirror->next = g_mirrors;
  g_mirrors = mirror;
  HeldFolder& held = mirror->folder;
  held.path = Text::Join({profile, local, tail});
  held.theirs = theirs;
  const std::uint32_t status = HoldMirror(held, profile.size());
  if (status != 0) {
    Failed(theirs, status, {}, held.path.view(), Advice(status, false).view());
    return;
  }
  // The folder's own removals, up to the last one, fixed before any mirror's
  // were added behind it. Another user's share one deadline.
  g_left = theirs ? kMarkDeadline : kNoLimit;
  for (const Removal* removal = held.handle.get() != nullptr ? g_removals : nullptr; removal != nullptr;
       removal = removal == g_ownLast ? nullptr : removal->next) {
    const std::wstring_view name{removal->path.c_str() + removal->name, removal->path.size() - removal->name};
    Kill(held, Text::Join({held.path.view(), L"\\"sv, name}), held.path.size() + 1);
  }
}

}  // namespace

void FinishRemoval() {
  const HeldFolder& own = g_ownFolder->Own();
  Text tail;
  g_ownLast = g_last;
  std::uint32_t status = g_removals != nullptr ? MirrorTail(own.handle, tail) : 0;
  if (status == 0 && tail.size() != 0) {
    status = ForEachMirrorOwner(tail.view(), RemoveFromMirror);
  }
  if (status != 0) {
    Free(g_mirrors);
    vbaRaise(ErrorForSystemCode(status), status, {}, own.path.view());
  }
  for (const Removal* removal = g_removals; removal != nullptr; removal = removal->next) {
    status = StillGone(*removal->folder, {removal->path.c_str() + removal->name, removal->path.size() - removal->name},
                       removal->went);
    if (status != 0) {
      FileFailed(status, *removal->folder, removal->path, removal->name);
    }
  }
  // Nothing of another user's is held while the window or a report shows.
  Free(g_removals);
  g_last = nullptr;
  g_ownLast = nullptr;
  Free(g_mirrors);
  ReportNoted();
}

Text FolderOf(std::wstring_view executable) {
  const std::size_t separator = executable.find_last_of(L"\\/"sv);
  if (separator == std::wstring_view::npos) {
    return Text::WithSize(0);
  }
  // "C:\tool.exe" keeps its root separator: "C:" alone would mean the drive's
  // current folder. (substr could throw, which would bring in the exception
  // runtime; the bounds are known here.)
  const bool driveRoot = separator > 0 && executable[separator - 1] == L':';
  return Text::Join({std::wstring_view(executable.data(), driveRoot ? separator + 1 : separator)});
}

constinit const AppObject App{};

Text AppObject::Path() const {
  Text executable;
  const std::uint32_t status = platform::ExecutableName(executable);
  if (status != 0) {
    vbaRaise(ErrorForSystemCode(status), status, {}, {});
  }
  return FolderOf(executable.view());
}

}  // namespace rt
