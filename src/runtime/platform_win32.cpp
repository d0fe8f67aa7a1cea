// The runtime's seam, on Win32.
#include <windows.h>
// After windows.h, which it needs.
#include <restartmanager.h>
#include <tlhelp32.h>

#include <array>

#include "runtime/platform.h"
#include "runtime/win32.h"

namespace rt::platform {

void* Allocate(std::size_t bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }

void Release(void* block) noexcept {
  if (block != nullptr) {
    HeapFree(GetProcessHeap(), 0, block);
  }
}

int AskUser(const wchar_t* prompt, unsigned flags, const wchar_t* title) {
  // No owner: nothing of the tool is on screen yet.
  return MessageBoxW(nullptr, prompt, title, flags);
}

std::uint32_t ExecutableName(Text& name) {
  // Any length: grow until the name fits (it is cut, not failed, when short).
  for (DWORD capacity = MAX_PATH;; capacity *= 2) {
    Text buffer = Text::WithSize(capacity);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0) {
      return GetLastError();
    }
    if (length < capacity) {
      buffer.Truncate(length);
      name = std::move(buffer);
      return 0;
    }
  }
}

namespace {

// Where the system says an open file really is: links and short names
// resolved, in the \\?\ form, the same for every handle on one volume.
DWORD FinalPathOf(HANDLE file, Text& finalPath) {
  for (DWORD capacity = MAX_PATH;;) {
    Text path = Text::WithSize(capacity);
    const DWORD length = GetFinalPathNameByHandleW(file, path.data(), capacity + 1, FILE_NAME_NORMALIZED);
    if (length == 0) {
      return GetLastError();
    }
    if (length <= capacity) {
      path.Truncate(length);
      finalPath = std::move(path);
      return 0;
    }
    capacity = length;  // the size it needs, terminator included
  }
}

}  // namespace

void CloseFile(void* handle) noexcept { CloseHandle(handle); }

namespace {

DWORD Open(const wchar_t* path, DWORD access, DWORD share, DWORD flags, OpenFile& file, Text& finalPath) {
  const HANDLE handle =
      CreateFileW(path, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  file.reset(handle);
  return FinalPathOf(handle, finalPath);
}

}  // namespace

std::uint32_t HoldFolder(const wchar_t* path, OpenFile& folder, Text& finalPath) {
  // Without delete sharing nobody can rename, move or remove the folder while
  // this handle is open; only a handle with data access takes part in that
  // check, and backup semantics is how a folder is opened at all.
  return Open(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_BACKUP_SEMANTICS, folder,
              finalPath);
}

std::uint32_t OpenForDeletion(const wchar_t* path, OpenFile& file, Text& finalPath) {
  // The share modes DeleteFileW uses, so the same holders stop it. Without
  // backup semantics a folder, or a junction, by that name does not open.
  return Open(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_FLAG_OPEN_REPARSE_POINT, file,
              finalPath);
}

std::uint32_t MarkForDeletion(const OpenFile& file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition) != FALSE
             ? 0
             : GetLastError();
}

std::uint32_t LookUp(const wchar_t* path) {
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ? 0 : GetLastError();
}

