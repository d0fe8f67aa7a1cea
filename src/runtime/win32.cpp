#include "runtime/win32.h"

namespace rt::win32 {

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

Text FromCodePage936(const char* text) {
  const int needed = MultiByteToWideChar(kCodePage936, 0, text, -1, nullptr, 0);
  Text wide = Text::WithSize(needed > 0 ? static_cast<std::size_t>(needed - 1) : 0);
  if (needed > 0) {
    MultiByteToWideChar(kCodePage936, 0, text, -1, wide.data(), needed);
  }
  return wide;
}

}  // namespace rt::win32
