// The runtime's form engine: one form, its labels and command buttons, laid
// out in twips at the window's own DPI.
#include <windows.h>

#include <array>
#include <utility>

#include "runtime/form.h"
#include "runtime/platform.h"
#include "runtime/runtime.h"
#include "runtime/win32.h"

namespace rt {

namespace {

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kFormExStyle = 0;
constexpr std::size_t kMaxControls = 4;
constexpr int kDefaultDpi = 96;

// Newer than Windows 7; looked up, and the older call used when absent.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using SystemParametersInfoForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);

// Found once when the form is made.
struct DpiFunctions {
  GetDpiForWindowFn getDpiForWindow = nullptr;
  AdjustWindowRectExForDpiFn adjustWindowRectExForDpi = nullptr;
  SystemParametersInfoForDpiFn systemParametersInfoForDpi = nullptr;
};

struct Form {
  const FormDescription* description = nullptr;
  DpiFunctions dpi;
  HWND window = nullptr;
  std::array<HWND, kMaxControls> controls{};
  std::array<win32::UniqueFont, kMaxControls> fonts{};
};

// One form on one thread: the window procedure reaches it here. A pointer,
// so no destructor is registered for a global the process never unwinds.
constinit Form* g_form = nullptr;

int Scale(int twips, UINT dpi) { return MulDiv(twips, static_cast<int>(dpi), kTwipsPerInch); }

UINT WindowDpi(const Form& form) {
  if (form.dpi.getDpiForWindow != nullptr) {
    return form.dpi.getDpiForWindow(form.window);
  }
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kDefaultDpi;
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
  } else {
    logFont.lfHeight = -MulDiv(font->points, static_cast<int>(dpi), 72);
    logFont.lfWeight = font->weight;
    logFont.lfCharSet = font->charset;
    logFont.lfItalic = font->italic ? TRUE : FALSE;
    logFont.lfUnderline = font->underline ? TRUE : FALSE;
    logFont.lfStrikeOut = font->strikeout ? TRUE : FALSE;
    const Text face = win32::FromCodePage936(font->face936);
    lstrcpynW(logFont.lfFaceName, face.c_str(), LF_FACESIZE);
  }
  return win32::UniqueFont{CreateFontIndirectW(&logFont)};
}

// Sizes the client area, places every control and makes its font, all at `dpi`.
void Layout(Form& form, UINT dpi, const RECT* suggested) {
  const FormDescription& description = *form.description;
  for (std::size_t i = 0; i < description.controls.size(); ++i) {
    const ControlDescription& control = description.controls[i];
    // The control lets go of its old font before that font is deleted.
    win32::UniqueFont font = CreateControlFont(form, control.font, dpi);
    SendMessageW(form.controls[i], WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
    form.fonts[i] = std::move(font);
    MoveWindow(form.controls[i], Scale(control.rect.left, dpi), Scale(control.rect.top, dpi),
               Scale(control.rect.width, dpi), Scale(control.rect.height, dpi), FALSE);
  }

  RECT frame{0, 0, Scale(description.client.width, dpi), Scale(description.client.height, dpi)};
  if (form.dpi.adjustWindowRectExForDpi != nullptr) {
    form.dpi.adjustWindowRectExForDpi(&frame, kFormStyle, FALSE, kFormExStyle, dpi);
  } else {
    AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
  }
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;

  int left = 0;
  int top = 0;
  if (suggested != nullptr) {
    left = suggested->left;
    top = suggested->top;
  } else {
    // The designed client position, kept wholly inside the work area.
    left = Scale(description.client.left, dpi) + frame.left;
    top = Scale(description.client.top, dpi) + frame.top;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    const POINT designed{left, top};
    if (GetMonitorInfoW(MonitorFromPoint(designed, MONITOR_DEFAULTTOPRIMARY), &monitor) != 0) {
      const RECT& area = monitor.rcWork;
      left = left + width > area.right ? area.right - width : left;
      top = top + height > area.bottom ? area.bottom - height : top;
      left = left < area.left ? area.left : left;
      top = top < area.top ? area.top : top;
    }
  }
  SetWindowPos(form.window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  // The controls too: they were moved and given new fonts without a redraw.
  RedrawWindow(form.window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void FocusFirstControl(const Form& form) {
  for (const HWND control : form.controls) {
    if (control != nullptr && (GetWindowLongW(control, GWL_STYLE) & WS_TABSTOP) != 0) {
      SetFocus(control);
      return;
    }
  }
}

LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_form == nullptr || g_form->window == nullptr) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  Form& form = *g_form;
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        for (const ControlDescription& control : form.description->controls) {
          if (control.id == LOWORD(wParam) && control.click != nullptr) {
            control.click();
            return 0;
          }
        }
      }
      return 0;
    case WM_CTLCOLORSTATIC: {
      const auto child = reinterpret_cast<HWND>(lParam);
      const auto hdc = reinterpret_cast<HDC>(wParam);
      for (std::size_t i = 0; i < form.description->controls.size(); ++i) {
        const std::uint32_t color = form.description->controls[i].foreColor;
        if (form.controls[i] == child && color != kDefaultColor) {
          SetTextColor(hdc, color);
        }
      }
      SetBkColor(hdc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) {
        FocusFirstControl(form);
        return 0;
      }
      break;
    case WM_SETFOCUS:
      // The form itself never keeps the focus; its button does.
      FocusFirstControl(form);
      return 0;
    case WM_DPICHANGED:
      Layout(form, LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_DESTROY:
      PostQuitMessage(static_cast<int>(ExitCode::Completed));
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateControl(const ControlDescription& control, HWND parent, HINSTANCE instance) {
  const Text caption = win32::FromCodePage936(control.caption936);
  const bool button = control.kind == ControlKind::CommandButton;
  const DWORD style = WS_CHILD | WS_VISIBLE | (button ? WS_TABSTOP | BS_PUSHBUTTON : SS_LEFT);
  return CreateWindowExW(0, button ? L"BUTTON" : L"STATIC", caption.c_str(), style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), instance, nullptr);
}

// The form and its controls, hidden: all the load handler needs, and all
// that happens before the question. False when Windows refused.
bool CreateForm(Form& form, HINSTANCE instance) {
  const FormDescription& description = *form.description;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = FormProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  windowClass.lpszClassName = description.className.data();
  if (RegisterClassExW(&windowClass) == 0) {
    return false;
  }

  const Text caption = win32::FromCodePage936(description.caption936);
  form.window = CreateWindowExW(kFormExStyle, description.className.data(), caption.c_str(), kFormStyle, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (form.window == nullptr || description.controls.size() > kMaxControls) {
    return false;
  }
  for (std::size_t i = 0; i < description.controls.size(); ++i) {
    form.controls[i] = CreateControl(description.controls[i], form.window, instance);
    if (form.controls[i] == nullptr) {
      return false;
    }
  }
  return true;
}

// What only the shown form needs: the newer DPI calls, its icons, its fonts
// and layout at its DPI.
void PrepareToShow(Form& form, HINSTANCE instance) {
  form.dpi.getDpiForWindow = win32::OptionalFunction<GetDpiForWindowFn>(L"user32.dll", "GetDpiForWindow");
  form.dpi.adjustWindowRectExForDpi =
      win32::OptionalFunction<AdjustWindowRectExForDpiFn>(L"user32.dll", "AdjustWindowRectExForDpi");
  form.dpi.systemParametersInfoForDpi =
      win32::OptionalFunction<SystemParametersInfoForDpiFn>(L"user32.dll", "SystemParametersInfoForDpi");
  // The class icon; with no small one set, Windows takes the caption's from
  // the same group, which holds a single image anyway.
  const HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(form.description->iconGroup));
  SetClassLongPtrW(form.window, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
  Layout(form, WindowDpi(form), nullptr);
}

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// Before anything else loads: DLLs that Windows loads on demand come from the
// system folder, never from the folder the tool was started in. Windows 7
// without its loader update lacks the call; then only the declared calls are
// held to the system folder.
void RestrictDllSearch() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (setDefault != nullptr) {
    setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

}  // namespace

void ThunRTMain(const ProjectHeader& header) {
  RestrictDllSearch();
  UseProject(header);
  // Held from before the question to the end: the files go from this folder.
  const OwnFolder ownFolder;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  Form form;
  form.description = header.startup;
  g_form = &form;
  // Created hidden before the load handler runs; shown only if it returns.
  if (!CreateForm(form, instance)) {
    const DWORD error = GetLastError();
    vbaRaise(ErrorForSystemCode(error), error, {}, header.startup->className);
  }
  header.startup->load();

  PrepareToShow(form, instance);
  ShowWindow(form.window, SW_SHOWNORMAL);
  UpdateWindow(form.window);
  SetForegroundWindow(form.window);
  FocusFirstControl(form);

  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // The dialog manager gives Return, Space and Tab their usual meaning.
    if (IsDialogMessageW(form.window, &message) == 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  g_form = nullptr;
  platform::Exit(static_cast<int>(ExitCode::Completed));
}

}  // namespace rt
