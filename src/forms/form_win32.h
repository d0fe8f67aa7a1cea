// The form engine's steps, which ThunRTMain runs in order; apart so that the
// Windows-side tests can make a form, lay it out and read it back.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>

#include "forms/form.h"
#include "platform/win32.h"

namespace rt::engine {

// Newer than Windows 7 (the first two are Windows 10's); each null where
// absent, and then the older call is used.
struct DpiFunctions {
  UINT(WINAPI* getDpiForWindow)(HWND) = nullptr;
  BOOL(WINAPI* adjustWindowRectExForDpi)(LPRECT, DWORD, BOOL, DWORD, UINT) = nullptr;
  BOOL(WINAPI* systemParametersInfoForDpi)(UINT, UINT, PVOID, UINT, UINT) = nullptr;
};

inline constexpr std::size_t kMaxControls = 4;

struct Form {
  const FormDescription* description = nullptr;
  DpiFunctions dpi;
  bool highContrast = false;  // as the system said at its last change
  bool shown = false;
  UINT laidOutAt = 0;  // the DPI its fonts and places were made for
  HWND window = nullptr;
  std::array<HWND, kMaxControls> controls{};
  std::array<win32::UniqueFont, kMaxControls> fonts{};
};

DpiFunctions NewerDpiFunctions();

// The form's window, of the system's dialog class, and its controls,
// hidden. The form becomes the one the dialog procedure serves. False, with
// no window kept, when Windows refused.
bool CreateForm(Form& form, HINSTANCE instance);

// The form made where it is not yet, with its fonts and places at its
// window's DPI (with the DPI calls in `form.dpi`): done while the question
// is up and the user reads it, so that showing the form later costs little.
// False, as CreateForm, when Windows refused.
bool Prepare(Form& form, HINSTANCE instance);

// Gives the form what only a shown form needs (its icon, the colour scheme,
// its layout where none was made for its DPI, its place in the work area as
// it is now), shows it and focuses its first control that takes the focus;
// its cues and its start as a dialog's.
void Show(Form& form, HINSTANCE instance);

}  // namespace rt::engine
