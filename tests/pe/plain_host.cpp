// The control for the planted-DLL test: a GUI program that, unlike the tool,
// only restricts the DLL search when given "restrict". Both runs then open and
// close a window, which makes user32 load its theming DLL on demand.
#include <windows.h>

namespace {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

void RestrictDllSearch() {
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDefault != nullptr) {
    setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPWSTR lpCmdLine, int /*nShowCmd*/) {
  if (lstrcmpW(lpCmdLine, L"restrict") == 0) {
    RestrictDllSearch();
  }
  const HWND window = CreateWindowExW(0, L"STATIC", L"plain host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                      nullptr, nullptr, nullptr);
  if (window == nullptr) {
    return 3;
  }
  ShowWindow(window, SW_SHOWNOACTIVATE);
  UpdateWindow(window);
  DestroyWindow(window);
  return 0;
}
