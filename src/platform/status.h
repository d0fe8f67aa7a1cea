// The system error codes the tool tells apart, each defined once: the seam
// returns them, the runtime and Module1 decide by them.
#pragma once

#include <cstdint>

namespace rt::system_error {

inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kPathNotFound = 3;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kOutOfMemory = 14;
inline constexpr std::uint32_t kNoSuchDrive = 15;
inline constexpr std::uint32_t kWriteProtect = 19;
inline constexpr std::uint32_t kNotReady = 21;
inline constexpr std::uint32_t kSharingViolation = 32;
inline constexpr std::uint32_t kLockViolation = 33;
inline constexpr std::uint32_t kInvalidName = 123;
inline constexpr std::uint32_t kMoreData = 234;
inline constexpr std::uint32_t kModuleNotFound = 126;
inline constexpr std::uint32_t kProcNotFound = 127;
inline constexpr std::uint32_t kBadPathName = 161;
inline constexpr std::uint32_t kAlreadyExists = 183;
inline constexpr std::uint32_t kNoMoreItems = 259;
// A file already on its way out: the native status Win32 would call 5.
inline constexpr std::uint32_t kDeletePending = 303;
// A name that leads out of the folder or key it was looked up in, as the
// system names a link it will not follow: refused, nothing touched.
inline constexpr std::uint32_t kStoppedOnSymlink = 681;
inline constexpr std::uint32_t kInvalidFunction = 1;
inline constexpr std::uint32_t kUnrecognizedVolume = 1005;
inline constexpr std::uint32_t kKeyDeleted = 1018;
// A wait given up on: a mark for deletion that another program kept waiting.
inline constexpr std::uint32_t kTimedOut = 1460;  // ERROR_TIMEOUT
// A walk that gave up, its budget of steps spent: a key tree too large (or
// refilled too fast) to finish.
inline constexpr std::uint32_t kTooLarge = kTimedOut;

}  // namespace rt::system_error
