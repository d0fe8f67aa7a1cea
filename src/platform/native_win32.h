// The ntdll calls and the file facts that the seam's Windows files share.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

#include "platform/platform.h"
#include "platform/win32.h"

namespace rt::platform::native {

inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A call of ntdll, which is in every process, loaded from the system folder
// before the tool; null where this Windows lacks it.
template <class Function>
Function Find(const char* name) {
  return win32::OptionalFunction<Function>(GetModuleHandleW(L"ntdll.dll"), name);
}

// As the tool calls it: in ntdll since the first NT, not so in the headers.
using NtQueryInformationFileCall = NTSTATUS(NTAPI*)(HANDLE file, IO_STATUS_BLOCK* io, void* information, ULONG size,
                                                    int what);

// The identity of an open file, the volume's serial number and the file's
// index on it, and whether it is read-only. 0 or the system error code.
DWORD Examine(HANDLE file, FileFacts& facts);

}  // namespace rt::platform::native
