// reglink KEY TARGET
// Makes HKEY_LOCAL_MACHINE\KEY a registry link to TARGET (a kernel name such as
// \Registry\Machine\Software\X), replacing a key already there. The scenarios plant
// links with it, as an attacker would; reg.exe and regedit cannot make them.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    return 2;
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, argv[1]);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, argv[1]);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return 3;
  }
  // UTF-16 without a terminator, as the kernel reads it.
  const LONG status = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(argv[2]),
                                     static_cast<DWORD>(lstrlenW(argv[2])) * sizeof(wchar_t));
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? 0 : 4;
}
