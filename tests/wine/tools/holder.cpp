// holder FILE STOPFILE [load | share-delete]
// Opens FILE without delete sharing (or, with "load", loads it as a module), writes "holding
// PID" to standard output and keeps it until STOPFILE exists, so another program's DeleteFileW
// fails. With "share-delete" it lets deletion through, and only keeps the file alive.
// Copied into a folder under another name, it is also a running program of that name.
// Gives up after two minutes so a failed test never leaves it behind.
#include <windows.h>

namespace {

void say(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, nullptr);
  FlushFileBuffers(GetStdHandle(STD_OUTPUT_HANDLE));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) {
    say("usage: holder FILE STOPFILE [load | share-delete]\n");
    return 2;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  HMODULE module = nullptr;
  const bool shareDelete = argc == 4 && lstrcmpW(argv[3], L"share-delete") == 0;
  if (argc == 4 && !shareDelete) {
    // Mapped as an image and listed among this process's modules; never run.
    module = LoadLibraryExW(argv[1], nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (module == nullptr) {
      say("cannot load\n");
      return 3;
    }
  } else {
    file =
        CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | (shareDelete ? FILE_SHARE_DELETE : 0),
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      say("cannot open\n");
      return 3;
    }
  }
  char line[32];
  wsprintfA(line, "holding %lu\n", GetCurrentProcessId());
  say(line);
  for (int waited = 0; waited < 120000; waited += 20) {
    if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(20);
  }
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
  if (module != nullptr) {
    FreeLibrary(module);
  }
  say("released\n");
  return 0;
}
