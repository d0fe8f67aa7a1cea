// The real runtime seam under Windows (Wine here): files, DLL lookups, the
// account, text conversion and the form engine, each against the system
// itself. The registry walk is shown by the scenarios, through the tool.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <oleacc.h>

#include <array>
#include <atomic>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "forms/form_win32.h"
#include "platform/platform.h"
#include "removal_window/form1.h"
#include "runtime/runtime.h"

namespace {

std::wstring TempFolder() {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  std::wstring folder = std::wstring(base) + L"uninstall-test-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

void WriteFile(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
}

// The test program's own import `name` (its .idata is writable), through
// which the seam calls it, given a stand-in for as long as this lives.
struct Replaced {
  void** slot = nullptr;
  void* real = nullptr;
  Replaced(std::string_view name, void* stand) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(
             base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
         import->Name != 0; ++import) {
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
      for (auto* by = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
           by->u1.AddressOfData != 0 && slot == nullptr; ++by, ++slots) {
        if (!IMAGE_SNAP_BY_ORDINAL(by->u1.Ordinal) &&
            name == reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + by->u1.AddressOfData)->Name) {
          slot = reinterpret_cast<void**>(&slots->u1.Function);
        }
      }
    }
    EXPECT_NE(slot, nullptr) << name;
    real = slot != nullptr ? std::exchange(*slot, stand) : nullptr;
  }
  Replaced(const Replaced&) = delete;
  Replaced& operator=(const Replaced&) = delete;
  Replaced(Replaced&&) = delete;
  Replaced& operator=(Replaced&&) = delete;
  ~Replaced() {
    if (slot != nullptr) {
      *slot = real;
    }
  }
};

// What the next disposition call meets: a wait a cancel ends (a read of an
// empty pipe), a wait none ends (an event), after which the system is asked
// after all, or a refusal of every call.
enum class Holder { None, Pipe, Event, Refusal };
std::atomic<Holder> g_holder{Holder::None};
std::atomic<bool> g_holdReturned{false};
HANDLE g_pipe = nullptr;
HANDLE g_release = nullptr;
void* g_dispose = nullptr;  // the system's

BOOL WINAPI HeldDisposition(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* information, DWORD size) {
  const Holder holder = g_holder == Holder::Refusal ? Holder::Refusal : g_holder.exchange(Holder::None);
  char byte = 0;
  DWORD read = 0;
  if (holder == Holder::Refusal || (holder == Holder::Pipe && ReadFile(g_pipe, &byte, 1, &read, nullptr) == FALSE)) {
    const DWORD error = holder == Holder::Refusal ? ERROR_ACCESS_DENIED : GetLastError();
    g_holdReturned = true;
    SetLastError(error);
    return FALSE;
  }
  WaitForSingleObject(g_release, holder == Holder::Event ? INFINITE : 0);
  return reinterpret_cast<decltype(&SetFileInformationByHandle)>(g_dispose)(file, kind, information, size);
}

