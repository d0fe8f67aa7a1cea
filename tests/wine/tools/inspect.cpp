// Reads another process's windows in the same Wine prefix and prints them as JSON lines,
// one top-level window per line, for the scenario driver.
//
//   inspect find  [--title T] [--class C] [--timeout MS]   windows matching exactly; exit 1 if none
//   inspect close [--title T] [--class C]                  posts WM_CLOSE to each match
//   inspect yes   [--title T] [--class C]                  answers each matching box Yes, all at once
//   inspect stray [--title T] [--class C]                  posts what no hidden window may act on, hidden windows
//                                                          too: a click of control 1, the close messages, and the
//                                                          DPI messages with a pointer to nothing
//   inspect list                                           every visible top-level window
//
// Texts come from WM_GETTEXT and rectangles from the window manager state, both of which
// cross process boundaries; the keyboard focus comes from GetGUIThreadInfo.
#include <windows.h>

#include <string>
#include <vector>

namespace {

struct Filter {
  const wchar_t* title = nullptr;
  const wchar_t* class_name = nullptr;
};

void write_utf8(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
  DWORD written = 0;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  FlushFileBuffers(out);
}

std::wstring quoted(const std::wstring& text) {
  std::wstring out = L"\"";
  for (wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += L'\\';
      out += c;
    } else if (c < 0x20) {
      wchar_t escape[8];
      wsprintfW(escape, L"\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + L"\"";
}

std::wstring number(long long value) {
  wchar_t text[32];
  wsprintfW(text, L"%I64d", value);
  return text;
}

std::wstring handle_number(HWND window) { return number(static_cast<long long>(reinterpret_cast<UINT_PTR>(window))); }

std::wstring window_text(HWND window) {
  DWORD_PTR length = 0;
  if (SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length) == 0) return L"";
  std::vector<wchar_t> buffer(length + 2, L'\0');
  DWORD_PTR copied = 0;
  if (SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG,
                          2000, &copied) == 0)
    return L"";
  return {buffer.data(), copied};
}

std::wstring class_of(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

std::wstring rect_json(const RECT& r) {
  return L"[" + number(r.left) + L"," + number(r.top) + L"," + number(r.right) + L"," + number(r.bottom) + L"]";
}

struct ChildList {
  HWND parent;
  std::wstring json;
};

BOOL CALLBACK add_child(HWND child, LPARAM param) {
  auto* list = reinterpret_cast<ChildList*>(param);
  if (GetParent(child) != list->parent) return TRUE;
  RECT screen{};
  GetWindowRect(child, &screen);
  // Position inside the parent's client area, as the program laid it out.
  POINT corners[2] = {{screen.left, screen.top}, {screen.right, screen.bottom}};
  MapWindowPoints(nullptr, list->parent, corners, 2);
  if (!list->json.empty()) list->json += L",";
  list->json += L"{\"hwnd\":" + handle_number(child) + L",\"class\":" + quoted(class_of(child)) + L",\"text\":" +
                quoted(window_text(child)) + L",\"id\":" + number(GetDlgCtrlID(child)) + L",\"style\":" +
                number(static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE))) + L",\"visible\":" +
                (IsWindowVisible(child) != FALSE ? L"true" : L"false") + L",\"screen\":" + rect_json(screen) +
                L",\"pos\":[" + number(corners[0].x) + L"," + number(corners[0].y) + L"," +
                number(corners[1].x - corners[0].x) + L"," + number(corners[1].y - corners[0].y) + L"]}";
  return TRUE;
}

std::wstring describe(HWND window) {
  DWORD pid = 0;
  DWORD thread = GetWindowThreadProcessId(window, &pid);
  RECT outer{};
  GetWindowRect(window, &outer);
  RECT client{};
  GetClientRect(window, &client);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  GetGUIThreadInfo(thread, &gui);
  ChildList children{window, L""};
  EnumChildWindows(window, add_child, reinterpret_cast<LPARAM>(&children));
  HDC screen_dc = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen_dc, LOGPIXELSY);
  ReleaseDC(nullptr, screen_dc);
  return L"{\"hwnd\":" + handle_number(window) + L",\"title\":" + quoted(window_text(window)) + L",\"class\":" +
         quoted(class_of(window)) + L",\"pid\":" + number(pid) + L",\"visible\":" +
         (IsWindowVisible(window) != FALSE ? L"true" : L"false") + L",\"style\":" +
         number(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE))) + L",\"rect\":" + rect_json(outer) +
         L",\"client\":[" + number(origin.x) + L"," + number(origin.y) + L"," + number(client.right) + L"," +
         number(client.bottom) + L"]" + L",\"focus\":" + handle_number(gui.hwndFocus) + L",\"focus_id\":" +
         number(gui.hwndFocus != nullptr ? GetDlgCtrlID(gui.hwndFocus) : 0) + L",\"active\":" +
         handle_number(gui.hwndActive) + L",\"dpi\":" + number(dpi) + L",\"children\":[" + children.json + L"]}\n";
}

struct Search {
  Filter filter;
  bool visible_only;
  std::vector<HWND> found;
};

BOOL CALLBACK match_top_level(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  if (search->visible_only && IsWindowVisible(window) == FALSE) return TRUE;
  if (search->filter.class_name != nullptr && class_of(window) != search->filter.class_name) return TRUE;
  if (search->filter.title != nullptr && window_text(window) != search->filter.title) return TRUE;
  search->found.push_back(window);
  return TRUE;
}

std::vector<HWND> find_windows(const Filter& filter, bool visible_only) {
  Search search{filter, visible_only, {}};
  EnumWindows(match_top_level, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    write_utf8(L"usage: inspect find|close|yes|stray|move|list [--title T] [--class C] [--timeout MS]\n");
    return 2;
  }
  std::wstring command = argv[1];
  Filter filter;
  DWORD timeout = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::wstring option = argv[i];
    if (option == L"--title")
      filter.title = argv[i + 1];
    else if (option == L"--class")
      filter.class_name = argv[i + 1];
    else if (option == L"--timeout")
      timeout = static_cast<DWORD>(_wtoi(argv[i + 1]));
  }

  if (command == L"list") {
    for (HWND window : find_windows(filter, true)) write_utf8(describe(window));
    return 0;
  }
  if (filter.title == nullptr && filter.class_name == nullptr) {
    write_utf8(L"find, close, yes, stray and move need --title or --class\n");
    return 2;
  }
  DWORD start = GetTickCount();
  std::vector<HWND> found;
  for (;;) {
    found = find_windows(filter, command == L"find");
    if (!found.empty() || GetTickCount() - start >= timeout) break;
    Sleep(25);
  }
  if (found.empty()) return 1;
  for (HWND window : found) {
    if (command == L"close")
      PostMessageW(window, WM_CLOSE, 0, 0);
    else if (command == L"yes")
      PostMessageW(window, WM_COMMAND, IDYES, 0);
    else if (command == L"move") {
      // As a user drags it: 40 pixels right and down.
      RECT rect{};
      GetWindowRect(window, &rect);
      SetWindowPos(window, nullptr, rect.left + 40, rect.top + 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (command == L"stray") {
      PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      PostMessageW(window, WM_CLOSE, 0, 0);
      PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
      PostMessageW(window, WM_DESTROY, 0, 0);
      PostMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), 16);
      PostMessageW(window, WM_GETDPISCALEDSIZE, 144, 16);
    } else
      write_utf8(describe(window));
  }
  return 0;
}
