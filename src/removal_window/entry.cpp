// The executable's entry point: it hands the project to the runtime.
#include "forms/form.h"
#include "removal_window/project.h"

extern "C" unsigned long RT_WINAPI RuntimeEntry(void* /*peb*/) { rt::ThunRTMain(Project::kHeader); }
