// The tool's own folder and the removal of files from it: App.Path, the
// folder held for the whole run, each deletion confirmed, and a last look
// before the program says they are gone.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace rt {

// A folder held open: its handle, its identity, the text it was opened by,
// and whether it is another user's (what fails there is noted, and the run
// goes on).
struct HeldFolder {
  platform::OpenFile handle;
  platform::FileId id;
  Text path;
  bool theirs = false;
};

// The tool's own folder, opened before anything is asked and held until the
// program ends, so that it cannot be renamed or replaced meanwhile; and,
// once files went from it, its VirtualStore mirrors, held likewise. A folder
// that cannot be opened raises the run-time error naming it.
class OwnFolder {
 public:
  OwnFolder();
  OwnFolder(const OwnFolder&) = delete;
  OwnFolder& operator=(const OwnFolder&) = delete;
  OwnFolder(OwnFolder&&) = delete;
  OwnFolder& operator=(OwnFolder&&) = delete;
  ~OwnFolder();

  [[nodiscard]] const HeldFolder& Own() const { return own_; }

 private:
  HeldFolder own_;
};

// Which run of the program this is, from 1: one a process, but for tests
// that run it again and again. For what is asked once a run.
std::uint32_t RunNumber();

// Deletes one file, the name itself and only if it lies directly in the held
// own folder (ThunRTMain holds it before any handler runs), and confirms it
// gone: absent, or accepted for deletion and waiting only for another
// program to let go of it. A file that is not there is as good as deleted;
// a name that leads anywhere else is refused; another file put back under
// the name is not deleted. That and any other failure raise the run-time
// error naming the path.
void rtcKillFiles(const Text& path);

// What the program removed from its folder, it removes from each of the
// folder's mirrors too (see mirrors.h), in the same order and the same way:
// where Windows virtualises a legacy program's writes, the program saw a
// mirror's files as its own. Another user's mirror is reached from their
// profile's folder one folder at a time, never through a link.
// Then, before the program says all is gone, every file is looked at once
// more: absent, its deletion pending, or still the very file that went
// while another program keeps it. Anything else raises the run-time error
// naming the file; in another user's mirror, it is noted. Then every mirror
// is let go, and what was noted is reported.
void FinishRemoval();

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
