// The run-time error: its numbers, the system codes that raise them, the
// report's words in the project's language, and the advice below a report.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/platform.h"
#include "runtime/program.h"

namespace rt {

// Run-time error numbers, in the classic numbering for these conditions.
enum class ErrorNumber : std::uint16_t {
  OutOfMemory = 7,
  DllLoad = 48,
  BadFileName = 52,
  FileNotFound = 53,
  FileAlreadyExists = 58,
  PermissionDenied = 70,
  DiskNotReady = 71,
  PathFileAccess = 75,
  PathNotFound = 76,
  DllEntryPoint = 453,
};

struct SystemErrorMapping {
  std::uint16_t system;  // every code in the table is below 65536
  ErrorNumber number;
};

// System codes and the numbers they raise; any other is PathFileAccess.
// constexpr where it is defined, which the check does not see.
extern const std::array<SystemErrorMapping, 15> kSystemErrorMappings;  // NOLINT(bugprone-dynamic-static-initializers)

ErrorNumber ErrorForSystemCode(std::uint32_t code);

// Name of a root as a report shows it, with the separator that follows it.
std::wstring_view RootKeyPrefix(RootKey root);

// Takes the project's title and its locale's texts; the first thing the
// runtime does at start-up.
void UseProject(const ProjectHeader& header);

// The report's text: number, description, what it concerns, system code,
// and what the user can do about it, if anything.
Text ErrorReportText(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
                     std::wstring_view subject, std::wstring_view advice = {});

// What the user can do about a file that could not be deleted, by the cause
// the system shows now; empty when there is no advice. Looks at the file
// `name` in the held `folder` (whose identity is `folderId`) where the cause
// may show there.
Text FileAdvice(std::uint32_t systemCode, const platform::OpenFile& folder, const platform::FileId& folderId,
                std::wstring_view name);

// A target that could not be removed, or did not stay gone. The tool's own
// raises the run-time error (see Raise). Another user's (`theirs`) is noted
// and the run goes on: whatever one user does with what is theirs, the rest
// is removed. What was noted is reported together at the end, or after the
// report of the tool's own target that stops the run: the first few each as
// a report, then how many more.
void Failed(bool theirs, std::uint32_t systemCode, std::wstring_view subjectPrefix, std::wstring_view subject,
            std::wstring_view advice);
// Whether another user's target noted now is listed: its advice is looked
// for only then.
bool NoteListed();
// The advice for what is not a file in a held folder, by its cause: one
// that keeps coming back (183), one leading elsewhere (681), a `key` refused
// to a user who could have more rights; none for anything else.
Text Advice(std::uint32_t systemCode, bool key);
// Shows the copies noted this run together, then ends the program with the
// first one's number; returns when none was noted.
void ReportNoted();

// Reports a run-time error with its advice, and the copies noted so far
// after it, and ends the program with its number.
[[noreturn]] void Raise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
                        std::wstring_view subject, std::wstring_view advice);

// Raises a run-time error: reports it and ends the program with its number.
// The tool installs no handlers, so this never returns. A subject with a
// prefix is a registry key; the advice is Advice's.
[[noreturn]] void vbaRaise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
                           std::wstring_view subject);

}  // namespace rt
