// The runtime's seam, on Win32.
#include <windows.h>

#include "runtime/platform.h"
#include "runtime/runtime.h"
#include "runtime/win32.h"

namespace rt::platform {

void* Allocate(std::size_t bytes) {
  void* block = HeapAlloc(GetProcessHeap(), 0, bytes);
  if (block == nullptr) {
    // The usual report is built in memory too; this one is a constant.
    ReportAndExit(kErrorReportTitle, L"运行时错误 '7':\n\n内存不足", static_cast<int>(ErrorNumber::OutOfMemory));
  }
  return block;
}

void Release(void* block) noexcept {
  if (block != nullptr) {
    HeapFree(GetProcessHeap(), 0, block);
  }
}

int AskUser(const wchar_t* prompt, unsigned flags, const wchar_t* title) {
  // No owner: nothing of the tool is on screen yet.
  return MessageBoxW(nullptr, prompt, title, flags);
}

Text ExecutableName() {
  // Any length: grow until the name fits (it is cut, not failed, when short).
  for (DWORD capacity = MAX_PATH;; capacity *= 2) {
    Text name = Text::WithSize(capacity);
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), capacity);
    if (length == 0) {
      const DWORD error = GetLastError();
      vbaRaise(ErrorForSystemCode(error), error, {}, {});
    }
    if (length < capacity) {
      name.Truncate(length);
      return name;
    }
  }
}

std::uint32_t RemoveFile(const wchar_t* path) { return DeleteFileW(path) != FALSE ? 0 : GetLastError(); }

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
