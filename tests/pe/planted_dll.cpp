// Stands in for a DLL that Windows components load on demand. Loaded from the
// tool's folder, it leaves planted-dll-loaded.txt beside itself: proof that a
// file dropped next to the tool ran code in its process.
#include <windows.h>

namespace {

void LeaveMark(HINSTANCE self) {
  wchar_t path[MAX_PATH + 32] = {};
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return;
  }
  DWORD slash = length;
  while (slash > 0 && path[slash - 1] != L'\\' && path[slash - 1] != L'/') {
    --slash;
  }
  lstrcpyW(path + slash, L"planted-dll-loaded.txt");
  const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void* /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    LeaveMark(self);
  }
  // Refuse to stay: the loader then carries on as if the DLL were missing, so
  // the host program keeps working and the test only sees the mark.
  return FALSE;
}
