// The program's start: the runtime's main loop around the startup form.
#include <windows.h>

#include "forms/form_win32.h"
#include "platform/platform.h"
#include "platform/win32.h"
#include "runtime/runtime.h"

namespace rt {

namespace {

// The startup form, and what only a Yes needs, made while the user reads
// the question: a thread timer, which the question's loop dispatches once
// nothing else waits (the box drawn). Where the answer comes first, the
// form is made as the load handler returns and the worker at the first
// mark, and the timer, met by the form's own loop, changes nothing.
constinit engine::Form* g_startup = nullptr;

void CALLBACK Prepare(HWND /*window*/, UINT /*message*/, UINT_PTR timer, DWORD /*time*/) {
  KillTimer(nullptr, timer);
  engine::Prepare(*g_startup, GetModuleHandleW(nullptr));
  platform::PrepareMarks();
}

}  // namespace

void ThunRTMain(const ProjectHeader& header) {
  win32::RestrictDllSearch();
  UseProject(header);
  // Held from before the question to the end: the files go from this folder.
  OwnFolder ownFolder;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  engine::Form form;
  form.description = header.startup;
  form.dpi = engine::NewerDpiFunctions();
  // This function never returns (it ends with Exit): the form outlives the timer.
  // cppcheck-suppress danglingLifetime
  g_startup = &form;
  SetTimer(nullptr, 0, 0, Prepare);
  header.startup->load();
  // Made hidden while the question was up, or now; shown only if the load
  // handler returns.
  if (!engine::Prepare(form, instance)) {
    const DWORD error = GetLastError();
    vbaRaise(ErrorForSystemCode(error), error, {}, {});
  }
  // The folder's mirror too; and nothing is said to be gone that came back
  // meanwhile.
  FinishRemoval();

  engine::Show(form, instance);

  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // The dialog manager gives Return, Space and Tab their usual meaning.
    if (IsDialogMessageW(form.window, &message) == 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  platform::Exit(static_cast<int>(ExitCode::Completed));
}

}  // namespace rt
