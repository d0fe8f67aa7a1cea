#include "runtime/win32.h"

#include <array>

namespace rt::win32 {

HMODULE LoadSystemLibrary(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) {
    return module;
  }
  // Windows 7 without its loader update rejects the flag: name the system
  // folder in full instead.
  std::array<wchar_t, MAX_PATH> path{};
  const UINT folder = GetSystemDirectoryW(path.data(), MAX_PATH);
  if (folder == 0 || folder + 1 + static_cast<UINT>(lstrlenW(name)) >= MAX_PATH) {
    return nullptr;
  }
  path[folder] = L'\\';
  lstrcpyW(path.data() + folder + 1, name);
  return LoadLibraryW(path.data());
}

Text FromCodePage936(const char* text) {
  const int needed = MultiByteToWideChar(kCodePage936, 0, text, -1, nullptr, 0);
  Text wide = Text::WithSize(needed > 0 ? static_cast<std::size_t>(needed - 1) : 0);
  if (needed > 0) {
    MultiByteToWideChar(kCodePage936, 0, text, -1, wide.data(), needed);
  }
  return wide;
}

}  // namespace rt::win32
