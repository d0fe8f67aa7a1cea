// The runtime's seam, on Win32.
#include <windows.h>

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

bool SamePath(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
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
