// The narrow seam between the tool and Win32. Everything above it is plain
// C++ and runs on the host against a fake; the *_win32.cpp files beside this
// one are the real thing (files, processes and token, loader, system). No
// name here is a <windows.h> macro, so this header means the same with or
// without it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/status.h"
#include "platform/text.h"
#include "platform/unique_handle.h"

namespace rt::platform {

// Names more than one file uses, each kept once in the program.
inline constexpr wchar_t kAdvapi32[] = L"advapi32.dll";
// Where the machine lists its profiles, below HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// The volume every other machine's share is named below (its kernel name).
inline constexpr wchar_t kRemoteVolume[] = L"\\Device\\Mup";

// Shows a modal message box and returns the button the user chose.
int AskUser(const wchar_t* prompt, unsigned flags, const wchar_t* title);

// Full name of the running executable. 0 or the system error code.
std::uint32_t ExecutableName(Text& name);

void CloseFile(void* handle) noexcept;

struct FileCloser {
  void operator()(void* handle) const noexcept { CloseFile(handle); }
};

// An open file or folder.
using OpenFile = UniqueHandle<void*, FileCloser>;

// What a file is, whatever path reaches it: its volume's serial number and
// its number on that volume. Equal for two handles exactly when they are
// the same file.
struct FileId {
  std::array<std::uint32_t, 3> parts{};
};

bool SameFile(const FileId& a, const FileId& b);

struct FileFacts {
  FileId id;
  // When the file last changed in any way, its name included, in 100 ns
  // units: a file made anew under a name differs here even where the system
  // gives it the number of the one that went (FAT, exFAT, ext4 under Wine).
  // Two halves: a 64-bit member would have every function holding the facts
  // realign its stack.
  std::array<std::uint32_t, 2> changeTime{};
  bool readOnly = false;
  // A reparse point (a junction, a symbolic link, a mount point) opened as
  // itself: asked of a folder held on a walk.
  bool link = false;
};

// Opens a folder so that it cannot be renamed, moved or deleted while the
// handle lives. Without `in`, by the full `path`, which the system takes
// exactly as written (a last name ending in a space or a dot is not
// trimmed, any length) and resolves as it resolves any path. With `in`,
// `path` is one name in that held folder, opened as itself: a link there is
// opened as the link, never as what it names (where the system resolves it
// anyway, the folder's kernel name shows where it led). No open waits on
// another program's oplock: that answers 32. `facts` says what it is: its
// identity only when asked to `identify` it (a volume's serial number costs
// Wine a third of a millisecond, and a walk needs only the last folder's),
// whether it is a link always. 0 or the system error code.
std::uint32_t HoldFolder(const OpenFile* in, std::wstring_view path, OpenFile& folder, FileFacts& facts,
                         bool identify = true);

// The name the system gives the held `folder`, as GetFinalPathNameByHandleW
// gives it, verbatim: normalised (long names, no link or substituted drive
// on the way, with its drive: "\\?\C:\Program Files\x"), or, `opened`,
// as the folder was opened. 0 or the system error code, as the system gives
// it; 234 where the name does not fit MAX_PATH.
std::uint32_t FinalName(const OpenFile& folder, Text& name, bool opened = false);

// The kernel's name of an open file or folder ("\Device\HarddiskVolume2\x";
// on another machine "\Device\Mup\host\share\x"; under Wine "\??\C:\x"), on any volume, any length, kept in `room` (one
// given before is used again). 0 or the system error code.
std::uint32_t KernelName(const OpenFile& file, Text& room, std::wstring_view& name);

// Whether two names are the same as the file system compares them (case
// ignored, ordinal).
bool SameName(std::wstring_view a, std::wstring_view b);

// Folders as the system records them.
enum class SystemFolder {
  ProgramFiles,    // ProgramFilesDir in the registry's native view (64-bit Windows: the 64-bit one)
  ProgramFiles32,  // the same in the 32-bit view (on 32-bit Windows the same folder)
  Windows,         // the Windows folder
};

// 0 or the system error code.
std::uint32_t FolderOfSystem(SystemFolder which, Text& path);

// The profile folder of every profile the machine lists (ProfileList), as
// stored: variables not expanded. Each followed by a NUL; entries without
// one are left out. 0 or the system error code.
std::uint32_t ListedProfiles(Text& folders);

// `text` (terminated) with the system's environment variables expanded: the
// system's own, never the program's. Kept in `room`, made when it is empty
// and reused by every later call given it (each holds up to 32,767
// characters). 0 or the system error code.
std::uint32_t ExpandSystemVariables(const wchar_t* text, Text& room, std::wstring_view& expanded);

// The local application data of the account the tool runs as, from the
// system for its token. 0 or the system error code.
std::uint32_t OwnLocalAppData(Text& path);

enum class Access {
  Look,    // its attributes only, which no other program's sharing refuses
  Delete,  // for deletion, with the sharing DeleteFileW uses
  Alone,   // refused (32) while any other handle has it open for its data or deletion
};

// Opens `name` directly in the held `folder` (whose identity is `folderId`)
// as the name itself: a link in its place is opened as the link, never as
// what it points to, and a folder not at all. Where the system resolves a
// link on open anyway, the file it reached lies elsewhere and is refused.
// `facts` says what the file is (on the folder's volume, where it lies).
// No open waits on another program's oplock: a file whose oplock must first
// be broken answers 32, as one in use.
// 0; 2 when nothing has that name; 303 when the file there is already being
// deleted, also when another program deleted it between the open and the
// check of its name; 681 when it leads elsewhere; or the system error code.
std::uint32_t OpenInFolder(const OpenFile& folder, const FileId& folderId, std::wstring_view name, Access access,
                           OpenFile& file, FileFacts& facts);

// Whether a file whose deletion the system accepted may still open by its
// name, as the same file, while another handle keeps it. Windows never lets
// such a name open (its deletion is pending, or with POSIX semantics the
// name is gone), so a name that opens means the deletion did not stand.
// Wine keeps the name until the last handle closes: the platform's one
// quirk the code tolerates, decided here alone. (Wine resolving a link on
// open is not tolerated but refused, by checks that hold on Windows too:
// the name the system gives what was opened.)
bool KeepsDeletedNames();

// The opened file goes: at once where the system offers that (POSIX
// semantics), otherwise when the last handle to it closes. Marking it may
// wait for another program (one holding an oplock on it must acknowledge
// its break, and may never do so): after `milliseconds` the call is
// cancelled and given a moment to return, and this answers 1460. Where it
// does not return even then, `file` is given up unclosed to the call, which
// closes it when it returns. `milliseconds` is left with what remains of
// it. 0 or the system error code.
std::uint32_t MarkForDeletion(OpenFile& file, unsigned& milliseconds);

// Readies what marking files for deletion needs (a thread of its own) while
// the question is up, so that no deletion waits for it to start. What fails
// here is met again at the first mark.
void PrepareMarks();

// A running program that has a file loaded or open.
struct FileUser {
  std::array<wchar_t, 260> name;  // its executable's file name, as the system lists it
  std::size_t nameSize;
  std::uint32_t processId;
};

// Fills `users` with the programs that have the opened `file` (whose
// identity is `id`) loaded, as their program or as one of its modules,
// whatever path they loaded it by, or open where the system can tell;
// returns how many. Only what the system itself records is asked: no path
// another program names is opened. Slow: for after a failure only.
std::size_t FindFileUsers(const OpenFile& file, const FileId& id, std::span<FileUser> users);

// Whether the program runs with the Administrators group in force in its
// token: elevated, or an administrator's where UAC is off (no token to
// elevate to). Then no more rights can be had, and every user's entries may
// be reached. False where the system does not say. Asked once: the token
// does not change.
bool IsAdministrator();

// Waits, for another program to let go of a file.
void Pause(unsigned milliseconds);

// UTF-16 to the system ANSI code page, into `ansi`. 0; or the system error
// code, or 123 when the result would be empty.
std::uint32_t ToAnsi(std::wstring_view text, AnsiText& ansi);

// Loads `library` from the system folder only and finds `name` in it;
// null with `error` set when either is missing.
void* FindSystemFunction(const wchar_t* library, const char* name, std::uint32_t& error);

// The calling thread's last-error value.
std::uint32_t LastSystemError();

// Ends the program at once.
[[noreturn]] void Exit(int code);

// Shows the run-time error report, then ends the program with `code`.
[[noreturn]] void ReportAndExit(const wchar_t* title, const wchar_t* text, int code);

}  // namespace rt::platform
