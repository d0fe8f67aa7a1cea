// The seam's processes and token on Win32: which programs use a file, and
// whether the tool runs elevated.
#include "platform/native_win32.h"
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <array>

namespace rt::platform {

using native::kShareAll;
using native::NtQueryInformationFileCall;

namespace {

// As the tool calls them: in ntdll since the first NT, not in the headers.
constexpr int kFileProcessIdsUsingFileInformation = 47;
using NtOpenProcessTokenCall = NTSTATUS(NTAPI*)(HANDLE process, ACCESS_MASK access, HANDLE* token);
using NtQueryInformationTokenCall = NTSTATUS(NTAPI*)(HANDLE token, TOKEN_INFORMATION_CLASS what, void* information,
                                                     ULONG size, ULONG* returned);
// What GetCurrentProcess would return, without the call.
const HANDLE kThisProcess = reinterpret_cast<HANDLE>(-1);

}  // namespace

bool IsElevated() {
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  ULONG size = 0;
  if (native::Find<NtOpenProcessTokenCall>("NtOpenProcessToken")(kThisProcess, TOKEN_QUERY, &token) == 0) {
    const OpenFile owner{token};
    native::Find<NtQueryInformationTokenCall>("NtQueryInformationToken")(token, TokenElevation, &elevation,
                                                                         sizeof elevation, &size);
  }
  return elevation.TokenIsElevated != 0;
}

namespace {

// A handle from a call that fails with INVALID_HANDLE_VALUE, owned; empty on
// failure.
OpenFile Owned(HANDLE handle) { return OpenFile{handle != INVALID_HANDLE_VALUE ? handle : nullptr}; }

// A toolhelp snapshot; empty where the system refused one, and then every
// walk through it finds nothing.
OpenFile Snapshot(DWORD what, DWORD processId) { return Owned(CreateToolhelp32Snapshot(what, processId)); }

// Whether process `processId` has the file `id` mapped: its program, or one
// of its modules, by whatever path (a short name, another drive letter).
bool Loads(DWORD processId, const FileId& id) {
  const OpenFile modules = Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, processId);
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  for (BOOL more = Module32FirstW(modules.get(), &module); more != FALSE;
       more = Module32NextW(modules.get(), &module)) {
    const OpenFile file =
        Owned(CreateFileW(module.szExePath, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    FileFacts facts;
    if (file.get() != nullptr && native::Examine(file.get(), facts) == 0 && SameFile(facts.id, id)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::size_t FindFileUsers(const OpenFile& file, const FileId& id, std::span<FileUser> users) {
  // Who has it open, by the handle (Windows Vista on; Wine does not say).
  struct {
    ULONG count;
    std::array<ULONG_PTR, 8> ids;
  } open{};
  IO_STATUS_BLOCK io{};
  // Refused (Wine, an older system), the list stays empty.
  native::Find<NtQueryInformationFileCall>("NtQueryInformationFile")(file.get(), &io, &open, sizeof open,
                                                                     kFileProcessIdsUsingFileInformation);
  std::size_t found = 0;
  const OpenFile processes = Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = Process32FirstW(processes.get(), &process); more != FALSE && found < users.size();
       more = Process32NextW(processes.get(), &process)) {
    // 0 is the idle process; this one has the file open to ask.
    const DWORD processId = process.th32ProcessID;
    bool holds = false;
    for (std::size_t i = 0; i < open.count && i < open.ids.size(); ++i) {
      holds = holds || open.ids[i] == processId;
    }
    if (processId != 0 && processId != GetCurrentProcessId() && (holds || Loads(processId, id))) {
      FileUser& user = users[found];
      static_assert(sizeof user.name == sizeof process.szExeFile);
      lstrcpynW(user.name.data(), process.szExeFile, static_cast<int>(user.name.size()));
      user.nameSize = static_cast<std::size_t>(lstrlenW(user.name.data()));
      user.processId = processId;
      ++found;
    }
  }
  return found;
}

}  // namespace rt::platform
