// A DLL that must never be loaded by the tool's lookups: it sits in the test
// program's own folder, where an ordinary LoadLibrary would find it.
#include <windows.h>

extern "C" __declspec(dllexport) int Planted() { return 1; }
