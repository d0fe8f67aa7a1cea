// Small Win32 helpers shared by the seam's Windows files and the form engine.
#pragma once

#include <windows.h>

#include "platform/text.h"
#include "platform/unique_handle.h"

namespace rt::win32 {

struct GdiObjectCloser {
  void operator()(HGDIOBJ object) const noexcept { DeleteObject(object); }
};

using UniqueFont = UniqueHandle<HFONT, GdiObjectCloser>;

// Before anything else loads: DLLs that Windows loads on demand come from the
// system folder, never from the folder the tool was started in. Windows 7
// without its loader update lacks the call; then only the declared calls are
// held to the system folder.
void RestrictDllSearch();

// Loads a DLL from the system folder only, by its full path, never from the
// tool's own folder, which holds files the tool does not trust. Null with
// the system's last error when it cannot; a system folder whose path does
// not fit MAX_PATH is no Windows the tool runs on, and then nothing loads.
HMODULE LoadSystemLibrary(const wchar_t* name);

// A function that newer Windows has and older lacks, from a module already
// loaded (one the tool imports, or one LoadSystemLibrary gave); null when
// absent.
template <class Function>
Function OptionalFunction(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

inline constexpr UINT kCodePage936 = 936;

// The form's texts are kept in code page 936 and always read with it, so
// they show right whatever the system's ANSI code page is.
Text FromCodePage936(const char* text);

}  // namespace rt::win32
