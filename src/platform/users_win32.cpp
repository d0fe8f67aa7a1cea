// The seam's view of the machine's users and places on Win32: the profiles
// it lists, the system's variables, a folder's names, and the folders where
// Windows virtualises a legacy program's writes. What to make of them is
// decided above the seam.
#include <array>
#include <string_view>
#include <utility>

#include "platform/native_win32.h"

namespace rt::platform {

namespace {

constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// A string as stored: REG_SZ or REG_EXPAND_SZ, never expanded with the
// tool's own environment.
constexpr DWORD kStoredString = 0x2 | 0x4 | 0x10000000;  // RRF_RT_REG_SZ, RRF_RT_REG_EXPAND_SZ, RRF_NOEXPAND
constexpr int kLocalAppData = 0x1C;                      // CSIDL_LOCAL_APPDATA
constexpr int kDontVerify = 0x4000;                      // CSIDL_FLAG_DONT_VERIFY
// The longest a variable's expansion can be.
constexpr DWORD kLongestExpansion = 0x7FFF;

using RegOpenKeyExCall = LSTATUS(WINAPI*)(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result);
using RegEnumKeyExCall = LSTATUS(WINAPI*)(HKEY key, DWORD index, wchar_t* name, DWORD* chars, DWORD* reserved,
                                          wchar_t* className, DWORD* classChars, FILETIME* written);
using RegGetValueCall = LSTATUS(WINAPI*)(HKEY key, const wchar_t* subKey, const wchar_t* value, DWORD flags,
                                         DWORD* type, void* data, DWORD* bytes);
// The known folder by its older name, which writes into the caller's buffer.
using SHGetFolderPathCall = HRESULT(WINAPI*)(HWND owner, int folder, HANDLE token, DWORD flags, wchar_t* path);
// With no token: the system's variables only.
using ExpandForUserCall = BOOL(WINAPI*)(HANDLE token, const wchar_t* text, wchar_t* expanded, DWORD chars);
using NtCloseCall = NTSTATUS(NTAPI*)(HANDLE handle);

struct KeyCloser {
  void operator()(HKEY key) const noexcept { native::Find<NtCloseCall>("NtClose")(key); }
};
using OpenKey = UniqueHandle<HKEY, KeyCloser>;

template <class Function>
Function Advapi32(const char* name, std::uint32_t& status) {
  return reinterpret_cast<Function>(FindSystemFunction(kAdvapi32, name, status));
}

// Opens `path` below HKEY_LOCAL_MACHINE with `access` (which may name a
// registry view). 0 or the system error code.
std::uint32_t OpenMachineKey(const wchar_t* path, REGSAM access, OpenKey& key) {
  std::uint32_t status = 0;
  const auto open = Advapi32<RegOpenKeyExCall>("RegOpenKeyExW", status);
  return open == nullptr ? status
                         : static_cast<std::uint32_t>(open(HKEY_LOCAL_MACHINE, path, 0, access, key.receive()));
}

// The string value `value` of `key`'s subkey `subKey` (null: the key's own),
// as stored, into `into`, which has room for MAX_PATH characters and the
// terminator. A longer one names no folder a legacy program could reach, and
// is ERROR_MORE_DATA. 0 or the system error code.
std::uint32_t ReadString(HKEY key, const wchar_t* subKey, const wchar_t* value, wchar_t* into) {
  std::uint32_t status = 0;
  const auto get = Advapi32<RegGetValueCall>("RegGetValueW", status);
  if (get == nullptr) {
    return status;
  }
  DWORD bytes = (MAX_PATH + 1) * sizeof(wchar_t);
  return static_cast<std::uint32_t>(get(key, subKey, value, kStoredString, nullptr, into, &bytes));
}

}  // namespace

std::uint32_t FinalName(const OpenFile& folder, Text& name, bool opened) {
  // Room for MAX_PATH after the "\\?\": a longer name is ERROR_MORE_DATA, as
  // Wine gives it past 260 characters whatever the room.
  constexpr DWORD kRoom = 4 + MAX_PATH;
  Text found = Text::WithSize(kRoom);
  const DWORD size = GetFinalPathNameByHandleW(folder.get(), found.data(), kRoom + 1,
                                               opened ? FILE_NAME_OPENED : FILE_NAME_NORMALIZED);
  if (size == 0 || size > kRoom) {
    return size == 0 ? GetLastError() : ERROR_MORE_DATA;
  }
  found.Truncate(size);
  name = std::move(found);
  return 0;
}

std::uint32_t KernelName(const OpenFile& file, Text& room, std::wstring_view& name) {
  return native::NameOf(file.get(), room, name);
}

bool SameName(std::wstring_view a, std::wstring_view b) { return native::SameText(a, b); }

std::uint32_t FolderOfSystem(SystemFolder which, Text& path) {
  Text folder = Text::WithSize(MAX_PATH);
  std::uint32_t status = 0;
  if (which == SystemFolder::Windows) {
    const UINT size = GetWindowsDirectoryW(folder.data(), MAX_PATH + 1);
    status = size == 0 ? GetLastError() : size > MAX_PATH ? ERROR_FILENAME_EXCED_RANGE : 0;
  } else {
    // Program Files as each registry view records it: on 64-bit Windows the
    // 64-bit view names the 64-bit one and the 32-bit view the 32-bit one.
    OpenKey key;
    const REGSAM view = which == SystemFolder::ProgramFiles ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    status = OpenMachineKey(kCurrentVersion, KEY_QUERY_VALUE | view, key);
    if (status == 0) {
      status = ReadString(key.get(), nullptr, L"ProgramFilesDir", folder.data());
    }
  }
  if (status == 0) {
    folder.Truncate(static_cast<std::size_t>(lstrlenW(folder.data())));
    path = std::move(folder);
  }
  return status;
}

std::uint32_t ListedProfiles(Text& folders) {
  std::uint32_t status = 0;
  const auto list = Advapi32<RegEnumKeyExCall>("RegEnumKeyExW", status);
  OpenKey key;
  if (list == nullptr ||
      (status = OpenMachineKey(kProfileList, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_WOW64_64KEY, key)) != 0) {
    return status;
  }
  // A security identifier as text is at most 184 characters; a longer
  // name is no profile's.
  std::array<wchar_t, 256> sid;  // NOLINT(cppcoreguidelines-pro-type-member-init): filled by the system
  // Every folder is read straight into one list.
  ItemList read;
  for (DWORD index = 0;; ++index) {
    DWORD chars = sid.size();
    status = static_cast<std::uint32_t>(list(key.get(), index, sid.data(), &chars, nullptr, nullptr, nullptr, nullptr));
    if (status == ERROR_NO_MORE_ITEMS) {
      read.room.Truncate(read.used);
      folders = std::move(read.room);
      return 0;
    }
    if (status == 0) {
      status = ReadString(key.get(), sid.data(), L"ProfileImagePath", read.Room(MAX_PATH));
    }
    // An entry with no folder, one that is not a string, or one no legacy
    // program could reach, has no mirror to look in.
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_UNSUPPORTED_TYPE || status == ERROR_MORE_DATA) {
      continue;
    }
    if (status != 0) {
      return status;
    }
    read.used += static_cast<std::size_t>(lstrlenW(read.room.data() + read.used)) + 1;
  }
}

