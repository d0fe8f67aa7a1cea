// The program object and its dealings with the system: the project header,
// the message box, the end of the program, and external functions declared
// by library and name (late binding). Built on the seam, so it also runs on
// the host.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/text.h"

// Declared external functions are 32-bit stdcall; a wrong convention would
// corrupt the stack without a word.
#if defined(_WIN32) && !defined(_WIN64)
#define RT_WINAPI __stdcall
#else
#define RT_WINAPI
#endif

namespace rt {

// Predefined registry roots, as the 32-bit handle values Windows gives them;
// and the two kinds of copy of a key HKEY_CLASSES_ROOT shows, which are no
// handles: the per-user ones (a user's classes) and the machine's
// (HKEY_LOCAL_MACHINE\Software\Classes).
enum class RootKey : std::uint32_t {
  UserClasses = 1,
  MachineClasses = 2,
  CurrentUser = 0x80000001U,
  LocalMachine = 0x80000002U,
  Users = 0x80000003U,
};

// Message box answers and flags the tool uses.
inline constexpr int kAnswerYes = 6;
inline constexpr unsigned kYesNo = 4;
inline constexpr unsigned kQuestionIcon = 32;

// How the program ends; a run-time error ends it with the error's number.
enum class ExitCode : int {
  Completed = 0,
  Declined = 1,
};

struct FormDescription;

// What the entry point hands to the runtime.
struct ProjectHeader {
  const FormDescription* startup;
  std::uint16_t locale;  // picks the runtime's texts
  const wchar_t* title;  // the program's name, which titles its error reports
};

// Message box; waits for the answer.
int rtcMsgBox(const wchar_t* prompt, unsigned flags, const wchar_t* title);

// Ends the program at once.
[[noreturn]] void vbaEnd(ExitCode code);

// An external function declared by library and exported name.
struct DeclaredFunction {
  std::wstring_view library;  // a string literal, so also terminated
  const char* name;
};

// The function's address, found on the first call and kept in `address`; a
// missing library or export raises the error.
void* DllFunctionCall(const DeclaredFunction& function, void*& address);

// The declared function, typed. Its address is kept in a slot of its own
// that starts as zero, so the program has no initialised data to carry.
template <class Function, const DeclaredFunction& kFunction>
Function Declared() {
  constinit static void* address = nullptr;
  return reinterpret_cast<Function>(DllFunctionCall(kFunction, address));
}

// Text for a narrow-text external call, in the system ANSI code page, into
// `ansi`: 0, or the system code of a conversion that failed or came out
// empty (which the caller reports; an empty name would mean something else).
std::uint32_t vbaStrToAnsi(std::wstring_view text, AnsiText& ansi);

// Whether the program runs with an administrator's rights in force, and so
// may act on every user's copies.
bool IsAdministrator();

// Keeps the system's last-error value after an external call.
void vbaSetSystemError();
std::uint32_t LastDllError();

}  // namespace rt
