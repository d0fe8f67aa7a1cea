// The runtime services the tool's handlers call, in one include: the program
// object and late binding (program.h), the run-time error and its report
// (report.h), the own folder and file removal (files.h). Built on the seam
// (platform/platform.h), so all of it also runs on the host.
#pragma once

#include "runtime/files.h"
#include "runtime/program.h"
#include "runtime/report.h"
