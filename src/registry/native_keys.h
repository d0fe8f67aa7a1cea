// The registry's native calls as Module1 makes them: counted names, the
// attributes that name a key relative to an open one, and what an
// enumeration fills in, laid out as the system reads and writes them.
#pragma once

#include <array>
#include <cstdint>

namespace Module1::native {

using Key = std::uintptr_t;

// Windows keeps a tree at most 512 levels deep; a key name is at most 255
// characters.
inline constexpr std::size_t kMaxDepth = 512;
inline constexpr std::size_t kMaxKeyName = 255;

inline constexpr std::uint32_t kOpenLink = 0x8;       // REG_OPTION_OPEN_LINK
inline constexpr std::uint32_t kObjOpenLink = 0x100;  // the same, to the native call
inline constexpr std::uint32_t kCaseInsensitive = 0x40;

// Counted, so a NUL in a name is a character like any other.
struct CountedName {
  std::uint16_t bytes;
  std::uint16_t roomBytes;
  const wchar_t* text;
};

struct ObjectAttributes {
  std::uint32_t size;
  Key root;
  const CountedName* name;
  std::uint32_t attributes;
  const void* securityDescriptor;
  const void* securityQualityOfService;
};

inline constexpr int kKeyBasicInformation = 0;
struct KeyBasicInformation {
  std::int64_t lastWriteTime;
  std::uint32_t titleIndex;
  std::uint32_t nameBytes;
  std::array<wchar_t, kMaxKeyName> name;
};

// The key's full name: its size in bytes, then the name.
inline constexpr int kKeyNameInformation = 3;

inline constexpr std::int32_t kStatusNoMoreEntries = static_cast<std::int32_t>(0x8000001AU);
inline constexpr std::int32_t kStatusNameNotFound = static_cast<std::int32_t>(0xC0000034U);
// A subkey that appeared meanwhile keeps its parent; and one deleted by
// someone else meanwhile counts as deleted.
inline constexpr std::int32_t kStatusCannotDelete = static_cast<std::int32_t>(0xC0000121U);
inline constexpr std::int32_t kStatusKeyDeleted = static_cast<std::int32_t>(0xC000017CU);

}  // namespace Module1::native
