// The tool's own folder and file removal: the folder held for the whole run,
// each file deleted as itself and confirmed gone, a last look before the
// completion window, and App.Path.
#include "runtime/files.h"

#include <array>
#include <new>
#include <utility>

#include "runtime/report.h"

namespace rt {

// Literals as views of known length: GCC does not fold wcslen of a wide
// literal, and a call to it would import the C runtime for nothing.
using namespace std::string_view_literals;

namespace {

// Set while the program holds its folder: from start to end.
constinit OwnFolder* g_ownFolder = nullptr;

// Another program (a second copy of the tool, a virus scanner) may have a
// target open for a moment: it is looked at again, after waits of 15 ms
// doubling to about two seconds in all, before a failure counts. Only a
// failure costs them.
constexpr unsigned kFirstWait = 15;
constexpr unsigned kLastWait = 1000;

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
    status = platform::MarkForDeletion(file);
  }
  if (status != 0) {
    return status;
  }
  file.reset();
  went = facts;
  return StillGone(folder, name, went);
}

[[noreturn]] void FileFailed(std::uint32_t status, const HeldFolder& folder, const Text& path, std::size_t name) {
  // Found only now: looking for the cause costs the normal run nothing.
  const Text advice = FileAdvice(status, folder.handle, folder.id, {path.c_str() + name, path.size() - name});
  Raise(ErrorForSystemCode(status), status, {}, path.view(), advice.view());
}

// Deletes the file `path` names from `folder` (the name from `name` on),
// waiting out a program that has it for a moment, and records it.
void Kill(const HeldFolder& folder, Text path, std::size_t name) {
  const std::wstring_view file{path.c_str() + name, path.size() - name};
  platform::FileFacts went;
  // Gone already is what the caller wants; a second run then finishes the job.
  std::uint32_t status = TryKill(folder, file, went);
  for (unsigned wait = kFirstWait; MayPass(status) && wait < kLastWait; wait *= 2) {
    platform::Pause(wait);
    status = TryKill(folder, file, went);
  }
  if (status != 0) {
    FileFailed(status, folder, path, name);
  }
  void* block = platform::Allocate(sizeof(Removal));
  if (block == nullptr) {
    OutOfMemory();
  }
  auto* removal = new (block) Removal{nullptr, &folder, went, std::move(path), name};
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
  const std::uint32_t status = platform::HoldFolder(own_.path.view(), own_.handle, own_.id);
  if (status != 0) {
    vbaRaise(ErrorForSystemCode(status), status, {}, own_.path.view());
  }
  g_ownFolder = this;
}

OwnFolder::~OwnFolder() {
  g_ownFolder = nullptr;
  // What was removed from this folder is its own record.
  while (g_removals != nullptr) {
    Removal* removal = g_removals;
    g_removals = removal->next;
    removal->~Removal();
    platform::Release(removal);
  }
  g_last = nullptr;
}

void rtcKillFiles(const Text& path) {
  // The very text the folder was opened by, a separator and a name: the
  // caller read the folder from App.Path. Anything else is not in it.
  const HeldFolder& own = g_ownFolder->Own();
  const std::size_t name = NameIn(own, path.view());
  if (name == 0) {
    FileFailed(system_error::kStoppedOnSymlink, own, path, path.size());
  }
  Kill(own, Text::Join({path.view()}), name);
}

void FinishRemoval() {
  HeldFolder& mirror = g_ownFolder->Mirror();
  const HeldFolder& own = g_ownFolder->Own();
  if (g_removals != nullptr) {
    // Where the folder really lies decides whether it has a mirror, and
    // names it, as it does for Windows; the path the tool was started by
    // does not. A mirror that is not there has nothing to remove; one
    // reached through a link is refused.
    std::uint32_t status = platform::VirtualisedName(own.handle, mirror.path);
    if (status == 0 && mirror.path.size() != 0) {
      status = platform::HoldMirror(LoggedOnUser(), mirror.path.view(), mirror.handle, mirror.id, mirror.path);
    }
    if (status != 0) {
      vbaRaise(ErrorForSystemCode(status), status, {}, mirror.path.size() != 0 ? mirror.path.view() : own.path.view());
    }
  }
  // The mirror's removals follow the folder's, so the walk stops at its own.
  for (const Removal* removal = g_removals;
       mirror.handle.get() != nullptr && removal != nullptr && removal->folder != &mirror; removal = removal->next) {
    const std::wstring_view name{removal->path.c_str() + removal->name, removal->path.size() - removal->name};
    Kill(mirror, Text::Join({mirror.path.view(), L"\\"sv, name}), mirror.path.size() + 1);
  }
  for (const Removal* removal = g_removals; removal != nullptr; removal = removal->next) {
    const std::uint32_t status = StillGone(
        *removal->folder, {removal->path.c_str() + removal->name, removal->path.size() - removal->name}, removal->went);
    if (status != 0) {
      FileFailed(status, *removal->folder, removal->path, removal->name);
    }
  }
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
