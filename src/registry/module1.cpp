#include "registry/module1.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "runtime/unique_handle.h"

namespace Module1 {

namespace {

using namespace std::string_view_literals;

using Key = std::uintptr_t;

// Every key is opened as itself: a link is the link, never what it names.
constexpr std::uint32_t kOpenLink = 0x8;  // REG_OPTION_OPEN_LINK
constexpr std::uint32_t kEnumerateSubKeys = 0x8;
constexpr std::uint32_t kDelete = 0x10000;

constexpr rt::DeclaredFunction kRegOpenKeyEx{L"advapi32.dll", "RegOpenKeyExA"};
constexpr rt::DeclaredFunction kRegEnumKeyEx{L"advapi32.dll", "RegEnumKeyExA"};
constexpr rt::DeclaredFunction kRegCloseKey{L"advapi32.dll", "RegCloseKey"};
// The one-key step on a handle: a deletion by name would reopen the name,
// and follow a link put there meanwhile.
constexpr rt::DeclaredFunction kNtDeleteKey{L"ntdll.dll", "NtDeleteKey"};
constexpr rt::DeclaredFunction kRtlNtStatusToDosError{L"ntdll.dll", "RtlNtStatusToDosError"};

using RegOpenKeyExA = std::int32_t(RT_WINAPI*)(Key key, const char* subKey, std::uint32_t options, std::uint32_t access,
                                               Key* result);
using RegEnumKeyExA = std::int32_t(RT_WINAPI*)(Key key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                                               std::uint32_t* reserved, char* className, std::uint32_t* classLength,
                                               void* lastWriteTime);
using RegCloseKey = std::int32_t(RT_WINAPI*)(Key key);
using NtDeleteKey = std::int32_t(RT_WINAPI*)(Key key);
using RtlNtStatusToDosError = std::uint32_t(RT_WINAPI*)(std::int32_t status);

struct KeyCloser {
  void operator()(Key key) const noexcept { rt::Declared<RegCloseKey, kRegCloseKey>()(key); }
};
using OpenKey = rt::UniqueHandle<Key, KeyCloser>;

std::uint32_t OpenAsItself(Key parent, const char* name, std::uint32_t access, OpenKey& key) {
  const std::int32_t status =
      rt::Declared<RegOpenKeyExA, kRegOpenKeyEx>()(parent, name, kOpenLink, access, key.receive());
  rt::vbaSetSystemError();
  return static_cast<std::uint32_t>(status);
}

std::uint32_t DeleteOpened(const OpenKey& key) {
  const std::int32_t status = rt::Declared<NtDeleteKey, kNtDeleteKey>()(key.get());
  rt::vbaSetSystemError();
  return status == 0 ? 0 : rt::Declared<RtlNtStatusToDosError, kRtlNtStatusToDosError>()(status);
}

// Bounds a removal that something keeps feeding with new keys.
constexpr int kMaxKeys = 4096;
constexpr std::size_t kMaxKeyName = 255;
// Stopped at the bound with keys left; no system error says why.
constexpr std::uint32_t kUnfinished = 0xFFFFFFFFU;

// Removes `path` below `hive` and everything under it, one key at a time,
// deepest first: from the top, down the first subkeys to one that has none,
// which goes. Each step opens a name as itself, so a link anywhere goes as a
// link and what it names stays, no loop can arise, and no depth costs more
// than two open keys. Returns 0 only once the key itself is found absent:
// gone is confirmed, not assumed. Otherwise the status that stopped it.
std::uint32_t RemoveTree(Key hive, const char* path) {
  for (int removed = 0; removed < kMaxKeys; ++removed) {
    OpenKey key;
    std::uint32_t status = OpenAsItself(hive, path, kEnumerateSubKeys | kDelete, key);
    if (status != 0) {
      return status == rt::system_error::kFileNotFound ? 0 : status;
    }
    bool retried = false;
    for (std::uint32_t index = 0;;) {
      std::array<char, kMaxKeyName + 1> name{};
      auto length = static_cast<std::uint32_t>(name.size());
      status = static_cast<std::uint32_t>(rt::Declared<RegEnumKeyExA, kRegEnumKeyEx>()(
          key.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr));
      rt::vbaSetSystemError();
      if (status == 0) {
        OpenKey below;
        status = OpenAsItself(key.get(), name.data(), kEnumerateSubKeys | kDelete, below);
        if (status == 0) {
          key.swap(below);  // the parent closes as `below` goes
          index = 0;
          retried = false;
          continue;
        }
        if (status == rt::system_error::kFileNotFound) {
          // Gone meanwhile: look again. Missing twice: a name the ANSI code
          // page cannot carry; pass it, and deleting its parent says so.
          index += retried ? 1 : 0;
          retried = !retried;
          continue;
        }
      }
      break;
    }
    if (status == rt::system_error::kNoMoreItems) {
      status = DeleteOpened(key);
    }
    // Deleted by someone else meanwhile counts as deleted.
    if (status != 0 && status != rt::system_error::kKeyDeleted) {
      return status;
    }
  }
  return kUnfinished;
}

}  // namespace

void RemoveRegKey(rt::RootKey root, std::wstring_view keyPath) {
  const rt::AnsiText ansiPath = rt::vbaStrToAnsi(keyPath);
  // HKEY_CLASSES_ROOT shows a per-user copy over the machine's: both go.
  const bool classes = root == rt::RootKey::ClassesRoot;
  const rt::AnsiText path = rt::AnsiText::Join({classes ? R"(Software\Classes\)"sv : ""sv, ansiPath.view()});
  constexpr std::array<rt::RootKey, 2> kHives = {rt::RootKey::LocalMachine, rt::RootKey::CurrentUser};
  for (std::size_t copy = 0; copy < (classes ? kHives.size() : 1); ++copy) {
    const auto hive = static_cast<Key>(kHives[copy]);
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
