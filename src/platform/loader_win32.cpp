// The seam's loader on Win32: DLLs only from the system folder, and the
// functions the tool declares found in them.
#include <array>

#include "platform/platform.h"
#include "platform/win32.h"

namespace rt {

namespace win32 {

HMODULE LoadSystemLibrary(const wchar_t* name) {
  // By its full path in the system folder, on every Windows: a bare name is
  // searched for, and Windows 7 without its loader update would look for
  // what the library needs in the tool's folder first. With the altered
  // search path, its dependencies come from the system folder too.
  std::array<wchar_t, MAX_PATH + 32> path{};
  const UINT folder = GetSystemDirectoryW(path.data(), MAX_PATH);
  if (folder == 0 || folder >= MAX_PATH) {
    if (folder != 0) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
    }
    return nullptr;
  }
  path[folder] = L'\\';
  lstrcpynW(path.data() + folder + 1, name, static_cast<int>(path.size() - folder - 1));
  return LoadLibraryExW(path.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
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
