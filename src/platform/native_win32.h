// The ntdll calls and the file facts that the seam's Windows files share.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

#include "platform/platform.h"
#include "platform/win32.h"

namespace rt::platform::native {

inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
inline constexpr ULONG kDirectoryFile = 0x1;
inline constexpr ULONG kNonDirectoryFile = 0x40;
inline constexpr ULONG kOpenReparsePoint = 0x200000;

// A call of ntdll, which is in every process, loaded from the system folder
// before the tool; null where this Windows lacks it.
void* FindInNtdll(const char* name);

template <class Function>
Function Find(const char* name) {
  return reinterpret_cast<Function>(FindInNtdll(name));
}

// As the tool calls it: in ntdll since the first NT, not so in the headers.
using NtQueryInformationFileCall = NTSTATUS(NTAPI*)(HANDLE file, IO_STATUS_BLOCK* io, void* information, ULONG size,
                                                    int what);

// The identity of an open file, the volume's serial number and the file's
// index on it, and whether it is read-only. 0 or the system error code.
DWORD Examine(HANDLE file, FileFacts& facts);

// Opens `name` below `root` (or the full native name, without a root),
// taking the name as it stands: no link resolved by the system's own choice
// where kOpenReparsePoint is in `options`, no trimming, any length a name
// can have. A pipe's server that it might reach can only identify the tool.
// `attributes` adds to the object attributes (OBJ_DONT_REPARSE).
DWORD OpenNative(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG options, OpenFile& file,
                 ULONG attributes = 0);

// Whether two names are the same, as the file system compares them (case
// ignored, ordinal).
bool SameText(std::wstring_view a, std::wstring_view b);

// A native status as the system error code Win32 would give.
DWORD DosError(NTSTATUS status);

// The name the system gives an open handle (its kernel name, such as
// "\Device\HarddiskVolume2\x" or, under Wine, "\??\Z:\x"), kept in
// `room`. 0 or the system error code.
DWORD NameOf(HANDLE handle, Text& room, std::wstring_view& name);

// Room for the longest name the system gives, after its header.
inline constexpr std::size_t kNameChars = sizeof(UNICODE_STRING) / sizeof(wchar_t) + 0x8000;

}  // namespace rt::platform::native
