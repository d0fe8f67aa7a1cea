// The registry calls Module1 declares, as its key walk and its copies make
// them: each bound on its first call, the handle owner, and the answers both
// tell apart.
#pragma once

#include <cstdint>

#include "platform/unique_handle.h"
#include "registry/native_keys.h"
#include "runtime/runtime.h"

namespace Module1::keys {

using namespace native;

inline constexpr std::uint32_t kQueryValue = 0x1;
inline constexpr std::uint32_t kEnumerateSubKeys = 0x8;
inline constexpr std::uint32_t kDelete = 0x10000;

inline constexpr rt::DeclaredFunction kRegOpenKeyExA{rt::platform::kAdvapi32, "RegOpenKeyExA"};
inline constexpr rt::DeclaredFunction kRegCloseKey{rt::platform::kAdvapi32, "RegCloseKey"};
inline constexpr rt::DeclaredFunction kRegQueryValueExW{rt::platform::kAdvapi32, "RegQueryValueExW"};
inline constexpr rt::DeclaredFunction kRegEnumKeyExW{rt::platform::kAdvapi32, "RegEnumKeyExW"};
inline constexpr rt::DeclaredFunction kNtEnumerateKey{L"ntdll.dll", "NtEnumerateKey"};
inline constexpr rt::DeclaredFunction kNtOpenKey{L"ntdll.dll", "NtOpenKey"};
inline constexpr rt::DeclaredFunction kNtQueryKey{L"ntdll.dll", "NtQueryKey"};
// The one-key step on a handle: a deletion by name would reopen the name,
// and follow a link put there meanwhile.
inline constexpr rt::DeclaredFunction kNtDeleteKey{L"ntdll.dll", "NtDeleteKey"};
inline constexpr rt::DeclaredFunction kRtlNtStatusToDosError{L"ntdll.dll", "RtlNtStatusToDosError"};

using RegOpenKeyExA = std::int32_t(RT_WINAPI*)(Key key, const char* subKey, std::uint32_t options, std::uint32_t access,
                                               Key* result);
using RegCloseKey = std::int32_t(RT_WINAPI*)(Key key);
using RegEnumKeyExW = std::int32_t(RT_WINAPI*)(Key key, std::uint32_t index, wchar_t* name, std::uint32_t* chars,
                                               std::uint32_t* reserved, wchar_t* className, std::uint32_t* classChars,
                                               void* written);
using RegQueryValueExW = std::int32_t(RT_WINAPI*)(Key key, const wchar_t* name, void* reserved, std::uint32_t* type,
                                                  void* data, std::uint32_t* bytes);
using NtEnumerateKey = std::int32_t(RT_WINAPI*)(Key key, std::uint32_t index, int what, void* information,
                                                std::uint32_t size, std::uint32_t* returned);
using NtOpenKey = std::int32_t(RT_WINAPI*)(Key* result, std::uint32_t access, const ObjectAttributes* attributes);
using NtQueryKey = std::int32_t(RT_WINAPI*)(Key key, int what, void* information, std::uint32_t size,
                                            std::uint32_t* returned);
using NtDeleteKey = std::int32_t(RT_WINAPI*)(Key key);
using RtlNtStatusToDosError = std::uint32_t(RT_WINAPI*)(std::int32_t status);

struct KeyCloser {
  void operator()(Key key) const noexcept { rt::Declared<RegCloseKey, kRegCloseKey>()(key); }
};
using OpenKey = rt::UniqueHandle<Key, KeyCloser>;

// Back after removal, time after time; no system error says why.
inline constexpr std::uint32_t kUnfinished = 0xFFFFFFFFU;

inline std::uint32_t Kept(std::int32_t status) {
  rt::vbaSetSystemError();
  return static_cast<std::uint32_t>(status);
}

inline std::uint32_t DosError(std::int32_t status) {
  return rt::Declared<RtlNtStatusToDosError, kRtlNtStatusToDosError>()(status);
}

// One step on a copy of a key: the walk that removes it, or the last look.
using Step = std::uint32_t (*)(Key, const char*, rt::Text&);

// Removes `path` below `hive` with everything under it, and confirms it gone;
// the last look for it. Each 0, or why not, with `where` the key it stopped
// at below the target.
std::uint32_t RemoveTree(Key hive, const char* path, rt::Text& where);
std::uint32_t LookFor(Key hive, const char* path, rt::Text& where);

}  // namespace Module1::keys
