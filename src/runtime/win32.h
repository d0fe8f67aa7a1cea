// Small Win32 helpers shared by the runtime's Windows files.
#pragma once

#include <windows.h>

#include <utility>

#include "runtime/text.h"

namespace rt::win32 {

// One owner for every kind of handle: move-only, closes once.
template <class Handle, class Closer>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(std::exchange(other.handle_, Handle{}));
    return *this;
  }
  ~UniqueHandle() { reset(); }

  [[nodiscard]] Handle get() const noexcept { return handle_; }
  void reset(Handle handle = Handle{}) noexcept {
    if (handle_ != Handle{}) {
      Closer{}(handle_);
    }
    handle_ = handle;
  }

 private:
  Handle handle_{};
};

struct GdiObjectCloser {
  void operator()(HGDIOBJ object) const noexcept { DeleteObject(object); }
};

using UniqueFont = UniqueHandle<HFONT, GdiObjectCloser>;

// Loads a DLL from the system folder only, never from the tool's own folder,
// which holds files the tool does not trust.
HMODULE LoadSystemLibrary(const wchar_t* name);

// A function that newer Windows has and older lacks; null when absent.
template <class Function>
Function OptionalFunction(const wchar_t* library, const char* name) {
  const HMODULE module = LoadSystemLibrary(library);
  return module != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                           : nullptr;
}

// The form's texts are kept in code page 936 and always read with it, so
// they show right whatever the system's ANSI code page is.
Text FromCodePage936(const char* text);

}  // namespace rt::win32
