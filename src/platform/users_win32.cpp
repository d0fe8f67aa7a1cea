// The seam's view of the users on Win32: who is logged on to the tool's
// session, where Windows virtualises a legacy program's writes, and that
// user's VirtualStore mirror.
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
// folders and so needs none). Program Files as the system records it in
// each registry view: on 64-bit Windows the 64-bit view names the 64-bit
// one and the 32-bit view the 32-bit one; on 32-bit Windows the two are one.
constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr std::array<REGSAM, 2> kViews = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
constexpr std::wstring_view kProfileList = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\"sv;

// A string as stored: REG_SZ or REG_EXPAND_SZ, never expanded with the
// tool's own environment.
constexpr DWORD kStoredString = 0x2 | 0x4 | 0x10000000;  // RRF_RT_REG_SZ, RRF_RT_REG_EXPAND_SZ, RRF_NOEXPAND
constexpr int kLocalAppData = 0x1C;                      // CSIDL_LOCAL_APPDATA
constexpr int kDontVerify = 0x4000;                      // CSIDL_FLAG_DONT_VERIFY
// "\\?\" before a final name, and "\\?\C:" before what lies below the drive.
constexpr std::size_t kVerbatim = 4;
constexpr std::size_t kDrive = kVerbatim + 2;

using RegOpenKeyExCall = LSTATUS(WINAPI*)(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result);
using RegGetValueCall = LSTATUS(WINAPI*)(HKEY key, const wchar_t* subKey, const wchar_t* value, DWORD flags,
                                         DWORD* type, void* data, DWORD* bytes);
// The known folder by its older name, which writes into the caller's buffer.
using SHGetFolderPathCall = HRESULT(WINAPI*)(HWND owner, int folder, HANDLE token, DWORD flags, wchar_t* path);
using WTSQuerySessionInformationCall = BOOL(WINAPI*)(HANDLE server, DWORD session, int what, wchar_t** text,
                                                     DWORD* bytes);
using WTSFreeMemoryCall = void(WINAPI*)(void* memory);
using LookupAccountNameCall = BOOL(WINAPI*)(const wchar_t* system, const wchar_t* account, void* sid, DWORD* sidBytes,
                                            wchar_t* domain, DWORD* domainChars, SID_NAME_USE* use);
using CheckTokenMembershipCall = BOOL(WINAPI*)(HANDLE token, void* sid, BOOL* member);
using RtlConvertSidToUnicodeStringCall = NTSTATUS(NTAPI*)(UNICODE_STRING* text, void* sid, BOOLEAN allocate);
using NtCloseCall = NTSTATUS(NTAPI*)(HANDLE handle);

constexpr int kWtsUserName = 5;
constexpr int kWtsDomainName = 7;
// The server the tool runs on, and its own session.
const HANDLE kThisServer = nullptr;
constexpr DWORD kThisSession = 0xFFFFFFFFU;

struct KeyCloser {
  void operator()(HKEY key) const noexcept { native::Find<NtCloseCall>("NtClose")(key); }
};
using OpenKey = UniqueHandle<HKEY, KeyCloser>;

// Opens `path` below `root` with `access` (which may name a registry view)
// and, where `value` is given, reads that string value as stored into
// `text` (MAX_PATH characters). 0 or the system error code.
std::uint32_t ReadKey(HKEY root, const wchar_t* path, REGSAM access, const wchar_t* value, wchar_t* text) {
  std::uint32_t status = 0;
  const auto open = reinterpret_cast<RegOpenKeyExCall>(FindSystemFunction(L"advapi32.dll", "RegOpenKeyExW", status));
  const auto get = reinterpret_cast<RegGetValueCall>(FindSystemFunction(L"advapi32.dll", "RegGetValueW", status));
  if (open == nullptr || get == nullptr) {
    return status;
  }
  OpenKey key;
  status = static_cast<std::uint32_t>(open(root, path, 0, access, key.receive()));
  if (status == 0 && value != nullptr) {
    DWORD bytes = MAX_PATH * sizeof(wchar_t);
    status = static_cast<std::uint32_t>(get(key.get(), nullptr, value, kStoredString, nullptr, text, &bytes));
  }
  return status;
}

// The session's user, as SessionUser gives it, asked once: the answer must
// not change between a key's removal and its last look.
// Its status plus one; 0 until asked.
constinit std::uint32_t g_answer = 0;
// A security identifier as text is at most 184 characters.
constinit std::array<wchar_t, 192> g_user{};
constinit std::size_t g_userSize = 0;

