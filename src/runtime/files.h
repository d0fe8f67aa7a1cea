// The tool's own folder and the removal of files from it: App.Path, the
// folder held for the whole run, each deletion confirmed, and a last look
// before the program says they are gone.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace rt {

// The tool's own folder, opened before anything is asked and held until the
// program ends, so that it cannot be renamed or replaced meanwhile. A folder
// that cannot be opened raises the run-time error naming it.
class OwnFolder {
 public:
  OwnFolder();
  OwnFolder(const OwnFolder&) = delete;
  OwnFolder& operator=(const OwnFolder&) = delete;
  OwnFolder(OwnFolder&&) = delete;
  OwnFolder& operator=(OwnFolder&&) = delete;
  ~OwnFolder();

  // Opens the file `path` names, as the name itself, when `path` is this
  // folder's text, a separator and a name; refuses any other with 681.
  std::uint32_t Open(std::wstring_view path, platform::Access access, platform::OpenFile& file,
                     platform::FileFacts& facts) const;

 private:
  platform::OpenFile handle_;
  platform::FileId id_;
  Text path_;
};

// Deletes one file, the name itself and only if it lies directly in the held
// own folder (ThunRTMain holds it before any handler runs), and confirms it
// gone: absent, or accepted for deletion and waiting only for another
// program to let go of it. A file that is not there is as good as deleted;
// a name that leads anywhere else is refused; another file put back under
// the name is not deleted. That and any other failure raise the run-time
// error naming the path.
void rtcKillFiles(const Text& path);

// Opens what stands under `path` in the held own folder, for a look at it,
// as OwnFolder::Open does.
std::uint32_t LookInOwnFolder(const Text& path, platform::OpenFile& file, platform::FileFacts& facts);

// Confirms once more that every file rtcKillFiles was given is gone, before
// the program says so; raises the run-time error naming one that is back.
void ConfirmRemoved();

// The folder part of an executable's full name: no trailing separator,
// except at a drive root ("C:\").
Text FolderOf(std::wstring_view executable);

struct AppObject {
  // The running executable's folder, read afresh at every call.
  [[nodiscard]] Text Path() const;
};
// constinit: fixed at compile time, which the check does not see.
extern constinit const AppObject App;  // NOLINT(bugprone-dynamic-static-initializers)

}  // namespace rt
