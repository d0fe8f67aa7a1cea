// The seam's processes and token on Win32: which programs use a file, and
// whether the tool runs elevated.
#include "platform/native_win32.h"
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <array>

namespace rt::platform {

using native::kShareAll;
using native::NtQueryInformationFileCall;
using native::SameText;

namespace {

// As the tool calls them: in ntdll since the first NT, not in the headers.
constexpr int kFileProcessIdsUsingFileInformation = 47;
using CheckTokenMembershipCall = BOOL(WINAPI*)(HANDLE token, void* sid, BOOL* member);
// BUILTIN\Administrators (S-1-5-32-544), as the system stores it.
constexpr std::array<BYTE, 16> kAdministrators = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};

}  // namespace

bool IsAdministrator() {
  // The Administrators group in force in the token: elevated, or an
  // administrator's where UAC is off and no token is split. A split
  // token's, not elevated, has it for denying only, and a standard user's,
  // elevated or not, not at all. (Each question costs a token's duplicate.)
  constinit static bool asked = false;
  constinit static BOOL administrator = FALSE;
  if (!asked) {
    asked = true;
    std::uint32_t status = 0;
    const auto member =
        reinterpret_cast<CheckTokenMembershipCall>(FindSystemFunction(kAdvapi32, "CheckTokenMembership", status));
    if (member == nullptr || member(nullptr, const_cast<BYTE*>(kAdministrators.data()), &administrator) == FALSE) {
      administrator = FALSE;
    }
  }
  return administrator != FALSE;
}

namespace {

using namespace std::string_view_literals;

// A handle from a call that fails with INVALID_HANDLE_VALUE, owned; empty on
// failure.
OpenFile Owned(HANDLE handle) { return OpenFile{handle != INVALID_HANDLE_VALUE ? handle : nullptr}; }

// As the tool calls it: in ntdll since the first NT, not so in the headers.
using NtQueryVirtualMemoryCall = NTSTATUS(NTAPI*)(HANDLE process, const void* address, int what, void* information,
                                                  SIZE_T size, SIZE_T* returned);
constexpr int kMemoryMappedFilenameInformation = 2;
// The name was chosen by whoever mapped the image first: no link on its way
// is followed (Windows 10 1607 on). An older system refuses the flag, and
// then the image is not compared: this only feeds the advice.
constexpr ULONG kDontReparse = 0x1000;  // OBJ_DONT_REPARSE

// The volume part of a kernel name: "\\Device\\HarddiskVolume2", or under
// Wine "\\??\\Z:".
std::wstring_view VolumeOf(std::wstring_view name) {
  std::size_t at = 0;
  for (int separators = 0; at < name.size(); ++at) {
    if (name[at] == L'\\' && ++separators == 3) {
      break;
    }
  }
  return {name.data(), at};
}

// What follows the last separator.
std::wstring_view LastPart(std::wstring_view name) {
  std::size_t last = name.size();
  while (last != 0 && name[last - 1] != L'\\') {
    --last;
  }
  return {name.data() + last, name.size() - last};
}

// The file the system calls `name`, whose identity is `id`.
struct Target {
  std::wstring_view name;
  FileId id;
};

// Whether the image the system calls `mapped` is the target. Its name says
// so; where it was loaded by another spelling (a short name, say) whose last
// part is the target's, the image is opened to compare identities, but only
// on the target's own volume, never on a network one, with no link followed
// on the way, as itself and for its attributes only.
bool IsTarget(std::wstring_view mapped, const Target& target) {
  if (SameText(mapped, target.name)) {
    return true;
  }
  const std::wstring_view volume = VolumeOf(target.name);
  constexpr std::wstring_view kRemote = kRemoteVolume;
  OpenFile image;
  FileFacts facts;
  return SameText(LastPart(mapped), LastPart(target.name)) && SameText(VolumeOf(mapped), volume) &&
         !SameText(volume, kRemote) &&
         native::OpenNative(nullptr, mapped, 0, kShareAll, native::kNonDirectoryFile | native::kOpenReparsePoint, image,
                            kDontReparse) == 0 &&
         native::Examine(image.get(), facts) == 0 && SameFile(facts.id, target.id);
}

// Whether process `processId` has the target mapped as an image: its
// program, or one of its modules, by whatever path it was loaded. Each
// image's name is the kernel's, asked of the mapping itself; nothing the
// process wrote in its own memory (its module list, which it may fill with
// any path, a pipe's or another machine's) is read. `room` holds the names,
// one at a time.
bool Maps(DWORD processId, const Target& target, Text& room) {
  const OpenFile process{OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId)};
  auto* mapped = reinterpret_cast<UNICODE_STRING*>(room.data());
  MEMORY_BASIC_INFORMATION region{};
  for (const char* at = nullptr;
       process.get() != nullptr && VirtualQueryEx(process.get(), at, &region, sizeof region) == sizeof region;) {
    if (region.Type == MEM_IMAGE && region.BaseAddress == region.AllocationBase &&
        native::Find<NtQueryVirtualMemoryCall>("NtQueryVirtualMemory")(
            process.get(), at, kMemoryMappedFilenameInformation, mapped, native::kNameChars * sizeof(wchar_t),
            nullptr) == 0 &&
        IsTarget({mapped->Buffer, mapped->Length / sizeof(wchar_t)}, target)) {
      return true;
    }
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= at) {
      break;  // the top of the address space
    }
    at = next;
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
  // Who has it mapped, by the name the system gives it; where it gives none,
  // nobody is named that way.
  Text nameRoom;
  Target target{{}, id};
  const bool named = native::NameOf(file.get(), nameRoom, target.name) == 0;
  Text mappedRoom = Text::WithSize(native::kNameChars);
  std::size_t found = 0;
  const OpenFile processes = Owned(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
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
    if (processId != 0 && processId != GetCurrentProcessId() &&
        (holds || (named && Maps(processId, target, mappedRoom)))) {
      FileUser& user = users[found];
      // The system's name for the process's program, from its own list.
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
