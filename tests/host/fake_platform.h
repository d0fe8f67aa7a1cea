// A scripted stand-in for Win32 under the runtime: a registry of keys with
// per-user and machine copies, a folder of files, the user's answer, and a
// log of everything the tool asked of the system, in order.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake {

struct System {
  int answer = 6;
  std::wstring executable = L"C:\\Program Files\\Orvandel\\uninstall.exe";

  std::set<std::wstring> files;                      // present; deleting one removes it
  std::map<std::wstring, std::uint32_t> stuckFiles;  // path -> the error its deletion gives

  std::map<std::string, int> keyCopies;           // "ROOT\path" -> copies visible in front
  std::map<std::string, std::int32_t> stuckKeys;  // "ROOT\path" -> the status its deletion gives
  std::set<std::string> regeneratingKeys;         // deleted, and back at once

  bool libraryMissing = false;
  bool exportMissing = false;
  std::uint32_t lastError = 0;

  std::vector<std::wstring> log;
  int executableReads = 0;
  int lookups = 0;
};

// Thrown where the real program would end: by End, or after the report.
struct Ended {
  int code;
  std::wstring title;
  std::wstring text;
};

System& Get();
void Reset();

// Seeds the three keys and the eight files as a real installation has them.
void SeedInstallation(const std::wstring& folder);

}  // namespace fake
