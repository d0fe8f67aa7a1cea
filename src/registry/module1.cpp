// Module1: a registry key tree removed key by key through declared calls, never through a link.
#include "registry/module1.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/unique_handle.h"

namespace Module1 {

namespace {

using namespace std::string_view_literals;

using Key = std::uintptr_t;

// Every key is opened as itself: a link is the link, never what it names.
constexpr std::uint32_t kOpenLink = 0x8;  // REG_OPTION_OPEN_LINK
constexpr std::uint32_t kEnumerateSubKeys = 0x8;
constexpr std::uint32_t kDelete = 0x10000;

constexpr rt::DeclaredFunction kRegOpenKeyExA{L"advapi32.dll", "RegOpenKeyExA"};
constexpr rt::DeclaredFunction kRegOpenKeyExW{L"advapi32.dll", "RegOpenKeyExW"};
constexpr rt::DeclaredFunction kRegEnumKeyExW{L"advapi32.dll", "RegEnumKeyExW"};
constexpr rt::DeclaredFunction kRegCloseKey{L"advapi32.dll", "RegCloseKey"};
// The one-key step on a handle: a deletion by name would reopen the name,
// and follow a link put there meanwhile.
constexpr rt::DeclaredFunction kNtDeleteKey{L"ntdll.dll", "NtDeleteKey"};
constexpr rt::DeclaredFunction kRtlNtStatusToDosError{L"ntdll.dll", "RtlNtStatusToDosError"};

using RegOpenKeyExA = std::int32_t(RT_WINAPI*)(Key key, const char* subKey, std::uint32_t options, std::uint32_t access,
                                               Key* result);
using RegOpenKeyExW = std::int32_t(RT_WINAPI*)(Key key, const wchar_t* subKey, std::uint32_t options,
                                               std::uint32_t access, Key* result);
using RegEnumKeyExW = std::int32_t(RT_WINAPI*)(Key key, std::uint32_t index, wchar_t* name, std::uint32_t* nameLength,
                                               std::uint32_t* reserved, wchar_t* className, std::uint32_t* classLength,
                                               void* lastWriteTime);
using RegCloseKey = std::int32_t(RT_WINAPI*)(Key key);
using NtDeleteKey = std::int32_t(RT_WINAPI*)(Key key);
using RtlNtStatusToDosError = std::uint32_t(RT_WINAPI*)(std::int32_t status);

struct KeyCloser {
  void operator()(Key key) const noexcept { rt::Declared<RegCloseKey, kRegCloseKey>()(key); }
};
using OpenKey = rt::UniqueHandle<Key, KeyCloser>;

std::uint32_t Kept(std::int32_t status) {
  rt::vbaSetSystemError();
  return static_cast<std::uint32_t>(status);
}

// A subkey that appeared meanwhile keeps its parent; and one deleted by
// someone else meanwhile counts as deleted.
constexpr std::int32_t kStatusCannotDelete = static_cast<std::int32_t>(0xC0000121U);
constexpr std::int32_t kStatusKeyDeleted = static_cast<std::int32_t>(0xC000017CU);

// Windows keeps a tree at most 512 levels deep; a key name is at most 255
// characters.
constexpr std::size_t kMaxDepth = 512;
constexpr std::size_t kMaxKeyName = 255;
// A target removed and back at once, time after time, or a tree refilled as
// fast as it goes (some million keys): something keeps making it.
constexpr int kPasses = 3;
constexpr std::uint32_t kMaxSteps = 1U << 22;
// Stopped with keys left; no system error says why.
constexpr std::uint32_t kUnfinished = 0xFFFFFFFFU;

// Removes `path` below `hive` with everything under it, deepest first. Each
// subkey is opened by its UTF-16 name as itself, relative to its open
// parent: a link goes as a link and what it names stays, and no loop can
// arise. Each key is visited once, so the time is linear in the keys. Once
// the key itself is deleted it is looked for again: 0 only when it is found
// absent, so gone is confirmed, not assumed. Otherwise the status that
// stopped it.
std::uint32_t RemoveTree(Key hive, const char* path) {
  std::array<OpenKey, kMaxDepth + 1> open;
  std::array<wchar_t, kMaxKeyName + 1> name;  // NOLINT(cppcoreguidelines-pro-type-member-init): filled by the system
  std::size_t depth = 0;
  int passes = 0;
  for (std::uint32_t step = 0; step < kMaxSteps; ++step) {
    if (open[0].get() == 0) {
      const std::uint32_t status = Kept(rt::Declared<RegOpenKeyExA, kRegOpenKeyExA>()(
          hive, path, kOpenLink, kEnumerateSubKeys | kDelete, open[0].receive()));
      if (status != 0) {
        return status == rt::system_error::kFileNotFound ? 0 : status;
      }
      // Removed that often, and back each time.
      if (passes++ == kPasses) {
        return kUnfinished;
      }
    }
    const Key key = open[depth].get();
    auto length = static_cast<std::uint32_t>(name.size());
    std::uint32_t status = Kept(rt::Declared<RegEnumKeyExW, kRegEnumKeyExW>()(key, 0, name.data(), &length, nullptr,
                                                                              nullptr, nullptr, nullptr));
    if (status == 0) {
      for (std::uint32_t i = 0; i < length; ++i) {
        // A name is one key, never a path to be walked.
        if (name[i] == L'\\' || name[i] == L'\0') {
          return rt::system_error::kStoppedOnSymlink;
        }
      }
      if (depth + 1 == open.size()) {
        return kUnfinished;
      }
      status = Kept(rt::Declared<RegOpenKeyExW, kRegOpenKeyExW>()(
          key, name.data(), kOpenLink, kEnumerateSubKeys | kDelete, open[depth + 1].receive()));
      depth += status == 0 ? 1 : 0;
      // Gone meanwhile: look again.
      if (status == 0 || status == rt::system_error::kFileNotFound) {
        continue;
      }
      return status;
    }
    if (status == rt::system_error::kNoMoreItems) {
      const std::int32_t deleted = rt::Declared<NtDeleteKey, kNtDeleteKey>()(key);
      rt::vbaSetSystemError();
      if (deleted == kStatusCannotDelete) {
        continue;
      }
      if (deleted != 0 && deleted != kStatusKeyDeleted) {
        return rt::Declared<RtlNtStatusToDosError, kRtlNtStatusToDosError>()(deleted);
      }
    } else if (status != rt::system_error::kKeyDeleted) {
      return status;
    }
    // At the top, the target is opened again to see that it is gone.
    open[depth].reset();
    depth -= depth != 0 ? 1 : 0;
  }
  return kUnfinished;
}

}  // namespace

void RemoveRegKey(rt::RootKey root, std::wstring_view keyPath) {
  // HKEY_CLASSES_ROOT shows a per-user copy over the machine's: both go, the
  // user's first, which the user may always remove.
  const bool classes = root == rt::RootKey::ClassesRoot;
  const rt::AnsiText path =
      rt::vbaStrToAnsi(rt::Text::Join({classes ? LR"(Software\Classes\)"sv : L""sv, keyPath}).view());
  constexpr std::array<rt::RootKey, 2> kClassHives = {rt::RootKey::CurrentUser, rt::RootKey::LocalMachine};
  for (std::size_t copy = 0; copy < (classes ? kClassHives.size() : 1); ++copy) {
    const auto hive = static_cast<Key>(classes ? kClassHives[copy] : root);
    const std::uint32_t status = RemoveTree(hive, path.c_str());
    if (status != 0) {
      // Unfinished: removed and back, or endless; something keeps making it.
      const bool unfinished = status == kUnfinished;
      rt::vbaRaise(unfinished ? rt::ErrorNumber::PathFileAccess : rt::ErrorForSystemCode(status),
                   unfinished ? 0 : status, rt::RootKeyPrefix(root), keyPath);
    }
  }
}

}  // namespace Module1
