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
};

// Opens a folder so that it cannot be renamed, moved or deleted while the
// handle lives, by a path the system takes exactly as written (a last name
// ending in a space or a dot is not trimmed, any length). 0 or the system
// error code.
std::uint32_t HoldFolder(std::wstring_view path, OpenFile& folder, FileId& id);

// Where the held `folder` lies, as the system names it: normalised (long
// names, no link or substituted drive on the way), verbatim and with its
// drive ("\\?\C:\Program Files\x"), when that is a place where Windows
// virtualises a legacy program's writes. Empty elsewhere, and where the name
// has no drive letter or does not fit MAX_PATH, which no legacy program can
// reach. 0 or the system error code.
std::uint32_t VirtualisedName(const OpenFile& folder, Text& name);

// The account logged on to the tool's session, as the system records the
// session, where that is not the account the tool runs as and that user's
// classes hive is loaded: their security identifier as text ("S-1-5-21-..."),
// whose hive is HKEY_USERS\<it>_Classes. Empty for the tool's own account.
// Asked once; the text lives as long as the program. 0, or the system error
// code when the system cannot tell.
std::uint32_t SessionUser(std::wstring_view& user);

// Holds the VirtualStore mirror of the folder `name` (as VirtualisedName
// gives it): where Windows keeps, for `user` (from SessionUser;
// empty: the account the tool runs as), what a legacy program writes into the
// folder. Leaves `mirror` empty where the mirror is not there. 0; 681 when
// the system names the folder it reached otherwise than as that mirror (a
// link on the way led elsewhere); or the system error code. `mirrorPath` is
// the mirror's path, where one was looked for.
std::uint32_t HoldMirror(std::wstring_view user, std::wstring_view name, OpenFile& mirror, FileId& id,
                         Text& mirrorPath);

enum class Access {
  Look,    // its attributes only, which no other program's sharing refuses
  Delete,  // for deletion, with the sharing DeleteFileW uses
  Alone,   // refused (32) while any other handle has it open for its data or deletion
};

// Opens `name` directly in the held `folder` (whose identity is `folderId`)
// as the name itself: a link in its place is opened as the link, never as
// what it points to, and a folder not at all. Where the system resolves a
// link on open anyway, the file it reached lies elsewhere and is refused.
// `facts` says what the file is; whether it is read-only, only for a look.
// 0; 2 when nothing has that name; 303 when the file there is already being
// deleted, also when another program deleted it between the open and the
// check of its name; 681 when it leads elsewhere; or the system error code.
std::uint32_t OpenInFolder(const OpenFile& folder, const FileId& folderId, std::wstring_view name, Access access,
                           OpenFile& file, FileFacts& facts);

// Whether a file whose deletion the system accepted may still open by its
// name, as the same file, while another handle keeps it. Windows never lets
// such a name open (its deletion is pending, or with POSIX semantics the
// name is gone), so a name that opens means the deletion did not stand.
// Wine keeps the name until the last handle closes: the platform's quirk,
// decided here alone.
bool KeepsDeletedNames();

// The opened file goes: at once where the system offers that (POSIX
// semantics), otherwise when the last handle to it closes. 0 or the system
// error code.
std::uint32_t MarkForDeletion(const OpenFile& file);

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

// Whether the program runs with its token elevated, so that more rights
// cannot be had; false where the system does not say.
bool IsElevated();

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
