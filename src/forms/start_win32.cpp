// The program's start: the runtime's main loop around the startup form.
#include <windows.h>

#include "forms/form_win32.h"
#include "platform/win32.h"
#include "runtime/runtime.h"

namespace rt {

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
