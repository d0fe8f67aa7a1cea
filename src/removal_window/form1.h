// The tool's only window: its load handler is the removal sequence, and once
// that returns the window reports completion.
#pragma once

#include <array>
#include <string_view>

#include "forms/form.h"
#include "runtime/runtime.h"

namespace Form1 {

inline constexpr wchar_t kConfirmTitle[] = L"确认御载";
inline constexpr wchar_t kConfirmPrompt[] =
    L"你确定要御载本软件吗？如果选择是的话，本软件所记录的资料也会被删除，想先做好备份的话，请选否。";
// No default-button flag: Yes is the default, so Return answers Yes.
inline constexpr unsigned kConfirmFlags = rt::kYesNo | rt::kQuestionIcon;

struct RegistryTarget {
  rt::RootKey root;
  std::wstring_view path;
};

// Removed in this order, all keys before any file: both context-menu keys
// as HKEY_CLASSES_ROOT shows them, every per-user copy first, which the
// user may always remove, then the machine's. A user who may not remove the
// machine's has lost all of their own before the run stops there.
inline constexpr std::array<RegistryTarget, 5> kRegistryTargets = {
    RegistryTarget{rt::RootKey::UserClasses, L"*\\shell\\Orvandel"},
    RegistryTarget{rt::RootKey::UserClasses, L"Folder\\shell\\Orvandel"},
    RegistryTarget{rt::RootKey::MachineClasses, L"*\\shell\\Orvandel"},
    RegistryTarget{rt::RootKey::MachineClasses, L"Folder\\shell\\Orvandel"},
    RegistryTarget{rt::RootKey::LocalMachine, L"password"},
};

// Appended as written to the tool's own folder, in this order.
inline constexpr std::array<std::wstring_view, 8> kFileTargets = {
    L"\\Kembrasil.ocx", L"\\vantorix.ocx", L"\\PRELDA32.OCX", L"\\tolvane.dat",
    L"\\Orvandel.exe",  L"\\marrowin.dat", L"\\sarnoth.txt",  L"\\TIMBRAL.txt",
};

// Asks, then removes the keys and the files. Returns only when all of it is
// done; No ends the program untouched, a failure ends it with the report.
void Form_Load();

// Ends the program.
void Command1_Click();

// The window as designed; texts in code page 936.
// constinit: fixed at compile time, which the check does not see.
extern constinit const rt::FormDescription kDescription;  // NOLINT(bugprone-dynamic-static-initializers)

}  // namespace Form1
