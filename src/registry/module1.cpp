// Module1: a registry key tree removed key by key through declared calls, never through a link.
#include "registry/module1.h"

#include <array>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "platform/unique_handle.h"
#include "registry/native_keys.h"

namespace Module1 {

namespace {

using namespace std::string_view_literals;

using namespace native;

constexpr std::uint32_t kQueryValue = 0x1;
constexpr std::uint32_t kEnumerateSubKeys = 0x8;
constexpr std::uint32_t kDelete = 0x10000;

constexpr rt::DeclaredFunction kRegOpenKeyExA{rt::platform::kAdvapi32, "RegOpenKeyExA"};
constexpr rt::DeclaredFunction kRegCloseKey{rt::platform::kAdvapi32, "RegCloseKey"};
constexpr rt::DeclaredFunction kRegQueryValueExW{rt::platform::kAdvapi32, "RegQueryValueExW"};
constexpr rt::DeclaredFunction kRegEnumKeyExW{rt::platform::kAdvapi32, "RegEnumKeyExW"};
constexpr rt::DeclaredFunction kNtEnumerateKey{L"ntdll.dll", "NtEnumerateKey"};
constexpr rt::DeclaredFunction kNtOpenKey{L"ntdll.dll", "NtOpenKey"};
constexpr rt::DeclaredFunction kNtQueryKey{L"ntdll.dll", "NtQueryKey"};
// The one-key step on a handle: a deletion by name would reopen the name,
// and follow a link put there meanwhile.
constexpr rt::DeclaredFunction kNtDeleteKey{L"ntdll.dll", "NtDeleteKey"};
constexpr rt::DeclaredFunction kRtlNtStatusToDosError{L"ntdll.dll", "RtlNtStatusToDosError"};

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

// A target removed and back at once, time after time: something keeps
// making it.
constexpr int kPasses = 3;
// A walk gives up after some million keys: a tree refilled as fast as it
// goes, or too large to finish.
constexpr std::uint32_t kMaxSteps = 1U << 22;
// Back after removal, time after time; no system error says why.
constexpr std::uint32_t kUnfinished = 0xFFFFFFFFU;

std::uint32_t Kept(std::int32_t status) {
  rt::vbaSetSystemError();
  return static_cast<std::uint32_t>(status);
}

std::uint32_t DosError(std::int32_t status) {
  return rt::Declared<RtlNtStatusToDosError, kRtlNtStatusToDosError>()(status);
}

// The key's full name, as the system gives it ("\REGISTRY\MACHINE\x"), in
// room for `chars` characters; empty where it does not fit or is not given.
rt::Text KernelName(Key key, std::size_t chars) {
  // The name's size, then the name, as the system writes it. What it says it
  // wrote is the size and the name.
  constexpr std::size_t kSizeChars = sizeof(std::uint32_t) / sizeof(wchar_t);
  rt::Text room = rt::Text::WithSize(kSizeChars + chars);
  std::uint32_t returned = 0;
  if (rt::Declared<NtQueryKey, kNtQueryKey>()(key, kKeyNameInformation, room.data(),
                                              (kSizeChars + chars) * sizeof(wchar_t), &returned) != 0 ||
      returned < kSizeChars * sizeof(wchar_t)) {
    returned = kSizeChars * sizeof(wchar_t);
  }
  return rt::Text::Join({{room.c_str() + kSizeChars, returned / sizeof(wchar_t) - kSizeChars}});
}

// Room for the longest name a key can have.
constexpr std::size_t kLongestName = (kMaxDepth + 2) * (kMaxKeyName + 1);

// Where a walk stopped, below its target: "\a\b" for the key the target's
// subkey a's subkey b, with `child` after it when that is what could not be
// opened. The system names both keys; a NUL in a name shows as "␀", since
// it would end the report's text.
rt::Text PathBelow(Key target, Key key, std::wstring_view child) {
  // Stopped at the target itself: nothing to ask.
  const rt::Text top = key != target ? KernelName(target, kLongestName) : rt::Text{};
  const rt::Text here = key != target ? KernelName(key, kLongestName) : rt::Text{};
  const std::size_t skip = here.size() > top.size() ? top.size() : here.size();
  rt::Text below = rt::Text::Join({{here.c_str() + skip, here.size() - skip}, child.empty() ? L""sv : L"\\"sv, child});
  for (std::size_t i = 0; i < below.size(); ++i) {
    if (below.data()[i] == L'\0') {
      below.data()[i] = L'\x2400';
    }
  }
  return below;
}

// Whether `key` is the root of a loaded hive, as the system records them
// (its hivelist: a value per hive, named as the system names its root): a
// hive's root cannot be deleted, and emptying it would write the emptied
// hive back to its file. A hive is loaded directly below the machine's or
// the users' key ("\REGISTRY\MACHINE\x"), so only such a key is looked up.
// 0 when it is not; what deleting it gives (5) when it is; or the code of a
// look that could not be made. Wine, which lets an ordinary key stand
// directly below HKEY_LOCAL_MACHINE, lists no hive.
std::uint32_t HiveRoot(Key key) {
  // Room for a hive's root below either key, the longest name it can have:
  // a longer name, which does not fit, is deeper.
  constexpr std::size_t kRootChars = 20 + kMaxKeyName;
  const rt::Text name = KernelName(key, kRootChars);
  int separators = 0;
  for (const wchar_t c : name.view()) {
    separators += c == L'\\' ? 1 : 0;
  }
  if (separators != 3) {
    return 0;
  }
  OpenKey hives;
  std::uint32_t status = Kept(rt::Declared<RegOpenKeyExA, kRegOpenKeyExA>()(
      static_cast<Key>(rt::RootKey::LocalMachine), R"(SYSTEM\CurrentControlSet\Control\hivelist)", 0, kQueryValue,
      hives.receive()));
  if (status == 0) {
    status = Kept(rt::Declared<RegQueryValueExW, kRegQueryValueExW>()(hives.get(), name.c_str(), nullptr, nullptr,
                                                                      nullptr, nullptr));
    status = status == rt::system_error::kFileNotFound ? 0 : status == 0 ? DosError(kStatusCannotDelete) : status;
  }
  return status;
}

// A walk down one key tree: the keys held open from the target down to
// `depth`, the subkey the last listing found, and how often the target was
// opened.
struct Walk {
  std::array<OpenKey, kMaxDepth + 1> open;
  KeyBasicInformation found{};
  std::size_t depth = 0;
  int passes = 0;
};

// What a step answers when the walk goes on.
constexpr std::uint32_t kGoOn = 0xFFFFFFFEU;

// Opens the target as itself, at the start and each time the walk is back
// at the top: 0, 2 where it is absent, or why the walk stops.
std::uint32_t OpenTarget(Walk& walk, Key hive, const char* path) {
  const std::uint32_t status = Kept(rt::Declared<RegOpenKeyExA, kRegOpenKeyExA>()(
      hive, path, kOpenLink, kEnumerateSubKeys | kDelete, walk.open[0].receive()));
  if (status != 0) {
    return status;
  }
  // Removed that often, and back each time.
  if (walk.passes++ == kPasses) {
    return kUnfinished;
  }
  // A loaded hive is said before anything in it is deleted.
  return walk.passes == 1 ? HiveRoot(walk.open[0].get()) : 0;
}

std::int32_t FirstSubkey(Key key, KeyBasicInformation& found) {
  std::uint32_t returned = 0;
  const std::int32_t listed =
      rt::Declared<NtEnumerateKey, kNtEnumerateKey>()(key, 0, kKeyBasicInformation, &found, sizeof found, &returned);
  rt::vbaSetSystemError();
  return listed;
}

// Opens the subkey the key at `walk.depth` listed, by its counted name,
// as itself: kGoOn to walk on (down into it, or on where it went meanwhile),
// 0 to go back up (its parent went too), or why the walk stops, with `where`
// the key it stopped at.
std::uint32_t Descend(Walk& walk, rt::Text& where) {
  const Key key = walk.open[walk.depth].get();
  const std::wstring_view name{walk.found.name.data(), walk.found.nameBytes / sizeof(wchar_t)};
  // A name is one key, never a path to be walked; the registry holds no
  // other, and a system that says otherwise is not followed.
  std::uint32_t status = rt::system_error::kStoppedOnSymlink;
  if (name.find(L'\\') == std::wstring_view::npos) {
    // Deeper than the registry lets a tree be: not to be finished.
    if (walk.depth + 1 == walk.open.size()) {
      return rt::system_error::kTooLarge;
    }
    const CountedName counted{static_cast<std::uint16_t>(walk.found.nameBytes),
                              static_cast<std::uint16_t>(walk.found.nameBytes), walk.found.name.data()};
    const ObjectAttributes attributes{sizeof attributes, key,    &counted, kCaseInsensitive | kObjOpenLink,
                                      nullptr,           nullptr};
    const std::int32_t opened = rt::Declared<NtOpenKey, kNtOpenKey>()(walk.open[walk.depth + 1].receive(),
                                                                      kEnumerateSubKeys | kDelete, &attributes);
    rt::vbaSetSystemError();
    walk.depth += opened == 0 ? 1 : 0;
    if (opened == 0 || opened == kStatusNameNotFound || opened == kStatusKeyDeleted) {
      return opened == kStatusKeyDeleted ? 0 : kGoOn;
    }
    status = DosError(opened);
  }
  where = PathBelow(walk.open[0].get(), key, name);
  return status;
}

// One step at the key at `walk.depth`: down into its first subkey; with
// none, the key deleted and the walk back up one, where at the top the
// target is opened again to see that it is gone. kGoOn, or why the walk
// stops, with `where` the key it stopped at.
std::uint32_t WalkOneKey(Walk& walk, rt::Text& where) {
  const Key key = walk.open[walk.depth].get();
  std::int32_t status = FirstSubkey(key, walk.found);
  if (status == 0) {
    const std::uint32_t down = Descend(walk, where);
    if (down != 0) {
      return down;
    }
  } else if (status == kStatusNoMoreEntries) {
    // The one-key step on a handle.
    status = rt::Declared<NtDeleteKey, kNtDeleteKey>()(key);
    rt::vbaSetSystemError();
    // A subkey that appeared meanwhile keeps its parent; a key refused with
    // none (a hive's root) is said at once, never tried again.
    if (status == kStatusCannotDelete && FirstSubkey(key, walk.found) == 0) {
      return kGoOn;
    }
  }
  if (status != 0 && status != kStatusKeyDeleted) {
    where = PathBelow(walk.open[0].get(), key, {});
    return DosError(status);
  }
  walk.open[walk.depth].reset();
  walk.depth -= walk.depth != 0 ? 1 : 0;
  return kGoOn;
}

// Removes `path` below `hive` with everything under it, deepest first. Each
// subkey is opened by its counted name as itself, relative to its open
// parent: a link goes as a link and what it names stays, and no loop can
// arise. Each key is visited once, so the time is linear in the keys. Once
// the key itself is deleted it is looked for again: 0 only when it is found
// absent, so gone is confirmed, not assumed. Otherwise the status that
// stopped it, and in `where` the key it stopped at, below the target.
std::uint32_t RemoveTree(Key hive, const char* path, rt::Text& where) {
  Walk walk;
  for (std::uint32_t step = 0; step < kMaxSteps; ++step) {
    if (walk.open[0].get() == 0) {
      const std::uint32_t opened = OpenTarget(walk, hive, path);
      if (opened != 0) {
        return opened == rt::system_error::kFileNotFound ? 0 : opened;
      }
    }
    const std::uint32_t stepped = WalkOneKey(walk, where);
    if (stepped != kGoOn) {
      return stepped;
    }
  }
  // Refilled as fast as it goes, or larger than a walk can finish.
  return rt::system_error::kTooLarge;
}

// Whether the key is absent, as a last look: 0, or the status that says it
// is there (kUnfinished) or that the look could not be made.
std::uint32_t LookFor(Key hive, const char* path, rt::Text& /*where*/) {
  OpenKey key;
  const std::uint32_t status =
      Kept(rt::Declared<RegOpenKeyExA, kRegOpenKeyExA>()(hive, path, kOpenLink, kEnumerateSubKeys, key.receive()));
  return status == 0 ? kUnfinished : status == rt::system_error::kFileNotFound ? 0 : status;
}

using Step = std::uint32_t (*)(Key, const char*, rt::Text&);

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
