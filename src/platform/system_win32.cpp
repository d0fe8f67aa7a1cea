// The rest of the seam on Win32: memory, the message boxes, waits, code
// pages and the end of the program.
#include <utility>

#include "platform/platform.h"
#include "platform/win32.h"

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

void Pause(unsigned milliseconds) { Sleep(milliseconds); }

std::uint32_t ToAnsi(std::wstring_view text, AnsiText& ansi) {
  // Longer than a call can take is a name no system call accepts either.
  if (text.size() > 0x7FFFFFFF / sizeof(wchar_t)) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  const int length = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    // Nothing converted: no name, or one the code page cannot take.
    return length == 0 ? system_error::kInvalidName : GetLastError();
  }
  AnsiText converted = AnsiText::WithSize(static_cast<std::size_t>(needed));
  if (WideCharToMultiByte(CP_ACP, 0, text.data(), length, converted.data(), needed, nullptr, nullptr) != needed) {
    return GetLastError();
  }
  ansi = std::move(converted);
  return 0;
}

std::uint32_t LastSystemError() { return GetLastError(); }

void Exit(int code) { ExitProcess(static_cast<UINT>(code)); }

void ReportAndExit(const wchar_t* title, const wchar_t* text, int code) {
  // Owned by no window: the form may be hidden, or half built.
  MessageBoxW(nullptr, text, title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  ExitProcess(static_cast<UINT>(code));
}

}  // namespace rt::platform

namespace rt::win32 {

Text FromCodePage936(const char* text) {
  const int needed = MultiByteToWideChar(kCodePage936, 0, text, -1, nullptr, 0);
  Text wide = Text::WithSize(needed > 0 ? static_cast<std::size_t>(needed - 1) : 0);
  if (needed > 0) {
    MultiByteToWideChar(kCodePage936, 0, text, -1, wide.data(), needed);
  }
  return wide;
}

}  // namespace rt::win32
