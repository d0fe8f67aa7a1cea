// The narrow seam between the tool and Win32. Everything above it is plain
// C++ and runs on the host against a fake; platform_win32.cpp is the real
// thing. No name here is a <windows.h> macro, so this header means the same
// with or without it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "runtime/text.h"
#include "runtime/unique_handle.h"

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

// Opens a folder so that it cannot be renamed, moved or deleted while the
// handle lives; `finalPath` is where the system says it really is. 0 or the
// system error code.
std::uint32_t HoldFolder(const wchar_t* path, OpenFile& folder, Text& finalPath);

// Opens a file for deletion as the name itself: a link in its place is
// opened as the link, never as what it points to, and a folder not at all.
// `finalPath` is where the opened file really is. 0 or the system error code.
std::uint32_t OpenForDeletion(const wchar_t* path, OpenFile& file, Text& finalPath);

// The opened file goes when its handle closes. 0 or the system error code.
std::uint32_t MarkForDeletion(const OpenFile& file);

// 0 while something answers to `path`, else the error that looking gave.
std::uint32_t LookUp(const wchar_t* path);

// A running program that has a file loaded or open.
struct FileUser {
  Text name;  // its executable's file name
  std::uint32_t processId = 0;
};

// Fills `users` with the programs that have `path` loaded, as their program
// or as one of its modules, or open where the system can tell (its restart
// manager); returns how many. Slow: for after a failure only.
std::size_t FindFileUsers(const wchar_t* path, std::span<FileUser> users);

// Whether `path` is a file marked read-only.
bool IsReadOnly(const wchar_t* path);

// The same path as the file system compares them: letter case aside.
bool SamePath(std::wstring_view a, std::wstring_view b);

// Waits, for another program to let go of a file.
void Pause(unsigned milliseconds);

// UTF-16 to the system ANSI code page.
AnsiText ToAnsi(std::wstring_view text);

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