HANDLE WINAPI NoThread(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

// Windows refusing to make a button; any other window made as the system makes it.
void* g_createWindow = nullptr;  // the system's
HWND WINAPI NoButton(DWORD exStyle, LPCWSTR name, LPCWSTR caption, DWORD style, int x, int y, int width, int height,
                     HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter) {
  if (!IS_INTRESOURCE(name) && lstrcmpiW(name, L"BUTTON") == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return reinterpret_cast<decltype(&CreateWindowExW)>(g_createWindow)(exStyle, name, caption, style, x, y, width,
                                                                      height, parent, menu, instance, parameter);
}

TEST(FileDeletion, OpensTheNameInTheHeldFolderReportsWhyAFileCannotGoAndGivesUpAMarkHeldUp) {
  const std::wstring folder = TempFolder();
  const std::wstring readOnly = folder + L"\\readonly.dat";
  WriteFile(folder + L"\\plain 文件.dat");
  WriteFile(readOnly);
  SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
  CreateDirectoryW((folder + L"\\sub").c_str(), nullptr);
  const auto hold = [&](const wchar_t* name, DWORD share) {
    WriteFile(folder + L"\\" + name);
    return CreateFileW((folder + L"\\" + name).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  const HANDLE held = hold(L"held.dat", FILE_SHARE_READ);
  const HANDLE shared = hold(L"shared.dat", FILE_SHARE_READ | FILE_SHARE_DELETE);
  ASSERT_TRUE(held != INVALID_HANDLE_VALUE && shared != INVALID_HANDLE_VALUE);

  // Held by each name a start gives it, as written and verbatim (\\?\): the
  // one folder, which cannot move while held.
  std::vector<rt::platform::FileId> ids;
  for (const std::wstring& name : {folder, L"\\\\?\\" + folder}) {
    rt::platform::OpenFile byName;
    rt::platform::FileFacts facts;
    EXPECT_EQ(rt::platform::HoldFolder(nullptr, name, byName, facts), 0U) << name;
    ids.push_back(facts.id);
    EXPECT_FALSE(MoveFileW(folder.c_str(), (folder + L"-moved").c_str())) << "a held folder must not move";
  }
  EXPECT_TRUE(rt::platform::SameFile(ids[0], ids[1]));

  rt::platform::OpenFile own;
  rt::platform::FileFacts ownFacts;
  ASSERT_EQ(rt::platform::HoldFolder(nullptr, folder, own, ownFacts), 0U);
  const rt::platform::FileId ownId = ownFacts.id;
  // A folder in it, asked its identity or only whether it is a link: there
  // (and no link), or absent as absent.
  for (const bool identify : {false, true}) {
    for (const wchar_t* name : {L"sub", L"absent"}) {
      rt::platform::OpenFile below;
      rt::platform::FileFacts facts;
      facts.link = true;
      EXPECT_EQ(rt::platform::HoldFolder(&own, name, below, facts, identify),
                name[0] == L's' ? 0U : ERROR_FILE_NOT_FOUND)
          << name << identify;
      EXPECT_EQ(facts.link, name[0] != L's') << name << identify;
    }
  }

  // What answers to the name afterwards: nothing, or the file itself (its
  // deletion refused). One another handle keeps with delete sharing: on
  // Windows nothing (pending, or with POSIX semantics gone); the same file
  // only where the seam says the system keeps a deleted name.
  enum class Left { Nothing, File, HeldElsewhere };
  struct Row {
    const wchar_t* name = nullptr;
    std::uint32_t open = 0;
    std::uint32_t mark = 0;
    Left left = Left::Nothing;
  };
  for (const Row& row :
       {Row{L"plain 文件.dat", 0, 0, Left::Nothing}, Row{L"plain 文件.dat", ERROR_FILE_NOT_FOUND},
        Row{L"readonly.dat", 0, ERROR_ACCESS_DENIED, Left::File}, Row{L"held.dat", ERROR_SHARING_VIOLATION},
        Row{L"sub", ERROR_ACCESS_DENIED}, Row{L"shared.dat", 0, 0, Left::HeldElsewhere}}) {
    SCOPED_TRACE(testing::Message() << row.name);
    rt::platform::OpenFile file;
    rt::platform::FileFacts facts;
    ASSERT_EQ(rt::platform::OpenInFolder(own, ownId, row.name, rt::platform::Access::Delete, file, facts), row.open);
    if (row.open != 0) {
      continue;
    }
    unsigned deadline = 2000;
    EXPECT_EQ(rt::platform::MarkForDeletion(file, deadline), row.mark);
    file.reset();
    rt::platform::FileFacts now;
    const std::uint32_t look = rt::platform::OpenInFolder(own, ownId, row.name, rt::platform::Access::Look, file, now);
    const bool kept = row.left == Left::File || (row.left == Left::HeldElsewhere && rt::platform::KeepsDeletedNames());
    if (kept) {
      EXPECT_EQ(look, 0U);
      EXPECT_TRUE(rt::platform::SameFile(now.id, facts.id));
      EXPECT_EQ(now.readOnly, row.left == Left::File);
    } else {
      EXPECT_TRUE(look == ERROR_FILE_NOT_FOUND || look == ERROR_DELETE_PENDING) << look;
    }
  }

  // A mark that waits on another program for real, in the call the seam
  // makes: once where a cancel ends the wait, once where none does. Given up
  // at its deadline, not much after; the handle the call uses open exactly
  // as long as the call; the next mark served at once, with its own answer.
  HANDLE writer = nullptr;
  ASSERT_TRUE(CreatePipe(&g_pipe, &writer, nullptr, 0));
  g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const Replaced disposition("SetFileInformationByHandle", reinterpret_cast<void*>(&HeldDisposition));
  g_dispose = disposition.real;
  DWORD took = 0;
  unsigned left = 0;
  // The answer to a mark of `name` met by `holder`, with how long it took
  // and what it left of 2 s.
  const auto mark = [&](const wchar_t* name, Holder holder) {
    WriteFile(folder + L"\\" + name);
    rt::platform::OpenFile file;
    rt::platform::FileFacts facts;
    EXPECT_EQ(rt::platform::OpenInFolder(own, ownId, name, rt::platform::Access::Delete, file, facts), 0U);
    g_holder = holder;
    left = 2000;
    const DWORD start = GetTickCount();
    const std::uint32_t answer = rt::platform::MarkForDeletion(file, left);
    took = GetTickCount() - start;
    return answer;
  };
  const auto gone = [&](const wchar_t* name) {
    return GetFileAttributesW((folder + L"\\" + name).c_str()) == INVALID_FILE_ATTRIBUTES;
  };
  // Whether another handle has it open: no share mode lets an open alone through.
  const auto inUse = [&](const wchar_t* name) {
    rt::platform::OpenFile file;
    rt::platform::FileFacts facts;
    return rt::platform::OpenInFolder(own, ownId, name, rt::platform::Access::Alone, file, facts) ==
           ERROR_SHARING_VIOLATION;
  };
  for (const Holder holder : {Holder::Pipe, Holder::Event}) {
    const bool cancels = holder == Holder::Pipe;
    SCOPED_TRACE(cancels ? "a wait a cancel ends" : "a wait no cancel ends");
    g_holdReturned = false;
    EXPECT_EQ(mark(L"stuck.dat", holder), ERROR_TIMEOUT);
    EXPECT_TRUE(took >= 2000 - 16 && took <= 3000) << took;
    EXPECT_EQ(left, 0U);
    EXPECT_EQ(g_holdReturned.load(), cancels) << "the cancel reached the call, where a cancel can";
    EXPECT_EQ(inUse(L"stuck.dat"), !cancels);
    if (!cancels) {
      // A new worker that cannot be made: its error.
      const Replaced thread("CreateThread", reinterpret_cast<void*>(&NoThread));
      EXPECT_EQ(mark(L"refused.dat", Holder::None), ERROR_NOT_ENOUGH_MEMORY);
    }
    // The next mark is served at once, while the given-up call still waits.
    EXPECT_EQ(mark(L"next.dat", Holder::None), 0U);
    EXPECT_TRUE(took < 500 && left >= 1500 && gone(L"next.dat")) << took;
    // Let go of, the held call marks its file after all, which goes once
    // the handle it used is closed; a later mark has its own answer.
    SetEvent(g_release);
    for (int i = 0; i < 200 && !cancels && !gone(L"stuck.dat"); ++i) {
      Sleep(10);
    }
    EXPECT_EQ(gone(L"stuck.dat"), !cancels);
    ResetEvent(g_release);
    EXPECT_EQ(mark(L"refused.dat", Holder::Refusal), ERROR_ACCESS_DENIED);
  }
  own.reset();
  for (const HANDLE handle : {held, shared, writer, g_pipe, g_release}) {
    CloseHandle(handle);
  }
  SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
  for (const wchar_t* name : {L"\\readonly.dat", L"\\held.dat", L"\\shared.dat", L"\\stuck.dat", L"\\refused.dat"}) {
    DeleteFileW((folder + name).c_str());
  }
  RemoveDirectoryW((folder + L"\\sub").c_str());
  RemoveDirectoryW(folder.c_str());
}

TEST(SystemFunctions, ComeFromTheSystemFolderOnly) {
  std::uint32_t error = 0;
  EXPECT_NE(rt::platform::FindSystemFunction(L"advapi32.dll", "RegOpenKeyExA", error), nullptr);
  EXPECT_EQ(rt::platform::FindSystemFunction(L"advapi32.dll", "NoSuchExport", error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(rt::platform::FindSystemFunction(L"nosuchlibrary.dll", "Anything", error), nullptr);
  EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_MOD_NOT_FOUND));

  // planted.dll lies beside this program: an ordinary load finds it there,
  // the tool's lookup must not.
  EXPECT_EQ(rt::platform::FindSystemFunction(L"planted.dll", "Planted", error), nullptr);
  const HMODULE ordinary = LoadLibraryW(L"planted.dll");
  EXPECT_NE(ordinary, nullptr) << "control: planted.dll should load from the program's folder";
  if (ordinary != nullptr) {
    FreeLibrary(ordinary);
  }
}

// Who the tool runs as, from the system: its own local application data (for
// its token, never the roaming one), and the administrator test, which a
// token with the Administrators group for denying only (as a split token has
// it) does not pass, whatever other groups it holds.
TEST(Accounts, TheOwnLocalAppDataAndAnAdministratorAreTheSystemsAnswers) {
  rt::Text local;
  ASSERT_EQ(rt::platform::OwnLocalAppData(local), 0U);
  std::array<wchar_t, MAX_PATH> expected{};
  ASSERT_NE(GetEnvironmentVariableW(L"LOCALAPPDATA", expected.data(), MAX_PATH), 0U);
  EXPECT_EQ(std::wstring(local.view()), expected.data());

  HANDLE process = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process));
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                       &administrators));
  SID_AND_ATTRIBUTES denyOnly{administrators, 0};
  HANDLE restricted = nullptr;
  ASSERT_TRUE(CreateRestrictedToken(process, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &restricted));
  ASSERT_TRUE(ImpersonateLoggedOnUser(restricted));
  EXPECT_FALSE(rt::platform::IsAdministrator());
  RevertToSelf();
  CloseHandle(restricted);
  FreeSid(administrators);
  CloseHandle(process);
}

