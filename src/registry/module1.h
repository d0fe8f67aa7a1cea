// Module1: the removal of one registry key tree, as Form1 calls it.
#pragma once

#include <string_view>

#include "runtime/runtime.h"

namespace Module1 {

// Deletes the key `keyPath` below `root` with everything under it, and
// confirms it gone. A registry link in the tree goes as a link; what it names
// stays. A key that is not there counts as removed; any other failure raises
// the run-time error naming the key, so nothing is reported as done that was
// not.
void RemoveRegKey(rt::RootKey root, std::wstring_view keyPath);

// Looks once more for the key, as the last look before the
// program says it went: one found there (something made it again) raises
// the run-time error naming it.
void ConfirmRegKeyGone(rt::RootKey root, std::wstring_view keyPath);

}  // namespace Module1
