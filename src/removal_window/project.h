// The project as the runtime starts it: Form1 first, Chinese (PRC) texts, and
// the program's name on its error reports.
#pragma once

#include "runtime/runtime.h"

namespace Project {

// constinit: fixed at compile time, which the check does not see.
extern constinit const rt::ProjectHeader kHeader;  // NOLINT(bugprone-dynamic-static-initializers)

}  // namespace Project
