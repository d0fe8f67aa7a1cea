// Module1: every copy of a key removed, each in its own hive, another
// user's walked from HKEY_USERS by counted names, never through a link.
#include "registry/module1.h"

#include <array>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "registry/key_calls.h"

namespace Module1 {

namespace {

using namespace std::string_view_literals;
using namespace keys;

// The classes hives HKEY_USERS listed, each as "S-1-5-21-..._Classes\" and
// a NUL; the copies in them that stayed, each named in full and followed by
// a NUL, and how many of those the last look has passed; and the run that
// listed them, plus one (0: none yet, whatever the run).
struct ClassHives {
  rt::ItemList hives;
  rt::ItemList stayed;
  std::size_t passed = 0;
};
constinit ClassHives* g_classHives = nullptr;
constinit std::uint32_t g_listedIn = 0;

// Whether the copy `full` stayed this run: noted once, not looked at again.
// The last look meets the copies in the order the removal noted them, so
// only the next one noted can be this one.
bool Stayed(std::wstring_view full) {
  const std::wstring_view stayed = g_classHives->stayed.view();
  std::size_t at = g_classHives->passed;
  if (at == stayed.size() || !rt::platform::SameName(rt::NextItem(stayed, at), full)) {
    return false;
  }
  g_classHives->passed = at;
  return true;
}

// Opens each key of `path` below HKEY_USERS but the last, one after the
// other, each by its counted name relative to the one before and as itself,
// never through a registry link: a user makes links in their hive as they
// please. 0 with `parent` the last one's parent and `last` where its name
// starts; 2 where one is absent; 681 where one is a link, which holds its
// target as its SymbolicLinkValue (an ordinary key with such a value is
// refused too); or the system error code.
std::uint32_t OpenParent(std::wstring_view path, OpenKey& parent, std::size_t& last) {
  // HKEY_USERS by the kernel's name: the native call takes no predefined
  // handle, and RegOpenKeyExA gives no handle of its own for it everywhere.
  std::wstring_view name = LR"(\Registry\User)"sv;
  for (std::size_t end = last;; last = ++end) {
    const auto bytes = static_cast<std::uint16_t>(name.size() * sizeof(wchar_t));
    const CountedName counted{bytes, bytes, name.data()};
    const ObjectAttributes attributes{sizeof attributes, parent.get(), &counted, kCaseInsensitive | kObjOpenLink,
                                      nullptr,           nullptr};
    OpenKey next;
    const std::int32_t opened = rt::Declared<NtOpenKey, kNtOpenKey>()(next.receive(), kQueryValue, &attributes);
    rt::vbaSetSystemError();
    std::uint32_t status = opened == 0 ? 0 : DosError(opened);
    if (status == 0) {
      status = Kept(rt::Declared<RegQueryValueExW, kRegQueryValueExW>()(next.get(), L"SymbolicLinkValue", nullptr,
                                                                        nullptr, nullptr, nullptr));
      status = status == 0                                 ? rt::system_error::kStoppedOnSymlink
               : status == rt::system_error::kFileNotFound ? 0
                                                           : status;
    }
    if (status != 0) {
      return status;
    }
    parent = std::move(next);
    while (end < path.size() && path[end] != L'\\') {
      ++end;
    }
    if (end == path.size()) {
      return 0;
    }
    name = {path.data() + last, end - last};
  }
}

// Runs `step` on the copy `keyPath` below `hive`'s `copy` ("Software\Classes\",
// "S-1-5-21-..._Classes\" or nothing). A failure raises the run-time error
// naming that copy; in another user's classes hive, it is noted, and that
// copy is not looked at again this run.
void OnCopy(rt::RootKey hive, std::wstring_view copy, std::wstring_view keyPath, Step step) {
  const std::wstring_view hiveName = rt::RootKeyPrefix(hive);
  const rt::Text full = rt::Text::Join({hiveName, copy, keyPath});
  const std::wstring_view path{full.c_str() + hiveName.size(), full.size() - hiveName.size()};
  const bool theirs = hive == rt::RootKey::Users;
  if (theirs && Stayed(full.view())) {
    return;
  }
  OpenKey parent;
  std::size_t last = 0;
  std::uint32_t status = theirs ? OpenParent(path, parent, last) : 0;
  if (status == rt::system_error::kFileNotFound) {
    return;
  }
  rt::AnsiText ansi;
  // Never an empty path, which would name the hive itself: a conversion
  // that fails or comes out empty stops here.
  if (status == 0) {
    status = rt::vbaStrToAnsi({path.data() + last, path.size() - last}, ansi);
  }
  rt::Text where;
  if (status == 0) {
    status = step(theirs ? parent.get() : static_cast<Key>(hive), ansi.c_str(), where);
  }
  // Another user's hive unloaded meanwhile (they logged off) leaves the keys
  // held in it marked deleted: what it held stays theirs, as for any user
  // not logged on.
  if (theirs && status == rt::system_error::kKeyDeleted) {
    return;
  }
  if (status != 0) {
    // Unfinished: back after removal, time after time; something keeps making it.
    const std::uint32_t code = status == kUnfinished ? rt::system_error::kAlreadyExists : status;
    const rt::Text key = rt::Text::Join({keyPath, where.view()});
    const std::wstring_view prefix{full.c_str(), full.size() - keyPath.size()};
    rt::Failed(theirs, code, prefix, key.view(), rt::Advice(code, true).view());
    // Only another user's copy is noted, and the run goes on.
    g_classHives->stayed.Add(full.view());
  }
}

void ListClassHives() {
  if (g_classHives == nullptr) {
    void* block = rt::platform::Allocate(sizeof(ClassHives));
    if (block == nullptr) {
      rt::OutOfMemory();
    }
    g_classHives = new (block) ClassHives;
  }
  g_classHives->stayed.used = 0;
  g_classHives->passed = 0;
  rt::ItemList& hives = g_classHives->hives;
  hives.used = 0;
  constexpr std::wstring_view kClasses = L"_Classes"sv;
  std::array<wchar_t, kMaxKeyName + 1> name;  // NOLINT(cppcoreguidelines-pro-type-member-init): filled by the system
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t chars = name.size();
    const std::uint32_t status = Kept(rt::Declared<RegEnumKeyExW, kRegEnumKeyExW>()(
        static_cast<Key>(rt::RootKey::Users), index, name.data(), &chars, nullptr, nullptr, nullptr, nullptr));
    if (status == rt::system_error::kNoMoreItems) {
      g_listedIn = rt::RunNumber() + 1;
      return;
    }
    if (status != 0) {
      rt::vbaRaise(rt::ErrorForSystemCode(status), status, rt::RootKeyPrefix(rt::RootKey::Users), {});
    }
    // Named by the system, so spelled as it spells them.
    bool classes = chars > kClasses.size();
    for (std::size_t i = 0; classes && i < kClasses.size(); ++i) {
      classes = name[chars - kClasses.size() + i] == kClasses[i];
    }
    if (classes) {
      name[chars] = L'\\';
      hives.Add({name.data(), chars + 1});
    }
  }
}

// Runs `step` on every copy of the key `keyPath` below `root`, in the hive
// each lives in. A class key's per-user copies come first: the tool's own
// account's, and, run with an administrator's rights, every loaded user's;
// its machine copy in the machine's hive.
void OnKey(rt::RootKey root, std::wstring_view keyPath, Step step) {
  if (root == rt::RootKey::MachineClasses) {
    OnCopy(rt::RootKey::LocalMachine, LR"(Software\Classes\)"sv, keyPath, step);
    return;
  }
  if (root != rt::RootKey::UserClasses) {
    OnCopy(root, {}, keyPath, step);
    return;
  }
  OnCopy(rt::RootKey::CurrentUser, LR"(Software\Classes\)"sv, keyPath, step);
  if (!rt::IsAdministrator()) {
    return;
  }
  // Every user's classes hive loaded (users logged on, fast user switching
  // included), as HKEY_USERS lists them: "S-1-5-21-..._Classes". Listed at
  // the run's first walk, so the last look sees the copies the removal saw.
  if (g_listedIn != rt::RunNumber() + 1) {
    ListClassHives();
  }
  const std::wstring_view hives = g_classHives->hives.view();
  for (std::size_t at = 0; at < hives.size();) {
    OnCopy(rt::RootKey::Users, rt::NextItem(hives, at), keyPath, step);
  }
}

}  // namespace

void RemoveRegKey(rt::RootKey root, std::wstring_view keyPath) { OnKey(root, keyPath, RemoveTree); }

void ConfirmRegKeyGone(rt::RootKey root, std::wstring_view keyPath) { OnKey(root, keyPath, LookFor); }

}  // namespace Module1
