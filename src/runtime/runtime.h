// The runtime services the tool's handlers call: message box, own folder,
// file deletion, end of program, declared external calls and the run-time
// error. Built on platform.h, so all of it also runs on the host.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "runtime/platform.h"
#include "runtime/text.h"

// Declared external functions are 32-bit stdcall; a wrong convention would
// corrupt the stack without a word.
#if defined(_WIN32) && !defined(_WIN64)
#define RT_WINAPI __stdcall
#else
#define RT_WINAPI
#endif

namespace rt {

// Predefined registry roots, as the 32-bit handle values Windows gives them.
enum class RootKey : std::uint32_t {
  ClassesRoot = 0x80000000U,
  CurrentUser = 0x80000001U,
  LocalMachine = 0x80000002U,
};

// Name of a root as a report shows it, with the separator that follows it.
std::wstring_view RootKeyPrefix(RootKey root);

// Message box answers and flags the tool uses.
inline constexpr int kAnswerYes = 6;
inline constexpr unsigned kYesNo = 4;
inline constexpr unsigned kQuestionIcon = 32;

// How the program ends; a run-time error ends it with the error's number.
enum class ExitCode : int {
  Completed = 0,
  Declined = 1,
};

// Run-time error numbers, in the classic numbering for these conditions.
enum class ErrorNumber : std::uint16_t {
  OutOfMemory = 7,
  DllLoad = 48,
  BadFileName = 52,
  FileNotFound = 53,
  PermissionDenied = 70,
  DiskNotReady = 71,
  PathFileAccess = 75,
  PathNotFound = 76,
  DllEntryPoint = 453,
};

// System error codes the tool tells apart; anything else is PathFileAccess.
namespace system_error {
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kPathNotFound = 3;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kOutOfMemory = 14;
inline constexpr std::uint32_t kWriteProtect = 19;
inline constexpr std::uint32_t kNotReady = 21;
inline constexpr std::uint32_t kSharingViolation = 32;
inline constexpr std::uint32_t kLockViolation = 33;
inline constexpr std::uint32_t kInvalidName = 123;
inline constexpr std::uint32_t kModuleNotFound = 126;
inline constexpr std::uint32_t kProcNotFound = 127;
inline constexpr std::uint32_t kBadPathName = 161;
inline constexpr std::uint32_t kAlreadyExists = 183;
inline constexpr std::uint32_t kNoMoreItems = 259;
inline constexpr std::uint32_t kDeletePending = 303;
inline constexpr std::uint32_t kStoppedOnSymlink = 681;
inline constexpr std::uint32_t kKeyDeleted = 1018;
}  // namespace system_error

struct SystemErrorMapping {
  std::uint16_t system;  // every code in the table is below 65536
  ErrorNumber number;
};

// System codes and the numbers they raise; any other is PathFileAccess.
// constexpr where it is defined, which the check does not see.
extern const std::array<SystemErrorMapping, 14> kSystemErrorMappings;  // NOLINT(bugprone-dynamic-static-initializers)

ErrorNumber ErrorForSystemCode(std::uint32_t code);

struct FormDescription;

// What the entry point hands to the runtime.
struct ProjectHeader {
  const FormDescription* startup;
  std::uint16_t locale;  // picks the runtime's texts
  const wchar_t* title;  // the program's name, which titles its error reports
};

// Takes the project's title and its locale's texts; the first thing the
// runtime does at start-up.
void UseProject(const ProjectHeader& header);

// The report's text: number, description, what it concerns, system code,
// and what the user can do about it, if anything.
Text ErrorReportText(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
                     std::wstring_view subject, std::wstring_view advice = {});

// What the user can do about a file that could not be deleted, by the cause
// the system shows now; empty when there is no advice. Looks at the file
// the path names in the held own folder.
Text FileAdvice(std::uint32_t systemCode, const Text& path);

// Raises a run-time error: reports it and ends the program with its number.
// The tool installs no handlers, so this never returns. A subject with a
// prefix is a registry key, and a key refused to a user who could have more
// rights gets the advice to run the tool as an administrator.
[[noreturn]] void vbaRaise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
                           std::wstring_view subject);

// Message box; waits for the answer.
int rtcMsgBox(const wchar_t* prompt, unsigned flags, const wchar_t* title);

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

// Confirms once more that every file rtcKillFiles was given is gone, before
// the program says so; raises the run-time error naming one that is back.
void ConfirmRemoved();

// Ends the program at once.
[[noreturn]] void vbaEnd(ExitCode code);

// The folder part of an executable's full name: no trailing separator,
// except at a drive root ("C:\").
Text FolderOf(std::wstring_view executable);

struct AppObject {
  // The running executable's folder, read afresh at every call.
  [[nodiscard]] Text Path() const;
};
// constinit: fixed at compile time, which the check does not see.
extern constinit const AppObject App;  // NOLINT(bugprone-dynamic-static-initializers)

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

// Text for a narrow-text external call, in the system ANSI code page.
AnsiText vbaStrToAnsi(std::wstring_view text);

// Keeps the system's last-error value after an external call.
void vbaSetSystemError();
std::uint32_t LastDllError();

}  // namespace rt
