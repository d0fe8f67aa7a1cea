// Holds one hidden window for the whole test run, so Wine keeps its desktop
// process alive between test programs instead of restarting it each time.
#include <windows.h>

namespace {

LRESULT CALLBACK keeper_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = keeper_proc;
  window_class.hInstance = instance;
  window_class.lpszClassName = L"WineTestKeeper";
  if (RegisterClassW(&window_class) == 0) return 2;
  // Never shown: a visible window would show up in screenshots and in window searches.
  if (CreateWindowExW(0, window_class.lpszClassName, L"wine test keeper", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr,
                      instance, nullptr) == nullptr)
    return 3;
  // prefix.sh waits for this line before the first test starts.
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &written, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
