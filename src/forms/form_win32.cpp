// The runtime's form engine: one form, its labels and command buttons, laid
// out in twips at the window's own DPI.
#include <windows.h>

#include <array>
#include <utility>

#include "forms/form_win32.h"

namespace rt::engine {

namespace {

// A message dialog's title bar: a close box, nothing to minimise or grow.
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kFormExStyle = 0;
constexpr int kDefaultDpi = 96;

// One form on one thread: the window procedure reaches it here. A pointer,
// so no destructor is registered for a global the process never unwinds.
constinit Form* g_form = nullptr;

int Scale(int twips, UINT dpi) { return MulDiv(twips, static_cast<int>(dpi), kTwipsPerInch); }

// The DPI the system's metrics are given at without the newer calls.
int SystemDpi() {
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : kDefaultDpi;
}

UINT WindowDpi(const Form& form) {
  return form.dpi.getDpiForWindow != nullptr ? form.dpi.getDpiForWindow(form.window) : static_cast<UINT>(SystemDpi());
}

bool HighContrastOn() {
  HIGHCONTRASTW scheme{};
  scheme.cbSize = sizeof scheme;
  return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof scheme, &scheme, 0) != 0 &&
         (scheme.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

win32::UniqueFont CreateControlFont(const Form& form, const FontDescription* font, UINT dpi) {
  LOGFONTW logFont{};
  if (font == nullptr) {
    // The system's message font, the one dialogs use, at this DPI.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    const auto forDpi = form.dpi.systemParametersInfoForDpi;
    const bool ok = forDpi != nullptr
                        ? forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi) != 0
                        : SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0) != 0;
    if (!ok) {
      return win32::UniqueFont{};
    }
    logFont = metrics.lfMessageFont;
    if (forDpi == nullptr) {
      // Given at the system's DPI (Windows 8.1): scaled to the window's.
      logFont.lfHeight = MulDiv(logFont.lfHeight, static_cast<int>(dpi), SystemDpi());
    }
  } else {
    logFont.lfHeight = -MulDiv(font->points, static_cast<int>(dpi), 72);
    logFont.lfWeight = font->weight;
    logFont.lfCharSet = font->charset;
    logFont.lfItalic = font->italic ? TRUE : FALSE;
    logFont.lfUnderline = font->underline ? TRUE : FALSE;
    logFont.lfStrikeOut = font->strikeout ? TRUE : FALSE;
    // A name too long for the field comes out empty: the system's default face.
    MultiByteToWideChar(win32::kCodePage936, 0, font->face936, -1, logFont.lfFaceName, LF_FACESIZE);
  }
  return win32::UniqueFont{CreateFontIndirectW(&logFont)};
}

void Redraw(const Form& form) {
  RedrawWindow(form.window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// The window's outer rectangle around the designed client size at `dpi`,
// relative to the client area's corner.
RECT Frame(const Form& form, UINT dpi) {
  const TwipsRect& client = form.description->client;
  RECT frame{0, 0, Scale(client.width, dpi), Scale(client.height, dpi)};
  if (form.dpi.adjustWindowRectExForDpi != nullptr) {
    form.dpi.adjustWindowRectExForDpi(&frame, kFormStyle, FALSE, kFormExStyle, dpi);
  } else {
    AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
  }
  return frame;
}

// Places every control and makes its font at `dpi`, where that was not
// done yet, then the window: in the rectangle the system suggests for a new
// DPI, else at its designed place in the work area as it is now.
void Layout(Form& form, UINT dpi, const RECT* suggested) {
  const FormDescription& description = *form.description;
  for (std::size_t i = 0; dpi != form.laidOutAt && i < description.controls.size(); ++i) {
    const ControlDescription& control = description.controls[i];
    // The control lets go of its old font before that font is deleted.
    win32::UniqueFont font = CreateControlFont(form, control.font, dpi);
    SendMessageW(form.controls[i], WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
    form.fonts[i] = std::move(font);
    MoveWindow(form.controls[i], Scale(control.rect.left, dpi), Scale(control.rect.top, dpi),
               Scale(control.rect.width, dpi), Scale(control.rect.height, dpi), FALSE);
  }
  form.laidOutAt = dpi;
  RECT window{};
  if (suggested != nullptr) {
    window = *suggested;
  } else {
    // The designed client position, which is on the primary monitor, kept
    // wholly inside its work area.
    const RECT frame = Frame(form, dpi);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    int left = Scale(description.client.left, dpi) + frame.left;
    int top = Scale(description.client.top, dpi) + frame.top;
    RECT area{};
    if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0) != 0) {
      left = left + width > area.right ? area.right - width : left;
      top = top + height > area.bottom ? area.bottom - height : top;
      left = left < area.left ? area.left : left;
      top = top < area.top ? area.top : top;
    }
    window = {left, top, left + width, top + height};
  }
  SetWindowPos(form.window, nullptr, window.left, window.top, window.right - window.left, window.bottom - window.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  // The controls too: they were moved and given new fonts without a redraw.
  Redraw(form);
}

void FocusFirstControl(const Form& form) {
  for (const HWND control : form.controls) {
    if (control != nullptr && (GetWindowLongW(control, GWL_STYLE) & WS_TABSTOP) != 0) {
      SetFocus(control);
      return;
    }
  }
}

// A command: Esc, Alt+F4 and the close box (the dialog manager turns a
// close into IDCANCEL) end the form as its button does; a click runs the
// button's handler.
void Command(const Form& form, HWND window, WPARAM wParam) {
  // The dialog's end, as the dialog manager raises it for a template's
  // dialog: before it goes, whichever way it goes.
  const auto end = [window] { NotifyWinEvent(EVENT_SYSTEM_DIALOGEND, window, OBJID_WINDOW, CHILDID_SELF); };
  if (LOWORD(wParam) == IDCANCEL) {
    end();
    DestroyWindow(window);
    return;
  }
  if (HIWORD(wParam) == BN_CLICKED) {
    for (const ControlDescription& control : form.description->controls) {
      if (control.id == LOWORD(wParam) && control.click != nullptr) {
        end();
        control.click();
        return;
      }
    }
  }
}

// A label's colours on `hdc`; a dialog procedure answers with the brush
// itself.
INT_PTR Colors(const Form& form, HDC hdc, HWND child) {
  for (std::size_t i = 0; i < form.description->controls.size(); ++i) {
    const std::uint32_t color = form.description->controls[i].foreColor;
    if (form.controls[i] == child) {
      // High contrast: the scheme's colours, whatever the form chose.
      SetTextColor(hdc, color == kDefaultColor || form.highContrast ? GetSysColor(COLOR_BTNTEXT) : color);
    }
  }
  SetBkColor(hdc, GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
}

// Hidden, the form takes no command, does not close and trusts no pointer
// a message brings: a message box's modal loop dispatches to it whatever
// any program posts, and the removal or the report showing must not end.
// Shown, the system sends the DPI messages, and their pointers are its.
bool Ignored(const Form& form, UINT message) {
  return !form.shown && (message == WM_COMMAND || message == WM_CLOSE || message == WM_DESTROY ||
                         message == WM_DPICHANGED || message == WM_GETDPISCALEDSIZE);
}

// The size for the new DPI, so that the rectangle WM_DPICHANGED then
// suggests fits this layout and is used whole.
void ScaledSize(const Form& form, HWND window, UINT dpi, SIZE* size) {
  const RECT frame = Frame(form, dpi);
  *size = {frame.right - frame.left, frame.bottom - frame.top};
  SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
}

// The form's dialog procedure: TRUE for a message it answered, FALSE for the
// dialog manager's own handling.
INT_PTR CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_form == nullptr || g_form->window == nullptr) {
    return FALSE;
  }
  Form& form = *g_form;
  if (Ignored(form, message)) {
    return TRUE;
  }
  switch (message) {
    case WM_COMMAND:
      Command(form, window, wParam);
      return TRUE;
    case WM_CTLCOLORSTATIC:
      return Colors(form, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        return FALSE;
      }
      [[fallthrough]];
    case WM_SETFOCUS:
      // The form itself never keeps the focus; its button does.
      FocusFirstControl(form);
      return TRUE;
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
      // High contrast switched on or off while the window is up.
      form.highContrast = HighContrastOn();
      Redraw(form);
      return FALSE;
    case WM_GETDPISCALEDSIZE:
      ScaledSize(form, window, static_cast<UINT>(wParam), reinterpret_cast<SIZE*>(lParam));
      return TRUE;
    case WM_DPICHANGED:
      Layout(form, LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return TRUE;
    case WM_DESTROY:
      PostQuitMessage(static_cast<int>(ExitCode::Completed));
      break;
  }
  return FALSE;
}

HWND CreateControl(const ControlDescription& control, HWND parent, HINSTANCE instance) {
  const Text caption = win32::FromCodePage936(control.caption936);
  const bool button = control.kind == ControlKind::CommandButton;
  // The button that answers Return shows it.
  const DWORD buttonStyle = WS_TABSTOP | (control.id == IDOK ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
  const DWORD style = WS_CHILD | WS_VISIBLE | (button ? buttonStyle : SS_LEFT);
  return CreateWindowExW(0, button ? L"BUTTON" : L"STATIC", caption.c_str(), style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), instance, nullptr);
}

}  // namespace

DpiFunctions NewerDpiFunctions() {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  DpiFunctions functions;
  functions.getDpiForWindow = win32::OptionalFunction<decltype(functions.getDpiForWindow)>(user32, "GetDpiForWindow");
  functions.adjustWindowRectExForDpi =
      win32::OptionalFunction<decltype(functions.adjustWindowRectExForDpi)>(user32, "AdjustWindowRectExForDpi");
  functions.systemParametersInfoForDpi =
      win32::OptionalFunction<decltype(functions.systemParametersInfoForDpi)>(user32, "SystemParametersInfoForDpi");
  return functions;
}

bool CreateForm(Form& form, HINSTANCE instance) {
  g_form = &form;
  const FormDescription& description = *form.description;
  // A window of the system's dialog class, run by the dialog manager with
  // the form's procedure: assistive technology knows such a window as a
  // dialog and reads its static text as the dialog's, as it reads a message
  // box.
  const Text caption = win32::FromCodePage936(description.caption936);
  form.window = CreateWindowExW(kFormExStyle, WC_DIALOG, caption.c_str(), kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (form.window == nullptr || description.controls.size() > kMaxControls) {
    return false;
  }
  SetWindowLongPtrW(form.window, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(FormProc));
  for (std::size_t i = 0; i < description.controls.size(); ++i) {
    form.controls[i] = CreateControl(description.controls[i], form.window, instance);
    if (form.controls[i] == nullptr) {
      // Made again whole, if at all.
      DestroyWindow(std::exchange(form.window, nullptr));
      return false;
    }
  }
  return true;
}

bool Prepare(Form& form, HINSTANCE instance) {
  if (form.window == nullptr && !CreateForm(form, instance)) {
    return false;
  }
  Layout(form, WindowDpi(form), nullptr);
  return true;
}

void Show(Form& form, HINSTANCE instance) {
  // The class icon (the process's copy of the dialog class, whose other
  // windows, the message boxes, are gone by now); with no small one set,
  // Windows takes the caption's from the same group, which holds a single
  // image anyway.
  const HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(form.description->iconGroup));
  SetClassLongPtrW(form.window, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
  form.highContrast = HighContrastOn();
  // Laid out while the question was up; again only for a new DPI, which the
  // hidden form did not follow, or where the answer came first. Placed in
  // the work area as it is now, which may have changed meanwhile.
  Layout(form, WindowDpi(form), nullptr);
  form.shown = true;
  // As dialog creation does: the focus cue follows the last input, so it
  // shows after a box answered by keyboard.
  SendMessageW(form.window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_INITIALIZE, 0), 0);
  ShowWindow(form.window, SW_SHOWNORMAL);
  UpdateWindow(form.window);
  // As the dialog manager raises it for a template's dialog, once it is
  // shown and drawn: screen readers announce the dialog by this.
  NotifyWinEvent(EVENT_SYSTEM_DIALOGSTART, form.window, OBJID_WINDOW, CHILDID_SELF);
  SetForegroundWindow(form.window);
  FocusFirstControl(form);
}

}  // namespace rt::engine
