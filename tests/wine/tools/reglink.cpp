// reglink KEY TARGET
// Makes HKEY_LOCAL_MACHINE\KEY (or HKEY_USERS\X when KEY is "HKEY_USERS\X") a registry link
// to TARGET (a kernel name such as \Registry\Machine\Software\X), replacing a key already
// there. The scenarios plant links with it, as an attacker would; reg.exe and regedit cannot
// make them.
//
// reglink --unlink KEY
// Deletes the link KEY itself, if it is one; reg.exe would follow it.
//
// reglink --keep KEY STOPFILE
// Makes HKEY_LOCAL_MACHINE\KEY again, at once, whenever it is gone, until STOPFILE exists, as a
// program that keeps its settings would.
//
// reglink --nul HKLM|HKCU PARENT
// Makes a key below PARENT whose counted name holds a NUL ("nul" NUL "key"), with a subkey
// of its own, as any program can through the native call; no NUL-terminated call can name it.
#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

namespace {

using NtCreateKeyCall = NTSTATUS(NTAPI*)(HANDLE* key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes, ULONG index,
                                         UNICODE_STRING* className, ULONG options, ULONG* disposition);

HANDLE CreateBelow(HANDLE parent, const wchar_t* name, USHORT characters) {
  const auto create = reinterpret_cast<NtCreateKeyCall>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateKey")));
  const auto bytes = static_cast<USHORT>(characters * sizeof(wchar_t));
  UNICODE_STRING counted{bytes, bytes, const_cast<wchar_t*>(name)};
  OBJECT_ATTRIBUTES attributes{sizeof attributes, parent, &counted, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  HANDLE key = nullptr;
  return create(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr) == 0 ? key : nullptr;
}

int PlantNulKey(const wchar_t* hive, const wchar_t* parentPath) {
  HKEY parent = nullptr;
  if (RegOpenKeyExW(lstrcmpW(hive, L"HKCU") == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, parentPath, 0,
                    KEY_ALL_ACCESS, &parent) != ERROR_SUCCESS) {
    return 3;
  }
  const HANDLE key = CreateBelow(parent, L"nul\0key", 7);
  const HANDLE below = key != nullptr ? CreateBelow(key, L"below", 5) : nullptr;
  const int status = below != nullptr ? 0 : 4;
  if (below != nullptr) {
    RegCloseKey(static_cast<HKEY>(below));
  }
  if (key != nullptr) {
    RegCloseKey(static_cast<HKEY>(key));
  }
  RegCloseKey(parent);
  return status;
}

// The root KEY names and the path below it.
HKEY RootOf(const wchar_t*& key) {
  constexpr wchar_t kUsers[] = L"HKEY_USERS\\";
  constexpr int kUsersSize = sizeof kUsers / sizeof kUsers[0] - 1;
  if (lstrlenW(key) > kUsersSize && CompareStringOrdinal(key, kUsersSize, kUsers, kUsersSize, TRUE) == CSTR_EQUAL) {
    key += kUsersSize;
    return HKEY_USERS;
  }
  return HKEY_LOCAL_MACHINE;
}

int Unlink(const wchar_t* path) {
  const HKEY root = RootOf(path);
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | DELETE, &key) != ERROR_SUCCESS) {
    return 0;
  }
  using NtDeleteKeyCall = NTSTATUS(NTAPI*)(HANDLE key);
  const auto remove = reinterpret_cast<NtDeleteKeyCall>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  const bool link = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  const int status = link && remove(key) != 0 ? 4 : 0;
  RegCloseKey(key);
  return status;
}

}  // namespace

int KeepKey(const wchar_t* path, const wchar_t* stopFile) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "keeping\n", 8, &written, nullptr);
  for (DWORD started = GetTickCount(); GetTickCount() - started < 120000;) {
    if (GetFileAttributesW(stopFile) != INVALID_FILE_ATTRIBUTES) break;
    for (int i = 0; i < 1000; ++i) {
      HKEY key = nullptr;
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        RegCloseKey(key);
      }
    }
  }
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && lstrcmpW(argv[1], L"--nul") == 0) {
    return PlantNulKey(argv[2], argv[3]);
  }
  if (argc == 4 && lstrcmpW(argv[1], L"--keep") == 0) {
    return KeepKey(argv[2], argv[3]);
  }
  if (argc == 3 && lstrcmpW(argv[1], L"--unlink") == 0) {
    return Unlink(argv[2]);
  }
  if (argc != 3) {
    return 2;
  }
  const wchar_t* path = argv[1];
  const HKEY root = RootOf(path);
  RegDeleteTreeW(root, path);
  RegDeleteKeyW(root, path);
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return 3;
  }
  // UTF-16 without a terminator, as the kernel reads it.
  const LONG status = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(argv[2]),
                                     static_cast<DWORD>(lstrlenW(argv[2])) * sizeof(wchar_t));
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? 0 : 4;
}