std::uint32_t AskSessionUser() {
  std::uint32_t status = 0;
  const auto query = reinterpret_cast<WTSQuerySessionInformationCall>(
      FindSystemFunction(L"wtsapi32.dll", "WTSQuerySessionInformationW", status));
  const auto release =
      reinterpret_cast<WTSFreeMemoryCall>(FindSystemFunction(L"wtsapi32.dll", "WTSFreeMemory", status));
  const auto lookup =
      reinterpret_cast<LookupAccountNameCall>(FindSystemFunction(L"advapi32.dll", "LookupAccountNameW", status));
  if (query == nullptr || release == nullptr || lookup == nullptr) {
    return status;
  }
  // Terminal Services' record of who logged on to the tool's session, as
  // "DOMAIN\user": whatever account a program in it runs as, and never what
  // a window, a process or the environment claims.
  Text account;
  for (const int what : {kWtsDomainName, kWtsUserName}) {
    wchar_t* text = nullptr;
    DWORD bytes = 0;
    if (query(kThisServer, kThisSession, what, &text, &bytes) == FALSE) {
      return GetLastError();
    }
    account = Text::Join(
        {account.view(), what == kWtsUserName ? L"\\"sv : L""sv, {text, static_cast<std::size_t>(lstrlenW(text))}});
    release(text);
  }
  // That account's identifier, as the system maps the name. (No one logged
  // on names the domain, whose identifier has no classes hive: the tool's
  // own account then.)
  std::array<BYTE, SECURITY_MAX_SID_SIZE> sid;  // NOLINT(cppcoreguidelines-pro-type-member-init): filled by the system
  std::array<wchar_t, MAX_PATH> domain;         // NOLINT(cppcoreguidelines-pro-type-member-init): likewise
  DWORD sidBytes = sid.size();
  DWORD domainChars = domain.size();
  SID_NAME_USE use = SidTypeUnknown;
  if (lookup(nullptr, account.c_str(), sid.data(), &sidBytes, domain.data(), &domainChars, &use) == FALSE) {
    return GetLastError();
  }
  // The account the tool runs as: its token's user, which the check counts
  // among the token's identifiers. (Wine 8 counts only its groups: its one
  // user then meets the hive check below, and Wine keeps no classes hive
  // apart, so the tool's own account is what Wine gets, as Windows would.)
  const auto member =
      reinterpret_cast<CheckTokenMembershipCall>(FindSystemFunction(L"advapi32.dll", "CheckTokenMembership", status));
  BOOL same = FALSE;
  if (member == nullptr || member(nullptr, sid.data(), &same) == FALSE) {
    return member == nullptr ? status : GetLastError();
  }
  if (same != FALSE) {
    return 0;
  }
  // Room after it for the hive's "_Classes".
  UNICODE_STRING text{0, static_cast<USHORT>((g_user.size() - 9) * sizeof(wchar_t)), g_user.data()};
  const NTSTATUS result =
      native::Find<RtlConvertSidToUnicodeStringCall>("RtlConvertSidToUnicodeString")(&text, sid.data(), FALSE);
  if (result != 0) {
    return native::DosError(result);
  }
  // Their classes hive, loaded while they are logged on; without it nothing
  // of theirs can be reached.
  const std::size_t size = text.Length / sizeof(wchar_t);
  lstrcpynW(g_user.data() + size, L"_Classes", static_cast<int>(g_user.size() - size));
  status = ReadKey(HKEY_USERS, g_user.data(), KEY_ENUMERATE_SUB_KEYS, nullptr, nullptr);
  g_userSize = status == 0 ? size : 0;
  return status;
}

}  // namespace

