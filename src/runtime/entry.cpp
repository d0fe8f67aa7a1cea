// The executable's entry point: limit where DLLs come from, then hand the
// project to the runtime.
#include <windows.h>

#include "removal_window/form1.h"
#include "runtime/form.h"

namespace {

// Chinese (PRC): the runtime's texts are Simplified Chinese.
constexpr std::uint16_t kLocaleChinesePrc = 2052;

constexpr rt::ProjectHeader kProject{&Form1::kDescription, kLocaleChinesePrc, 1};

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// Before anything else loads: DLLs that Windows loads on demand come from the
// system folder, never from the folder the tool was started in. Windows 7
// without its loader update lacks the call; then only the declared calls are
// held to the system folder.
void RestrictDllSearch() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (setDefault != nullptr) {
    setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

}  // namespace

extern "C" DWORD WINAPI RuntimeEntry(void* /*peb*/) {
  RestrictDllSearch();
  rt::ThunRTMain(kProject);
}