TEST(Text, KeyPathsGoToTheAnsiCodePage) {
  rt::AnsiText plain;
  EXPECT_EQ(rt::vbaStrToAnsi(L"*\\shell\\Orvandel", plain), 0U);
  EXPECT_EQ(std::string(plain.view()), "*\\shell\\Orvandel");
  // Nothing to convert is a failure: an empty key path names the hive itself.
  rt::AnsiText empty;
  EXPECT_EQ(rt::vbaStrToAnsi(L"", empty), 123U);
  rt::AnsiText chinese;
  EXPECT_EQ(rt::vbaStrToAnsi(L"御载", chinese), 0U);
  wchar_t back[8] = {};
  MultiByteToWideChar(CP_ACP, 0, chinese.c_str(), -1, back, 8);
  if (GetACP() == 936) {
    EXPECT_EQ(std::string(chinese.view()), "\xd3\xf9\xd4\xd8");
    EXPECT_STREQ(back, L"御载");
  } else {
    EXPECT_STRNE(back, L"御载") << "a code page without these characters cannot carry them";
  }
}

// The completion form as the engine makes it, without the removal before it.
// This program carries the tool's resources, so icon group 1 is here too.
class FormEngine : public ::testing::Test {
 protected:
  const HINSTANCE instance_ = GetModuleHandleW(nullptr);
  rt::engine::Form form_;

