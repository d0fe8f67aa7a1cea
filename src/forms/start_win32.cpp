// The program's start: the runtime's main loop around the startup form.
#include <windows.h>

#include "forms/form_win32.h"
#include "platform/platform.h"
#include "platform/win32.h"
#include "runtime/runtime.h"

namespace rt {

namespace {

// What only a Yes needs, made while the user reads the question: a thread
// timer, which the question's loop dispatches once nothing else waits (the
// box drawn). Where the answer comes first, the form is laid out as it is
// shown and the worker made at the first mark, and the timer, met by the
// form's own loop, changes nothing.
void CALLBACK Prepare(HWND /*window*/, UINT /*message*/, UINT_PTR timer, DWORD /*time*/) {
  KillTimer(nullptr, timer);
  engine::Prepare();
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
  // Created hidden before the load handler runs; shown only if it returns.
  if (!engine::CreateForm(form, instance)) {
    const DWORD error = GetLastError();
    vbaRaise(ErrorForSystemCode(error), error, {}, {});
  }
  SetTimer(nullptr, 0, 0, Prepare);
  header.startup->load();
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
