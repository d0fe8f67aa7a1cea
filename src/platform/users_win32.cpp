// The seam's view of the user on Win32: where Windows keeps what a legacy
// program writes beside itself, that user's VirtualStore mirror.
#include <array>
#include <string_view>

#include "platform/native_win32.h"

namespace rt::platform {

namespace {

using namespace std::string_view_literals;

// Where Windows virtualises the writes of a legacy program (a 32-bit one
// without a manifest, run by a standard user) since Windows Vista: Program
// Files and the Windows folder (%ProgramFiles% and %SystemRoot% in the UAC
// documentation; ProgramData, which some add, lets users create their own
// folders and so needs none). Program Files as the system records it: a
// 32-bit program reads ProgramFilesDir as the 32-bit one, and
// ProgramW6432Dir, on 64-bit Windows, as the 64-bit one.
constexpr wchar_t kProgramFilesKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr wchar_t kProgramFilesValues[] = L"ProgramFilesDir\0ProgramW6432Dir";
constexpr std::size_t kVirtualisedRoots = 3;  // the two, then the Windows folder

constexpr DWORD kRegString = 0x2;    // RRF_RT_REG_SZ
constexpr int kLocalAppData = 0x1C;  // CSIDL_LOCAL_APPDATA
constexpr int kDontVerify = 0x4000;  // CSIDL_FLAG_DONT_VERIFY
using RegGetValueCall = LSTATUS(WINAPI*)(HKEY key, const wchar_t* subKey, const wchar_t* value, DWORD flags,
                                         DWORD* type, void* data, DWORD* bytes);
// The known folder by its older name, which writes into the caller's buffer.
using SHGetFolderPathCall = HRESULT(WINAPI*)(HWND owner, int folder, HANDLE token, DWORD flags, wchar_t* path);

// Whether `path` is `root` or lies below it.
bool Below(std::wstring_view path, const wchar_t* root) {
  const auto size = static_cast<std::size_t>(lstrlenW(root));
  return size > 2 && path.size() >= size && native::SameText({path.data(), size}, {root, size}) &&
         (path.size() == size || path[size] == L'\\' || root[size - 1] == L'\\');
}

}  // namespace

std::uint32_t HoldMirror(std::wstring_view path, OpenFile& mirror, FileId& id, Text& mirrorPath) {
  // The folder as the tool was started from it, a full path; started by a
  // short name, it is not seen to lie in a virtualised place.
  const std::wstring_view full = path;
  std::uint32_t status = 0;
  const auto get = reinterpret_cast<RegGetValueCall>(FindSystemFunction(L"advapi32.dll", "RegGetValueW", status));
  if (get == nullptr) {
    return status;
  }
  bool virtualised = false;
  const wchar_t* value = kProgramFilesValues;
  for (std::size_t i = 0; i < kVirtualisedRoots; ++i) {
    std::array<wchar_t, MAX_PATH> found;  // NOLINT(cppcoreguidelines-pro-type-member-init): filled by the system
    DWORD bytes = sizeof found;
    const bool known = i < 2 ? get(HKEY_LOCAL_MACHINE, kProgramFilesKey, value, kRegString, nullptr, found.data(),
                                   &bytes) == ERROR_SUCCESS
                             : GetWindowsDirectoryW(found.data(), MAX_PATH) - 1U < MAX_PATH - 1U;
    virtualised = virtualised || (known && Below(full, found.data()));
    value += lstrlenW(value) + 1;
  }
  // Only a drive's path has a mirror: "C:\x" is kept as "...\VirtualStore\x".
  if (!virtualised || full.size() < 3 || full[1] != L':') {
    return 0;
  }
  const auto known =
      reinterpret_cast<SHGetFolderPathCall>(FindSystemFunction(L"shell32.dll", "SHGetFolderPathW", status));
  if (known == nullptr) {
    return status;
  }
  // The user's own local application data, from the system for the user's
  // token, never from an environment variable.
  std::array<wchar_t, MAX_PATH> local;  // NOLINT(cppcoreguidelines-pro-type-member-init): filled by the system
  const HRESULT result = known(nullptr, kLocalAppData | kDontVerify, nullptr, 0, local.data());
  if (FAILED(result)) {
    return static_cast<std::uint32_t>(HRESULT_CODE(result));
  }
  const auto localSize = static_cast<std::size_t>(lstrlenW(local.data()));
  mirrorPath = Text::Join({{local.data(), localSize}, L"\\VirtualStore"sv, {full.data() + 2, full.size() - 2}});
  status = HoldFolder(mirrorPath.view(), mirror, id);
  if (status == system_error::kFileNotFound || status == system_error::kPathNotFound) {
    return 0;
  }
  // From the store on, the path is the folder's own and must lead nowhere
  // else: the system's name for what was reached must end in it.
  const std::wstring_view tail{mirrorPath.c_str() + localSize, mirrorPath.size() - localSize};
  Text room;
  std::wstring_view name;
  if (status == 0) {
    status = native::NameOf(mirror.get(), room, name);
  }
  if (status == 0 &&
      (name.size() < tail.size() || !native::SameText({name.data() + name.size() - tail.size(), tail.size()}, tail))) {
    status = system_error::kStoppedOnSymlink;
  }
  if (status != 0) {
    mirror.reset();
  }
  return status;
}

}  // namespace rt::platform
