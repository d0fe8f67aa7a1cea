// holder FILE STOPFILE [load | share-delete | pipe | recreate [GATE]]
// Opens FILE without delete sharing (or, with "load", loads it as a module), writes "holding
// PID" to standard output and keeps it until STOPFILE exists, so another program's DeleteFileW
// fails. With "share-delete" it lets deletion through, and only keeps the file alive. With
// "pipe" it also serves a named pipe and lists it as its own program's path in its module list,
// as any program may rewrite that list, and writes "connected" if anyone opens the pipe. With
// "recreate" it makes FILE again, at once, whenever it is gone; given a GATE, it holds that file
// until FILE has been made again once, so a tool that meets GATE after FILE waits for the
// new FILE however slowly this program is scheduled.
// Copied into a folder under another name, it is also a running program of that name.
// Gives up after two minutes so a failed test never leaves it behind.
#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

namespace {

void say(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, nullptr);
  FlushFileBuffers(GetStdHandle(STD_OUTPUT_HANDLE));
}

// Serves \\.\pipe\uninstall-holder-PID and puts that name where this program's path was in
// its module list. Returns the event that a connection signals, or null.
HANDLE ListPipeAsModule(OVERLAPPED& pending) {
  static wchar_t name[64];
  wsprintfW(name, L"\\\\.\\pipe\\uninstall-holder-%lu", GetCurrentProcessId());
  const HANDLE pipe =
      CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 512, 512, 0, nullptr);
  pending.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (pipe == INVALID_HANDLE_VALUE || pending.hEvent == nullptr) {
    return nullptr;
  }
  ConnectNamedPipe(pipe, &pending);
  // The first entry in load order is the program itself.
  PROCESS_BASIC_INFORMATION basic{};
  const auto query = reinterpret_cast<decltype(&NtQueryInformationProcess)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  if (query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0) {
    return nullptr;
  }
  PEB_LDR_DATA* loader = basic.PebBaseAddress->Ldr;
  auto* program = CONTAINING_RECORD(loader->InMemoryOrderModuleList.Flink, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
  const auto bytes = static_cast<USHORT>(lstrlenW(name) * sizeof(wchar_t));
  program->FullDllName = UNICODE_STRING{bytes, static_cast<USHORT>(bytes + sizeof(wchar_t)), name};
  return pending.hEvent;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && lstrcmpW(argv[3], L"recreate") != 0) {
    argc = 0;
  }
  if (argc < 3 || argc > 5) {
    say("usage: holder FILE STOPFILE [load | share-delete | pipe | recreate [GATE]]\n");
    return 2;
  }
  if (argc >= 4 && lstrcmpW(argv[3], L"recreate") == 0) {
    HANDLE gate =
        argc == 5 ? CreateFileW(argv[4], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) : INVALID_HANDLE_VALUE;
    if (argc == 5 && gate == INVALID_HANDLE_VALUE) {
      say("cannot hold the gate\n");
      return 1;
    }
    char line[32];
    wsprintfA(line, "holding %lu\n", GetCurrentProcessId());
    say(line);
    // As fast as it can: a removal tool looks again within milliseconds.
    for (DWORD started = GetTickCount(); GetTickCount() - started < 120000;) {
      if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) break;
      for (int i = 0; i < 1000; ++i) {
        if (GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES) {
          CloseHandle(CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
          if (gate != INVALID_HANDLE_VALUE && GetFileAttributesW(argv[1]) != INVALID_FILE_ATTRIBUTES) {
            CloseHandle(gate);
            gate = INVALID_HANDLE_VALUE;
          }
        }
      }
    }
    say("released\n");
    return 0;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  HMODULE module = nullptr;
  const bool shareDelete = argc == 4 && lstrcmpW(argv[3], L"share-delete") == 0;
  const bool pipe = argc == 4 && lstrcmpW(argv[3], L"pipe") == 0;
  OVERLAPPED pending{};
  HANDLE connected = nullptr;
  if (pipe && (connected = ListPipeAsModule(pending)) == nullptr) {
    say("cannot serve the pipe\n");
    return 3;
  }
  if (argc == 4 && !shareDelete && !pipe) {
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
  bool told = false;
  for (int waited = 0; waited < 120000; waited += 20) {
    if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) break;
    if (connected != nullptr && !told && WaitForSingleObject(connected, 0) == WAIT_OBJECT_0) {
      say("connected\n");
      told = true;
    }
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
