#include "registry/module1.h"

#include <cstdint>

namespace Module1 {

namespace {

// A context-menu entry always has a `command` subkey, which RegDeleteKeyA
// refuses to delete around; the tree deletion takes it all.
constinit rt::DeclaredFunction g_regDeleteTree{L"advapi32.dll", "RegDeleteTreeA", nullptr};
using RegDeleteTreeA = std::int32_t(RT_WINAPI*)(std::uintptr_t root, const char* subKey);

// HKEY_CLASSES_ROOT shows a per-user copy of a key over the machine's: each
// deletion removes the copy in front, so repeat until none is left. Two
// copies at most; the bound only stops a key that something keeps recreating.
constexpr int kMaxDeletions = 4;

}  // namespace

void RemoveRegKey(rt::RootKey root, std::wstring_view keyPath) {
  const rt::AnsiText ansiPath = rt::vbaStrToAnsi(keyPath);
  const auto regDeleteTree = rt::Declared<RegDeleteTreeA>(g_regDeleteTree);

  for (int deletion = 0; deletion < kMaxDeletions; ++deletion) {
    const std::int32_t status = regDeleteTree(static_cast<std::uintptr_t>(root), ansiPath.c_str());
    rt::vbaSetSystemError();
    if (status == static_cast<std::int32_t>(rt::system_error::kFileNotFound)) {
      return;
    }
    if (status != 0) {
      const auto code = static_cast<std::uint32_t>(status);
      rt::vbaRaise(rt::ErrorForSystemCode(code), code, rt::RootKeyPrefix(root), keyPath);
    }
  }
  // Every deletion succeeded and the key is still there: something recreates it.
  rt::vbaRaise(rt::ErrorNumber::PathFileAccess, 0, rt::RootKeyPrefix(root), keyPath);
}

}  // namespace Module1