  void Make(const rt::engine::DpiFunctions& dpi) {
    form_.description = &Form1::kDescription;
    form_.dpi = dpi;
    ASSERT_TRUE(rt::engine::CreateForm(form_, instance_));
    rt::engine::Show(form_, instance_);
  }
  [[nodiscard]] HWND Label() const { return form_.controls[0]; }
  [[nodiscard]] HWND Button() const { return form_.controls[1]; }
  static LOGFONTW FontOf(HWND control) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
    return font;
  }
  [[nodiscard]] RECT PlaceOf(HWND control) const {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, form_.window, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
  }
  static int SystemDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
  }
  void TearDown() override { DestroyWindow(form_.window); }
};

TEST_F(FormEngine, LabelFontIconAndFocusAreAsDesigned) {
  {
    // A control Windows refuses: no window kept, so that the form is made again whole.
    const Replaced create("CreateWindowExW", reinterpret_cast<void*>(&NoButton));
    g_createWindow = create.real;
    form_.description = &Form1::kDescription;
    EXPECT_FALSE(rt::engine::CreateForm(form_, instance_));
    EXPECT_EQ(form_.window, nullptr);
  }
  Make(rt::engine::NewerDpiFunctions());
  const LOGFONTW label = FontOf(Label());
  EXPECT_STREQ(label.lfFaceName, L"宋体");
  EXPECT_EQ(label.lfHeight, -MulDiv(12, SystemDpi(), 72));  // 12 pt: 16 px at 96 DPI
  EXPECT_EQ(label.lfWeight, 700);
  EXPECT_EQ(label.lfCharSet, 134);
  EXPECT_EQ(reinterpret_cast<HICON>(GetClassLongPtrW(form_.window, GCLP_HICON)),
            LoadIconW(instance_, MAKEINTRESOURCEW(1)));
  EXPECT_NE(GetClassLongPtrW(form_.window, GCLP_HICON), 0);
  // Tab never reaches the label (the scenarios see the button's focus and default cue).
  EXPECT_EQ(GetNextDlgTabItem(form_.window, Button(), FALSE), Button());
  EXPECT_EQ(GetWindowLongW(Label(), GWL_STYLE) & WS_TABSTOP, 0);
  // A message dialog's title bar: a close box and nothing to minimise or grow.
  EXPECT_EQ(GetWindowLongW(form_.window, GWL_STYLE) & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), WS_SYSMENU);
}

