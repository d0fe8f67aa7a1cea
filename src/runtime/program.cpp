// The program object's dealings with the system: the message box, the end
// of the program, and late binding of declared external functions.
#include "runtime/program.h"

#include "platform/platform.h"
#include "runtime/report.h"

namespace rt {

namespace {

constinit std::uint32_t g_lastDllError = 0;

}  // namespace

int rtcMsgBox(const wchar_t* prompt, unsigned flags, const wchar_t* title) {
  return platform::AskUser(prompt, flags, title);
}

void vbaEnd(ExitCode code) { platform::Exit(static_cast<int>(code)); }

void* DllFunctionCall(const DeclaredFunction& function, void*& address) {
  if (address == nullptr) {
    std::uint32_t error = 0;
    address = platform::FindSystemFunction(function.library.data(), function.name, error);
    if (address == nullptr) {
      // A missing export is 127; any other failure is the library's.
      const ErrorNumber number =
          error == system_error::kProcNotFound ? ErrorNumber::DllEntryPoint : ErrorNumber::DllLoad;
      vbaRaise(number, error, {}, function.library);
    }
  }
  return address;
}

std::uint32_t vbaStrToAnsi(std::wstring_view text, AnsiText& ansi) { return platform::ToAnsi(text, ansi); }

bool IsAdministrator() { return platform::IsAdministrator(); }

void vbaSetSystemError() { g_lastDllError = platform::LastSystemError(); }

std::uint32_t LastDllError() { return g_lastDllError; }

}  // namespace rt
