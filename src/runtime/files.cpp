// The tool's own folder and file removal: the folder held for the whole run,
// each file deleted as itself and confirmed gone, a last look before the
// completion window, and App.Path.
#include "runtime/files.h"

#include <new>

#include "runtime/report.h"

namespace rt {

// Literals as views of known length: GCC does not fold wcslen of a wide
// literal, and a call to it would import the C runtime for nothing.
using namespace std::string_view_literals;

namespace {

// Set while the program holds its folder: from start to end.
constinit const OwnFolder* g_ownFolder = nullptr;

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

// A file this run found gone, and what it was when it went (nothing: no id).
struct Removal {
  Removal* next;
  platform::FileId id;
  Text path;
};
constinit Removal* g_removals = nullptr;

// 0 while the file `path` names is gone, or still the file `id` that went;
// else what stands there now is another file, put back under the name.
std::uint32_t StillGone(const Text& path, const platform::FileId& id) {
  platform::OpenFile file;
  platform::FileFacts facts;
  const std::uint32_t status = g_ownFolder->Open(path.view(), platform::Access::Look, file, facts);
  if (status == 0) {
    return platform::SameFile(facts.id, id) ? 0 : system_error::kAlreadyExists;
  }
  return Gone(status) ? 0 : status;
}

// One attempt; 0 once the file is confirmed gone, with `id` what it was (no
// id when nothing was there).
std::uint32_t TryKill(const Text& path, platform::FileId& id) {
  platform::OpenFile file;
  platform::FileFacts facts;
  std::uint32_t status = g_ownFolder->Open(path.view(), platform::Access::Delete, file, facts);
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
  id = facts.id;
  return StillGone(path, id);
}

}  // namespace

OwnFolder::OwnFolder() : path_(App.Path()) {
  const std::uint32_t status = platform::HoldFolder(path_.view(), handle_, id_);
  if (status != 0) {
    vbaRaise(ErrorForSystemCode(status), status, {}, path_.view());
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
}

std::uint32_t OwnFolder::Open(std::wstring_view path, platform::Access access, platform::OpenFile& file,
                              platform::FileFacts& facts) const {
  // The very text the folder was opened by, a separator and a name: the
  // caller read the folder from App.Path. Anything else is not in it.
  const std::size_t separator = path.rfind(L'\\');
  const std::wstring_view folder = path_.view();
  bool inFolder = separator == path_.size();
  for (std::size_t i = 0; inFolder && i < separator; ++i) {
    inFolder = path[i] == folder[i];
  }
  if (!inFolder) {
    return system_error::kStoppedOnSymlink;
  }
  return platform::OpenInFolder(handle_, id_, {path.data() + separator + 1, path.size() - separator - 1}, access, file,
                                facts);
}

namespace {

[[noreturn]] void FileFailed(std::uint32_t status, const Text& path) {
  // Found only now: looking for the cause costs the normal run nothing.
  const Text advice = FileAdvice(status, path);
  Raise(ErrorForSystemCode(status), status, {}, path.view(), advice.view());
}

}  // namespace

std::uint32_t LookInOwnFolder(const Text& path, platform::OpenFile& file, platform::FileFacts& facts) {
  return g_ownFolder->Open(path.view(), platform::Access::Look, file, facts);
}

void rtcKillFiles(const Text& path) {
  platform::FileId id;
  // Gone already is what the caller wants; a second run then finishes the job.
  std::uint32_t status = TryKill(path, id);
  for (unsigned wait = kFirstWait; MayPass(status) && wait < kLastWait; wait *= 2) {
    platform::Pause(wait);
    status = TryKill(path, id);
  }
  if (status != 0) {
    FileFailed(status, path);
  }
  void* block = platform::Allocate(sizeof(Removal));
  if (block == nullptr) {
    OutOfMemory();
  }
  g_removals = new (block) Removal{g_removals, id, Text::Join({path.view()})};
}

void ConfirmRemoved() {
  for (const Removal* removal = g_removals; removal != nullptr; removal = removal->next) {
    const std::uint32_t status = StillGone(removal->path, removal->id);
    if (status != 0) {
      FileFailed(status, removal->path);
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
