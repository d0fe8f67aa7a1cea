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

  // Files present, each with an id of its own; one the fake puts back under
  // a name is another file, with another id.
  std::set<std::wstring> files;
  // Names that lead elsewhere, and where: opened, they are refused (681).
  std::map<std::wstring, std::wstring> finalPaths;
  std::map<std::wstring, std::uint32_t> stuckFiles;  // path -> the error opening it for deletion gives
  std::set<std::wstring> deletePending;              // open as being deleted already (303)
  std::map<std::wstring, int> lingering;             // path -> looks it survives its deletion by, the same file
  std::map<std::wstring, int> returning;             // path -> looks after its deletion until a new file is there
  std::set<std::wstring> renumbered;                 // put back with the number of the one that went
  std::set<std::wstring> unstood;                    // deletion accepted, yet the file stays, held by no one
  std::map<std::wstring, int> busy;                  // path -> attempts to open it for deletion refused (32) first
  bool keepsDeletedNames = false;                    // Wine's rule: a deleted name opens while a handle keeps it
  std::set<std::wstring> readOnly;                   // open, but their deletion is refused (5)
  std::map<std::wstring, unsigned> slowMarks;        // path -> milliseconds a mark waits on its holder (~0U: for ever)
  std::map<std::wstring, unsigned> waitedIn;  // milliseconds waited, by the folder of the file last opened for deletion
  // path -> programs that have it loaded or open, as "name" and process id
  std::map<std::wstring, std::vector<std::pair<std::wstring, std::uint32_t>>> users;
  std::wstring heldFolder;
  bool elevated = false;

  // What the system lists and names, for the rules above the seam to decide by.
  // folder path -> its name as the system gives it, where that differs
  std::map<std::wstring, std::wstring> namedAs;
  std::uint32_t finalNameError = 0;                    // what asking a folder's normalised final name fails with
  std::map<std::wstring, std::uint32_t> folderErrors;  // folder path -> what opening it gives
  std::set<std::wstring> linkFolders;                  // folders that are reparse points
  std::size_t othersHeldAtEnd = 0;                     // folders but the own one held when a box shows
  // Each profile's folder as ProfileList stores it.
  std::vector<std::wstring> profiles = {L"C:\\Users\\admin"};
  std::wstring localAppData = L"C:\\Users\\admin\\AppData\\Local";  // the tool's own account's
  std::map<std::wstring, std::uint32_t> expandErrors;  // a profile as stored -> what expanding it fails with

  // Keys as "HKLM\path", "HKCU\path" or "HKU\path"; links are keys that name another.
  std::set<std::wstring> keys;
  std::map<std::wstring, std::wstring> links;
  std::map<std::wstring, std::int32_t> stuckKeys;  // key -> the status deleting it gives
  std::set<std::wstring> regeneratingKeys;         // deleted, and back at once
  std::set<std::wstring> vanishingKeys;            // deleted by someone else once opened
  std::map<std::wstring, int> growingKeys;         // key -> times a subkey appears as it is deleted
  std::map<std::wstring, std::wstring> shownAs;    // key -> the name enumerating its parent gives
  // key -> the key another copy deletes, with all below it, right after the
  // key was listed by its parent: the key itself, or that parent.
  std::map<std::wstring, std::wstring> goneAfterListing;
  std::set<std::wstring> hives;     // loaded hives' roots, as the hivelist names them
  std::set<std::wstring> keysBack;  // made again once the first file is deleted
  std::string lastAnsiPath;         // the last path RegOpenKeyExA was given
  bool followedLink = false;        // a link was opened as what it names
  bool openedByPath = false;        // a subkey was opened by a name holding a separator
  int keyOpens = 0;
  unsigned waited = 0;  // milliseconds the program waited, in pauses and on marks

  std::uint32_t ansiError = 0;          // what converting to the ANSI code page fails with
  std::uint32_t profileListError = 0;   // what reading ProfileList fails with
  std::uint32_t localAppDataError = 0;  // what asking for the local application data fails with
  bool libraryMissing = false;
  bool exportMissing = false;
  std::uint32_t lastError = 0;

  std::vector<std::wstring> log;  // "file PATH" per deletion attempt, "key KEY" per key deleted
  int lookups = 0;
  int pauses = 0;
  std::size_t allocated = 0;     // bytes the program asked for, in all
  std::size_t nameCompares = 0;  // names compared as the file system compares them
};

// Thrown where the real program would end: by End, or after the report.
struct Ended {
  int code;
  std::wstring title;
  std::wstring text;
};

System& Get();
void Reset();

// Runs the program as the runtime does after its start: the project's texts,
// the own folder held, Form_Load, and the last look before the window. The
// code the program ended with, with how in `ended`; -1 if the window would come.
int Run(Ended* ended = nullptr);

}  // namespace fake
