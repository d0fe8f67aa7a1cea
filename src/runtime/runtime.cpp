#include "runtime/runtime.h"

#include "runtime/platform.h"

namespace rt {

// Literals as views of known length: GCC does not fold wcslen of a wide
// literal, and a call to it would import the C runtime for nothing.
using namespace std::string_view_literals;

namespace {

struct RootKeyName {
  RootKey root;
  std::wstring_view prefix;
};

constexpr std::array kRootKeyNames = {
    RootKeyName{RootKey::ClassesRoot, L"HKEY_CLASSES_ROOT\\"},
    RootKeyName{RootKey::LocalMachine, L"HKEY_LOCAL_MACHINE\\"},
};

constinit std::uint32_t g_lastDllError = 0;

std::wstring_view Describe(ErrorNumber number) {
  for (const auto& entry : kErrorDescriptions) {
    if (entry.number == number) {
      return entry.text;
    }
  }
  return {};
}

// Decimal digits of `value` into the end of `buffer`; returns them.
template <std::size_t N>
std::wstring_view Decimal(std::uint32_t value, std::array<wchar_t, N>& buffer) {
  std::size_t at = N;
  do {
    buffer[--at] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0 && at != 0);
  return {buffer.data() + at, N - at};
}

}  // namespace

std::wstring_view RootKeyPrefix(RootKey root) {
  for (const auto& entry : kRootKeyNames) {
    if (entry.root == root) {
      return entry.prefix;
    }
  }
  return {};
}

ErrorNumber ErrorForSystemCode(std::uint32_t code) {
  for (const auto& entry : kSystemErrorMappings) {
    if (entry.system == code) {
      return entry.number;
    }
  }
  return ErrorNumber::PathFileAccess;
}

Text ErrorReportText(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
                     std::wstring_view subject) {
  std::array<wchar_t, 10> numberDigits{};
  std::array<wchar_t, 10> systemDigits{};
  return Text::Join({L"运行时错误 '"sv, Decimal(static_cast<std::uint32_t>(number), numberDigits), L"':\n\n"sv,
                     Describe(number), L"\n\n"sv, subjectPrefix, subject, L"\n(系统错误 "sv,
                     Decimal(systemCode, systemDigits), L")"sv});
}

void vbaRaise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
              std::wstring_view subject) {
  const Text text = ErrorReportText(number, systemCode, subjectPrefix, subject);
  platform::ReportAndExit(kErrorReportTitle, text.c_str(), static_cast<int>(number));
}

int rtcMsgBox(const wchar_t* prompt, unsigned flags, const wchar_t* title) {
  return platform::AskUser(prompt, flags, title);
}

void rtcKillFiles(const Text& path) {
  const std::uint32_t status = platform::RemoveFile(path.c_str());
  // Gone already is what the caller wants; a second run then finishes the job.
  if (status == 0 || status == system_error::kFileNotFound) {
    return;
  }
  vbaRaise(ErrorForSystemCode(status), status, {}, path.view());
}

void vbaEnd(ExitCode code) { platform::Exit(static_cast<int>(code)); }

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
  const Text executable = platform::ExecutableName();
  return FolderOf(executable.view());
}

void* DllFunctionCall(DeclaredFunction& function) {
  if (function.address == nullptr) {
    std::uint32_t error = 0;
    function.address = platform::FindSystemFunction(function.library.data(), function.name, error);
    if (function.address == nullptr) {
      const ErrorNumber number =
          error == system_error::kModuleNotFound ? ErrorNumber::DllLoad : ErrorNumber::DllEntryPoint;
      vbaRaise(number, error, {}, function.library);
    }
  }
  return function.address;
}

AnsiText vbaStrToAnsi(std::wstring_view text) { return platform::ToAnsi(text); }

void vbaSetSystemError() { g_lastDllError = platform::LastSystemError(); }

std::uint32_t LastDllError() { return g_lastDllError; }

}  // namespace rt
