// Module1's key walk: a registry key tree removed key by key through
// declared calls, never through a link, and the last look for it.
#include <array>
#include <cstdint>
#include <string_view>

#include "registry/key_calls.h"

namespace Module1::keys {

namespace {

using namespace std::string_view_literals;

// A target removed and back at once, time after time: something keeps
// making it.
constexpr int kPasses = 3;
// A walk gives up after some million keys: a tree refilled as fast as it
// goes, or too large to finish. (The host build sets a cap its tests reach
// in a moment.)
#ifndef KEY_WALK_MAX_STEPS
#define KEY_WALK_MAX_STEPS (1U << 22)
#endif
constexpr std::uint32_t kMaxSteps = KEY_WALK_MAX_STEPS;
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

}  // namespace

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

}  // namespace Module1::keys