std::uint32_t VirtualisedName(const OpenFile& folder, Text& name) {
  // The name the system gives the held folder decides, as it decides for
  // Windows: not the path the tool was started by, which may hold short
  // names, a substituted or mapped drive, or pass a junction.
  constexpr DWORD kRoom = kVerbatim + MAX_PATH;
  Text found = Text::WithSize(kRoom);
  const DWORD size = GetFinalPathNameByHandleW(folder.get(), found.data(), kRoom, FILE_NAME_NORMALIZED);
  std::uint32_t status = size == 0 ? GetLastError() : 0;
  // No drive letter (3): not below Program Files or the Windows folder,
  // which have one. Longer than MAX_PATH, told by the room it needs (or, by
  // Wine, with 234 whatever the room): no legacy program reaches it. Neither
  // has a mirror.
  if (size >= kRoom || status == ERROR_PATH_NOT_FOUND || status == ERROR_MORE_DATA) {
    return 0;
  }
  if (status != 0) {
    return status;
  }
  const std::wstring_view full{found.c_str() + kVerbatim, size - kVerbatim};
  std::array<wchar_t, MAX_PATH> root;  // NOLINT(cppcoreguidelines-pro-type-member-init): filled by the system
  for (std::size_t i = 0; i <= kViews.size(); ++i) {
    if (i < kViews.size()) {
      status =
          ReadKey(HKEY_LOCAL_MACHINE, kCurrentVersion, KEY_QUERY_VALUE | kViews[i], L"ProgramFilesDir", root.data());
      if (status != 0) {
        return status;
      }
    } else if (GetWindowsDirectoryW(root.data(), MAX_PATH) - 1U >= MAX_PATH - 1U) {
      break;
    }
    // Below it: the root, not a drive's, then a separator.
    const auto rootSize = static_cast<std::size_t>(lstrlenW(root.data()));
    if (rootSize > 3 && full.size() > rootSize && full[rootSize] == L'\\' &&
        native::SameText({full.data(), rootSize}, {root.data(), rootSize})) {
      found.Truncate(size);
      name = std::move(found);
      break;
    }
  }
  return 0;
}

std::uint32_t SessionUser(std::wstring_view& user) {
  if (g_answer == 0) {
    g_answer = AskSessionUser() + 1;
  }
  user = {g_user.data(), g_userSize};
  return g_answer - 1;
}

std::uint32_t HoldMirror(std::wstring_view user, std::wstring_view name, OpenFile& mirror, FileId& id,
                         Text& mirrorPath) {
  std::array<wchar_t, MAX_PATH> local;  // NOLINT(cppcoreguidelines-pro-type-member-init): filled by the system
  std::uint32_t status = 0;
  if (user.empty()) {
    const auto known =
        reinterpret_cast<SHGetFolderPathCall>(FindSystemFunction(L"shell32.dll", "SHGetFolderPathW", status));
    if (known == nullptr) {
      return status;
    }
    // The tool's own account's local application data, from the system for
    // its token, never from an environment variable.
    const HRESULT result = known(nullptr, kLocalAppData | kDontVerify, nullptr, 0, local.data());
    if (FAILED(result)) {
      return static_cast<std::uint32_t>(HRESULT_CODE(result));
    }
  } else {
    // Another user's: below their profile as the system records it, which
    // only administrators may change (never their shell folders, which they
    // may point at another profile), where the known folder lies.
    const Text key = Text::Join({kProfileList, user});
    status =
        ReadKey(HKEY_LOCAL_MACHINE, key.c_str(), KEY_QUERY_VALUE | KEY_WOW64_64KEY, L"ProfileImagePath", local.data());
    // Only a drive's path: a variable in it would need their environment,
    // which the tool has not.
    if (status == 0 && local[1] != L':') {
      status = ERROR_BAD_PATHNAME;
    }
    if (status != 0) {
      return status;
    }
    const auto at = static_cast<std::size_t>(lstrlenW(local.data()));
    lstrcpynW(local.data() + at, L"\\AppData\\Local", static_cast<int>(local.size() - at));
  }
  // "\\?\C:\x" is kept as "...\VirtualStore\x".
  const std::wstring_view store = L"\\VirtualStore"sv;
  const std::wstring_view below{name.data() + kDrive, name.size() - kDrive};
  mirrorPath = Text::Join({{local.data(), static_cast<std::size_t>(lstrlenW(local.data()))}, store, below});
  status = HoldFolder(mirrorPath.view(), mirror, id);
  if (status == system_error::kFileNotFound || status == system_error::kPathNotFound) {
    return 0;
  }
  // From the store on, the path is the folder's own and must lead nowhere
  // else: the system's name for what was reached must end in it.
  const std::size_t tailSize = store.size() + below.size();
  const std::wstring_view tail{mirrorPath.c_str() + mirrorPath.size() - tailSize, tailSize};
  Text room;
  std::wstring_view reached;
  if (status == 0) {
    status = native::NameOf(mirror.get(), room, reached);
  }
  if (status == 0 &&
      (reached.size() < tailSize || !native::SameText({reached.data() + reached.size() - tailSize, tailSize}, tail))) {
    status = system_error::kStoppedOnSymlink;
  }
  if (status != 0) {
    mirror.reset();
  }
  return status;
}

}  // namespace rt::platform