bool IsReadOnly(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

namespace {

// Paths as the file system compares them, letter case aside; a size of -1
// reads up to the terminator.
bool SameText(const wchar_t* a, int aSize, const wchar_t* b, int bSize) {
  return CompareStringOrdinal(a, aSize, b, bSize, TRUE) == CSTR_EQUAL;
}

// Processes the restart manager names for one file, at most.
using Holders = std::array<DWORD, 3>;

// The processes the restart manager (Windows Vista on; a stub in Wine) says
// have `path` open or loaded. Where it is absent, or finds more, none.
void FindHolders(const wchar_t* path, Holders& holders) {
  const HMODULE library = win32::LoadSystemLibrary(L"rstrtmgr.dll");
  if (library == nullptr) {
    return;
  }
  static constexpr std::array<const char*, 4> kNames = {"RmStartSession", "RmRegisterResources", "RmGetList",
                                                        "RmEndSession"};
  std::array<void*, kNames.size()> calls{};
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    calls[i] = win32::OptionalFunction<void*>(library, kNames[i]);
    if (calls[i] == nullptr) {
      return;
    }
  }
  DWORD session = 0;
  std::array<WCHAR, CCH_RM_SESSION_KEY + 1> key{};
  if (reinterpret_cast<decltype(&RmStartSession)>(calls[0])(&session, 0, key.data()) != ERROR_SUCCESS) {
    return;
  }
  std::array<RM_PROCESS_INFO, Holders{}.size()> found{};
  UINT needed = 0;
  auto count = static_cast<UINT>(found.size());
  DWORD reasons = 0;
  if (reinterpret_cast<decltype(&RmRegisterResources)>(calls[1])(session, 1, &path, 0, nullptr, 0, nullptr) ==
          ERROR_SUCCESS &&
      reinterpret_cast<decltype(&RmGetList)>(calls[2])(session, &needed, &count, found.data(), &reasons) ==
          ERROR_SUCCESS) {
    for (UINT i = 0; i < count; ++i) {
      holders[i] = found[i].Process.dwProcessId;
    }
  }
  reinterpret_cast<decltype(&RmEndSession)>(calls[3])(session);
}

// A toolhelp snapshot; empty where the system refused one, and then every
// walk through it finds nothing.
OpenFile Snapshot(DWORD what, DWORD processId) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(what, processId);
  return OpenFile{snapshot != INVALID_HANDLE_VALUE ? snapshot : nullptr};
}

// Whether process `id` has `path` mapped: its program, or one of its modules.
bool Loads(DWORD id, const wchar_t* path) {
  const OpenFile modules = Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, id);
  MODULEENTRY32W module{};
  module.dwSize = sizeof module;
  for (BOOL more = Module32FirstW(modules.get(), &module); more != FALSE;
       more = Module32NextW(modules.get(), &module)) {
    if (SameText(module.szExePath, -1, path, -1)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::size_t FindFileUsers(const wchar_t* path, std::span<FileUser> users) {
  Holders holders{};
  FindHolders(path, holders);
  std::size_t found = 0;
  const OpenFile processes = Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = Process32FirstW(processes.get(), &process); more != FALSE && found < users.size();
       more = Process32NextW(processes.get(), &process)) {
    // 0 is the idle process, and to toolhelp this one.
    const DWORD id = process.th32ProcessID;
    bool holds = false;
    for (const DWORD holder : holders) {
      holds = holds || holder == id;
    }
    if (id != 0 && (holds || Loads(id, path))) {
      users[found].name =
          Text::Join({std::wstring_view(process.szExeFile, static_cast<std::size_t>(lstrlenW(process.szExeFile)))});
      users[found].processId = id;
      ++found;
    }
  }
  return found;
}

bool SamePath(std::wstring_view a, std::wstring_view b) {
  return SameText(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
}

void Pause(unsigned milliseconds) { Sleep(milliseconds); }

AnsiText ToAnsi(std::wstring_view text) {
  const int length = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  AnsiText ansi = AnsiText::WithSize(static_cast<std::size_t>(needed));
  WideCharToMultiByte(CP_ACP, 0, text.data(), length, ansi.data(), needed, nullptr, nullptr);
  return ansi;
}

void* FindSystemFunction(const wchar_t* library, const char* name, std::uint32_t& error) {
  const HMODULE module = win32::LoadSystemLibrary(library);
  if (module == nullptr) {
    error = GetLastError();
    return nullptr;
  }
  // Kept loaded for the life of the process, like the address taken from it.
  void* address = reinterpret_cast<void*>(GetProcAddress(module, name));
  if (address == nullptr) {
    error = GetLastError();
  }
  return address;
}

std::uint32_t LastSystemError() { return GetLastError(); }

void Exit(int code) { ExitProcess(static_cast<UINT>(code)); }

void ReportAndExit(const wchar_t* title, const wchar_t* text, int code) {
  // Owned by no window: the form may be hidden, or half built.
  MessageBoxW(nullptr, text, title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  ExitProcess(static_cast<UINT>(code));
}

}  // namespace rt::platform
