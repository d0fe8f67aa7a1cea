// The seam's loader on Win32: DLLs only from the system folder, and the
// functions the tool declares found in them.
#include "platform/platform.h"
#include "platform/win32.h"

namespace rt {

namespace win32 {

HMODULE LoadSystemLibrary(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    // Windows 7 without its loader update rejects the flag. The libraries
    // the tool asks for are known DLLs there, which Windows maps from the
    // system folder whatever the search order.
    module = LoadLibraryW(name);
  }
  return module;
}

void RestrictDllSearch() {
  const auto setDefault =
      OptionalFunction<BOOL(WINAPI*)(DWORD)>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (setDefault != nullptr) {
    setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

}  // namespace win32

namespace platform {

void* FindSystemFunction(const wchar_t* library, const char* name, std::uint32_t& error) {
  const HMODULE module = win32::LoadSystemLibrary(library);
  if (module == nullptr) {
    error = GetLastError();
    return nullptr;
  }
  // Kept loaded for the life of the process, like the address taken from it.
  void* address = reinterpret_cast<void*>(GetProcAddress(module, name));
  if (address == nullptr) {
    error = GetLastError();
  }
  return address;
}

}  // namespace platform

}  // namespace rt