std::uint32_t ExpandSystemVariables(const wchar_t* text, Text& room, std::wstring_view& expanded) {
  std::uint32_t status = 0;
  const auto expand = reinterpret_cast<ExpandForUserCall>(
      FindSystemFunction(L"userenv.dll", "ExpandEnvironmentStringsForUserW", status));
  if (expand == nullptr) {
    return status;
  }
  // Room for the longest expansion, made once for all of the caller's.
  if (room.size() == 0) {
    room = Text::WithSize(kLongestExpansion);
  }
  if (expand(nullptr, text, room.data(), kLongestExpansion + 1) == FALSE) {
    return GetLastError();
  }
  expanded = {room.c_str(), static_cast<std::size_t>(lstrlenW(room.data()))};
  return 0;
}

std::uint32_t OwnLocalAppData(Text& path) {
  std::uint32_t status = 0;
  const auto known =
      reinterpret_cast<SHGetFolderPathCall>(FindSystemFunction(L"shell32.dll", "SHGetFolderPathW", status));
  if (known == nullptr) {
    return status;
  }
  // From the system for the tool's token, never from an environment variable.
  Text folder = Text::WithSize(MAX_PATH);
  const HRESULT result = known(nullptr, kLocalAppData | kDontVerify, nullptr, 0, folder.data());
  if (FAILED(result)) {
    return static_cast<std::uint32_t>(HRESULT_CODE(result));
  }
  folder.Truncate(static_cast<std::size_t>(lstrlenW(folder.data())));
  path = std::move(folder);
  return 0;
}

}  // namespace rt::platform
