// The narrow seam between the tool and Win32. Everything above it is plain
// C++ and runs on the host against a fake; platform_win32.cpp is the real
// thing. No name here is a <windows.h> macro, so this header means the same
// with or without it.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/text.h"

namespace rt::platform {

// Shows a modal message box and returns the button the user chose.
int AskUser(const wchar_t* prompt, unsigned flags, const wchar_t* title);

// Full name of the running executable.
Text ExecutableName();

// Deletes one file; 0 or the system error code.
std::uint32_t RemoveFile(const wchar_t* path);

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
