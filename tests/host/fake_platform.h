// A scripted stand-in for Win32 under the runtime: a registry with links, a
// folder of files that may be links, the user's answer, and a log of every
// deletion the tool made, in order.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace fake {

struct System {
  int answer = 6;
  std::wstring executable = L"C:\\Program Files\\Orvandel\\uninstall.exe";

  // Files present. A name opens as itself unless `finalPaths` says where it
  // really leads (a link the system cannot open as itself, a moved folder).
  std::set<std::wstring> files;
  std::map<std::wstring, std::wstring> finalPaths;
  std::map<std::wstring, std::uint32_t> stuckFiles;  // path -> the error opening it gives
  std::map<std::wstring, int> lingering;             // path -> looks it survives its deletion by
  std::uint32_t folderError = 0;                     // opening the tool's own folder
  std::set<std::wstring> readOnly;
  // path -> programs that have it loaded or open, as "name" and process id
  std::map<std::wstring, std::vector<std::pair<std::wstring, std::uint32_t>>> users;
  std::wstring heldFolder;

  // Keys as "HKLM\path" or "HKCU\path"; links are keys that name another.
  std::set<std::string> keys;
  std::map<std::string, std::string> links;
  std::map<std::string, std::int32_t> stuckKeys;  // key -> the status deleting it gives
  std::set<std::string> regeneratingKeys;         // deleted, and back at once
  std::set<std::string> vanishingKeys;            // deleted by someone else once opened
  bool followedLink = false;                      // a link was opened as what it names

  bool libraryMissing = false;
  bool exportMissing = false;
  std::uint32_t lastError = 0;

  std::vector<std::wstring> log;  // "file PATH" per deletion attempt, "key KEY" per key deleted
  int executableReads = 0;
  int lookups = 0;
  int pauses = 0;
};

// Thrown where the real program would end: by End, or after the report.
struct Ended {
  int code;
  std::wstring title;
  std::wstring text;
};

System& Get();
void Reset();

}  // namespace fake