// The window asked to set its cues from the last input, the one whose
// dialog start was raised once it was on screen, and the one whose end was
// raised while it was still there.
HWND g_cuesFromInput = nullptr;
HWND g_dialogStarted = nullptr;
HWND g_dialogEnded = nullptr;
LRESULT CALLBACK OnSent(int code, WPARAM wParam, LPARAM lParam) {
  const auto& sent = *reinterpret_cast<const CWPSTRUCT*>(lParam);
  const bool initialize = sent.message == WM_CHANGEUISTATE && sent.wParam == MAKEWPARAM(UIS_INITIALIZE, 0);
  g_cuesFromInput = initialize ? sent.hwnd : g_cuesFromInput;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
void CALLBACK OnDialog(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD, DWORD) {
  const bool whole = object == OBJID_WINDOW && child == CHILDID_SELF;
  (event == EVENT_SYSTEM_DIALOGSTART ? g_dialogStarted : g_dialogEnded) =
      whole && (event == EVENT_SYSTEM_DIALOGSTART ? IsWindowVisible(window) : IsWindow(window)) != FALSE ? window
                                                                                                         : nullptr;
}

// What a screen reader is given: a window of the system's dialog class (to
// which Windows' accessibility proxy gives ROLE_SYSTEM_DIALOG; Wine's gives
// every window ROLE_SYSTEM_CLIENT), named by its caption, with the message as
// its first child, visible, and the button after it, which has the focus; and
// the dialog's start and end, as the dialog manager raises them: once it is
// on screen and drawn, and as it goes, before it is. Wine keeps no cues
// (WM_QUERYUISTATE answers 0 whatever it was sent): the request is what shows.
TEST_F(FormEngine, AScreenReaderIsGivenADialogItsMessageAndTheFocusedButton) {
  const HHOOK sent = SetWindowsHookExW(WH_CALLWNDPROC, OnSent, nullptr, GetCurrentThreadId());
  const HWINEVENTHOOK dialog = SetWinEventHook(EVENT_SYSTEM_DIALOGSTART, EVENT_SYSTEM_DIALOGEND, instance_, OnDialog,
                                               GetCurrentProcessId(), 0, WINEVENT_INCONTEXT);
  Make(rt::engine::NewerDpiFunctions());
  UnhookWindowsHookEx(sent);
  EXPECT_EQ(g_cuesFromInput, form_.window);
  EXPECT_EQ(g_dialogStarted, form_.window);
  EXPECT_EQ(g_dialogEnded, nullptr);
  std::array<wchar_t, 16> className{};
  GetClassNameW(form_.window, className.data(), static_cast<int>(className.size()));
  EXPECT_STREQ(className.data(), L"#32770");
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  IAccessible* form = nullptr;
  ASSERT_EQ(AccessibleObjectFromWindow(form_.window, OBJID_CLIENT, IID_IAccessible, reinterpret_cast<void**>(&form)),
            S_OK);
  VARIANT self{};
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  const auto nameOf = [&](IAccessible* object) {
    BSTR name = nullptr;
    std::wstring text = object->get_accName(self, &name) == S_OK && name != nullptr ? name : L"";
    SysFreeString(name);
    return text;
  };
  EXPECT_EQ(nameOf(form), L"御载");
  std::array<VARIANT, 4> children{};
  LONG count = 0;
  // S_FALSE: fewer than room was given for.
  ASSERT_TRUE(SUCCEEDED(AccessibleChildren(form, 0, children.size(), children.data(), &count)));
  // Each child a control's window, read as its own client object: its name,
  // and whether it is hidden.
  std::vector<std::wstring> names;
  for (LONG i = 0; i < count; ++i) {
    HWND control = nullptr;
    IAccessible* child = nullptr;
    VARIANT state{};
    if (children[i].vt == VT_DISPATCH &&
        WindowFromAccessibleObject(reinterpret_cast<IAccessible*>(children[i].pdispVal), &control) == S_OK &&
        AccessibleObjectFromWindow(control, OBJID_CLIENT, IID_IAccessible, reinterpret_cast<void**>(&child)) == S_OK &&
        child->get_accState(self, &state) == S_OK) {
      names.push_back(nameOf(child) + ((state.lVal & STATE_SYSTEM_INVISIBLE) != 0 ? L" (hidden)" : L""));
      child->Release();
    }
    VariantClear(&children[i]);
  }
  EXPECT_EQ(names, (std::vector<std::wstring>{L"已经成功御载！", L"确定"}));
  // The focus, as the form's object reports it: the button's window.
  VARIANT focus{};
  HWND focused = nullptr;
  EXPECT_EQ(form->get_accFocus(&focus), S_OK);
  if (focus.vt == VT_DISPATCH) {
    WindowFromAccessibleObject(reinterpret_cast<IAccessible*>(focus.pdispVal), &focused);
  }
  EXPECT_EQ(focused, Button()) << focus.vt;
  VariantClear(&focus);
  form->Release();
  CoUninitialize();
  // Closed (Esc, the close box): its end raised, and the quit it posts taken back.
  SendMessageW(form_.window, WM_COMMAND, IDCANCEL, 0);
  UnhookWinEvent(dialog);
  EXPECT_EQ(g_dialogEnded, form_.window);
  MSG quit{};
  PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

// Wine cannot switch high contrast on (SPI_SETHIGHCONTRAST fails and
// SPI_GETHIGHCONTRAST says off), so the form's record of it is set here, and
// the change message shows that the form reads it afresh from the system.
TEST_F(FormEngine, LabelTakesTheSchemeColourUnderHighContrast) {
  Make(rt::engine::NewerDpiFunctions());
  const HDC dc = GetDC(Label());
  const auto labelColour = [&] {
    SendMessageW(form_.window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(Label()));
    return GetTextColor(dc);
  };
  EXPECT_EQ(labelColour(), RGB(0, 0, 255));
  form_.highContrast = true;
  EXPECT_EQ(labelColour(), GetSysColor(COLOR_BTNTEXT));
  for (const UINT change : {WM_SYSCOLORCHANGE, WM_SETTINGCHANGE}) {
    form_.highContrast = true;
    SendMessageW(form_.window, change, 0, 0);
    EXPECT_FALSE(form_.highContrast) << change;
    EXPECT_EQ(labelColour(), RGB(0, 0, 255)) << change;
  }
  ReleaseDC(Label(), dc);
}

// The window's DPI as a monitor it is moved to gives it.
UINT g_monitorDpi = 96;
UINT WINAPI MonitorDpi(HWND /*window*/) { return g_monitorDpi; }

// A move to a 144 DPI monitor, with the calls of Windows 10 and with only
// those of Windows 8.1: the window takes the suggested rectangle whole, and
// the controls and both fonts follow the new DPI. Moved while hidden (the
// question showing), it is laid out afresh as it shows.
TEST_F(FormEngine, FollowsANewDpiIntoTheSuggestedRectangle) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
  const LONG buttonFont = MulDiv(metrics.lfMessageFont.lfHeight, 144, SystemDpi());
  const RECT at144{132, 108, 132 + 98, 108 + 38};  // the button's 1320, 1080, 975, 375 twips
  for (const bool newer : {true, false}) {
    SCOPED_TRACE(newer ? "newer DPI calls" : "older calls only");
    Make(newer ? rt::engine::NewerDpiFunctions() : rt::engine::DpiFunctions{});
    SIZE size{500, 300};
    if (newer) {
      ASSERT_TRUE(SendMessageW(form_.window, WM_GETDPISCALEDSIZE, 144, reinterpret_cast<LPARAM>(&size)));
      RECT frame{0, 0, 396, 167};  // the designed client area at 144 DPI
      AdjustWindowRectExForDpi(&frame, GetWindowLongW(form_.window, GWL_STYLE), FALSE, 0, 144);
      EXPECT_EQ(size.cx, frame.right - frame.left);
      EXPECT_EQ(size.cy, frame.bottom - frame.top);
    }
    RECT suggested{40, 30, 40 + size.cx, 30 + size.cy};
    SendMessageW(form_.window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    RECT window{};
    GetWindowRect(form_.window, &window);
    EXPECT_TRUE(EqualRect(&window, &suggested));
    const RECT button = PlaceOf(Button());
    EXPECT_TRUE(EqualRect(&button, &at144));
    EXPECT_EQ(FontOf(Label()).lfHeight, -24);
    EXPECT_EQ(FontOf(Button()).lfHeight, buttonFont);
    TearDown();
    form_ = {};
  }
  // Laid out while the question was up, then, hidden, moved to a 144 DPI
  // monitor, or left where it was while the work area changed so that it no
  // longer holds the designed place: laid out afresh, and placed inside the
  // work area as it is, as it shows.
  for (const bool newDpi : {true, false}) {
    SCOPED_TRACE(newDpi ? "a new DPI" : "a new work area");
    form_ = {};
    form_.description = &Form1::kDescription;
    form_.dpi = rt::engine::NewerDpiFunctions();
    form_.dpi.getDpiForWindow = MonitorDpi;
    ASSERT_TRUE(rt::engine::CreateForm(form_, instance_));
    rt::engine::Prepare(form_, instance_);
    EXPECT_EQ(FontOf(Label()).lfHeight, newDpi ? -16 : -24) << "not laid out while hidden";
    g_monitorDpi = 144;
    RECT was{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &was, 0));
    RECT area = was;
    area.left += newDpi ? 0 : 600;
    area.top += newDpi ? 0 : 500;
    ASSERT_TRUE(SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, 0));
    rt::engine::Show(form_, instance_);
    SystemParametersInfoW(SPI_SETWORKAREA, 0, &was, 0);
    RECT window{};
    RECT inside{};
    GetWindowRect(form_.window, &window);
    EXPECT_TRUE(IntersectRect(&inside, &window, &area) && EqualRect(&inside, &window));
    const RECT button = PlaceOf(Button());
    EXPECT_TRUE(EqualRect(&button, &at144));
    EXPECT_EQ(FontOf(Label()).lfHeight, -24);
    TearDown();
  }
}

}  // namespace
