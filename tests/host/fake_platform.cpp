#include "fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <functional>
#include <iterator>
#include <new>

#include "platform/platform.h"
#include "registry/native_keys.h"
#include "removal_window/form1.h"
#include "removal_window/project.h"
#include "runtime/runtime.h"

namespace fake {

namespace {

System g_system;

// Open files and keys: a handle is an index into one of these, plus one.
struct OpenedFile {
  std::wstring path;
  bool marked = false;
};
std::vector<OpenedFile> g_openFiles;
// The folder of the file last opened for deletion: what is waited for now.
std::wstring g_deleting;

// Time passing while the program waits, in a pause or on a mark.
void Waited(unsigned milliseconds) {
  g_system.waited += milliseconds;
  g_system.waitedIn[g_deleting] += milliseconds;
}
// Folders held now, by handle: what a user could not detach while a box shows.
std::set<std::uintptr_t> g_heldFolders;

// The folders held besides the tool's own.
std::size_t OthersHeld() {
  return static_cast<std::size_t>(std::count_if(g_heldFolders.begin(), g_heldFolders.end(), [](std::uintptr_t handle) {
    return g_openFiles.at(handle - 1).path != g_system.heldFolder;
  }));
}
std::vector<std::wstring> g_openKeys;
// What each key opened by name was opened for, by its place in g_openKeys.
std::map<std::size_t, std::uint32_t> g_keyAccess;
// Times the fake put a new file under a name, which its id shows; and
// deleted names that come back, with the looks until then.
std::map<std::wstring, std::uint32_t> g_generation;
std::map<std::wstring, int> g_away;
// Keys there only as the parents of keys deleted: the registry keeps them.
std::set<std::wstring> g_standing;

constexpr std::uintptr_t kFirstKeyHandle = 0x1000;
// The system's: the access rights a key's calls need, and their refusal.
constexpr std::uint32_t kEnumerateSubKeys = 0x8;
constexpr std::uint32_t kDelete = 0x10000;
constexpr auto kStatusAccessDenied = static_cast<std::int32_t>(0xC0000022U);
using Module1::native::kOpenLink;
using Module1::native::kStatusCannotDelete;
using Module1::native::kStatusKeyDeleted;

// The same in every fresh System, so that runs in one process agree.
rt::platform::FileId IdOf(const std::wstring& path) {
  rt::platform::FileId id;
  id.parts[0] = static_cast<std::uint32_t>(std::hash<std::wstring>{}(path));
  // A file put back under a name has another number, unless the file system
  // gives it the old one's.
  id.parts[1] = g_system.renumbered.count(path) != 0 ? 0 : g_generation[path];
  return id;
}

void PutBack(const std::wstring& path) {
  ++g_generation[path];
  g_system.files.insert(path);
}

// A key is there as itself, or as the parent of one that is: the registry
// has no key without its parents.
bool KeyExists(const std::wstring& key) {
  const std::wstring below = key + L"\\";
  const auto next = g_system.keys.lower_bound(below);
  return g_system.keys.count(key) != 0 || g_system.links.count(key) != 0 || g_standing.count(key) != 0 ||
         (next != g_system.keys.end() && next->compare(0, below.size(), below) == 0);
}

std::wstring KeyOf(std::uintptr_t key) {
  switch (key) {
    case 0x80000001U:
      return L"HKCU";
    case 0x80000002U:
      return L"HKLM";
    case 0x80000003U:
      return L"HKU";
    default:
      return g_openKeys.at(key - kFirstKeyHandle);
  }
}

const std::wstring& PathOf(const std::wstring& key) { return key; }
const std::wstring& PathOf(const std::pair<const std::wstring, std::wstring>& link) { return link.first; }

// The subkey `index` of `parent` in the order of their names, its full path;
// empty when there are not that many. Every key's parent is a key too, so
// the sorted paths below it name its subkeys in order, each first as itself.
std::wstring NthSubkey(const std::wstring& parent, std::uint32_t index) {
  // A listing runs from 0 up, nothing changing meanwhile: one pass over the
  // keys serves it whole, so thousands of users cost the fake no square.
  static std::wstring listed;
  static std::vector<std::wstring> subkeys;
  if (index == 0 || parent != listed) {
    const std::wstring prefix = parent + L"\\";
    std::set<std::wstring> found;
    const auto collect = [&](const auto& container) {
      for (auto key = container.lower_bound(prefix); key != container.end();) {
        const std::wstring& path = PathOf(*key);
        if (path.compare(0, prefix.size(), prefix) != 0) {
          break;
        }
        const std::wstring subkey = path.substr(0, path.find(L'\\', prefix.size()));
        found.insert(subkey);
        // Past everything below it: ']' follows '\\'.
        key = container.lower_bound(subkey + L"]");
      }
    };
    collect(g_system.keys);
    collect(g_system.links);
    listed = parent;
    subkeys.assign(found.begin(), found.end());
  }
  if (g_system.links.count(parent) != 0 || index >= subkeys.size()) {
    return {};
  }
  return subkeys[index];
}

// Whether `key` was opened for all of `access`, as the system checks a call.
bool OpenedFor(std::uintptr_t key, std::uint32_t access) {
  const auto given = g_keyAccess.find(key - kFirstKeyHandle);
  return given == g_keyAccess.end() || (given->second & access) == access;
}

std::int32_t OpenKey(const std::wstring& parent, const std::wstring& subKey, std::uint32_t options,
                     std::uint32_t access, std::uintptr_t* result) {
  System& s = g_system;
  ++s.keyOpens;
  s.lastError = 1000 + static_cast<std::uint32_t>(s.log.size());
  if (!KeyExists(parent) && parent != L"HKCU" && parent != L"HKLM" && parent != L"HKU") {
    return 1018;
  }
  std::wstring key = parent + L"\\" + subKey;
  if (const auto link = s.links.find(key); link != s.links.end() && (options & kOpenLink) == 0) {
    s.followedLink = true;
    key = link->second;
  }
  if (!KeyExists(key)) {
    return 2;
  }
  g_keyAccess[g_openKeys.size()] = access;
  g_openKeys.push_back(key);
  *result = kFirstKeyHandle + g_openKeys.size() - 1;
  if (s.vanishingKeys.erase(key) != 0) {
    s.keys.erase(key);
    s.links.erase(key);
  }
  return 0;
}

constexpr std::string_view kHiveList = R"(SYSTEM\CurrentControlSet\Control\hivelist)";

std::int32_t RT_WINAPI FakeRegOpenKeyExA(std::uintptr_t parent, const char* subKey, std::uint32_t options,
                                         std::uint32_t access, std::uintptr_t* result) {
  const std::string_view name(subKey);  // ASCII: the fake's code page has nothing else
  g_system.lastAnsiPath = name;
  if (name == kHiveList && parent == 0x80000002U) {
    // Always there, holding the loaded hives.
    g_openKeys.emplace_back(L"hivelist");
    *result = kFirstKeyHandle + g_openKeys.size() - 1;
    return 0;
  }

  return OpenKey(KeyOf(parent), std::wstring(name.begin(), name.end()), options, access, result);
}

std::int32_t RT_WINAPI FakeRegQueryValueExW(std::uintptr_t key, const wchar_t* name, void* /*reserved*/,
                                            std::uint32_t* /*type*/, void* /*data*/, std::uint32_t* /*bytes*/) {
  // A link opened as itself holds its target as a value.
  if (std::wstring_view(name) == L"SymbolicLinkValue") {
    return g_system.links.count(KeyOf(key)) != 0 ? 0 : 2;
  }
  return KeyOf(key) == L"hivelist" && g_system.hives.count(name) != 0 ? 0 : 2;
}

using Module1::native::KeyBasicInformation;
using Module1::native::kObjOpenLink;
using Module1::native::kStatusNameNotFound;
using Module1::native::kStatusNoMoreEntries;
using Module1::native::ObjectAttributes;

std::int32_t ToStatus(std::int32_t error) {
  switch (error) {
    case 0:
      return 0;
    case 2:
      return kStatusNameNotFound;
    case 1018:
      return kStatusKeyDeleted;
    default:
      return static_cast<std::int32_t>(0xC0000001U);
  }
}

std::int32_t RT_WINAPI FakeNtOpenKey(std::uintptr_t* result, std::uint32_t access, const ObjectAttributes* attributes) {
  const std::wstring name(attributes->name->text, attributes->name->bytes / sizeof(wchar_t));
  if (name.find(L'\\') != std::wstring::npos && attributes->root != 0) {
    // A path, which the system would walk, following any link on the way.
    g_system.openedByPath = true;
    return static_cast<std::int32_t>(0xC0000033U);
  }
  const std::uint32_t options = (attributes->attributes & kObjOpenLink) != 0 ? kOpenLink : 0;
  if (attributes->root == 0) {
    // By the kernel's name: the users' key is the one the fake knows so.
    if (name != LR"(\Registry\User)") {
      return kStatusNameNotFound;
    }
    g_openKeys.emplace_back(L"HKU");
    *result = kFirstKeyHandle + g_openKeys.size() - 1;
    return 0;
  }
  return ToStatus(OpenKey(KeyOf(attributes->root), name, options, access, result));
}

std::int32_t RT_WINAPI FakeNtEnumerateKey(std::uintptr_t key, std::uint32_t index, int /*what*/, void* information,
                                          std::uint32_t size, std::uint32_t* returned) {
  const std::wstring path = KeyOf(key);
  if (!OpenedFor(key, kEnumerateSubKeys)) {
    return kStatusAccessDenied;
  }
  if (!KeyExists(path)) {
    return kStatusKeyDeleted;
  }
  const std::wstring subkey = NthSubkey(path, index);
  if (subkey.empty()) {
    return kStatusNoMoreEntries;
  }
  if (const auto gone = g_system.goneAfterListing.find(subkey); gone != g_system.goneAfterListing.end()) {
    const std::wstring tree = gone->second;
    g_system.goneAfterListing.erase(gone);
    for (auto at = g_system.keys.lower_bound(tree); at != g_system.keys.end() && at->rfind(tree, 0) == 0;) {
      at = *at == tree || at->rfind(tree + L"\\", 0) == 0 ? g_system.keys.erase(at) : std::next(at);
    }
  }
  const auto shown = g_system.shownAs.find(subkey);
  const std::wstring shownName = shown != g_system.shownAs.end() ? shown->second : subkey.substr(path.size() + 1);
  auto* basic = static_cast<KeyBasicInformation*>(information);
  if (size < sizeof *basic || shownName.size() > basic->name.size()) {
    return static_cast<std::int32_t>(0x80000005U);
  }
  basic->nameBytes = static_cast<std::uint32_t>(shownName.size() * sizeof(wchar_t));
  shownName.copy(basic->name.data(), shownName.size());
  *returned = sizeof *basic;
  return 0;
}

// The key's full name: its size in bytes, then the name, as the system writes it.
std::int32_t RT_WINAPI FakeNtQueryKey(std::uintptr_t key, int /*what*/, void* information, std::uint32_t size,
                                      std::uint32_t* returned) {
  // As the kernel names keys: the hive keys by their place in the registry.
  const std::wstring held = KeyOf(key);
  const std::wstring path =
      (held.rfind(L"HKLM", 0) == 0 ? LR"(\REGISTRY\MACHINE)" : LR"(\REGISTRY\USER\S-1-5-21-1)") + held.substr(4);
  const auto bytes = static_cast<std::uint32_t>(path.size() * sizeof(wchar_t));
  if (size < sizeof bytes + bytes) {
    return static_cast<std::int32_t>(0x80000005U);
  }
  auto* out = static_cast<unsigned char*>(information);
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    out[i] = static_cast<unsigned char>(bytes >> (8 * i));
  }
  path.copy(reinterpret_cast<wchar_t*>(out + sizeof bytes), path.size());
  *returned = sizeof bytes + bytes;
  return 0;
}

std::int32_t RT_WINAPI FakeRegCloseKey(std::uintptr_t /*key*/) { return 0; }

std::int32_t RT_WINAPI FakeRegEnumKeyExW(std::uintptr_t key, std::uint32_t index, wchar_t* name, std::uint32_t* chars,
                                         std::uint32_t* /*reserved*/, wchar_t* /*className*/,
                                         std::uint32_t* /*classChars*/, void* /*written*/) {
  const std::wstring parent = KeyOf(key);
  const std::wstring subkey = NthSubkey(parent, index);
  if (subkey.empty()) {
    return 259;
  }
  const std::wstring shown = subkey.substr(parent.size() + 1);
  *chars = static_cast<std::uint32_t>(shown.copy(name, shown.size()));
  name[*chars] = L'\0';
  return 0;
}

std::int32_t RT_WINAPI FakeNtDeleteKey(std::uintptr_t key) {
  System& s = g_system;
  const std::wstring path = KeyOf(key);
  if (!OpenedFor(key, kDelete)) {
    return kStatusAccessDenied;
  }
  if (!KeyExists(path)) {
    return kStatusKeyDeleted;
  }
  if (const auto stuck = s.stuckKeys.find(path); stuck != s.stuckKeys.end()) {
    return stuck->second;
  }
  if (!NthSubkey(path, 0).empty()) {
    return kStatusCannotDelete;
  }
  if (const auto grows = s.growingKeys.find(path); grows != s.growingKeys.end() && grows->second-- > 0) {
    s.keys.insert(path + L"\\new");
    return kStatusCannotDelete;
  }
  s.log.push_back(L"key " + path);
  if (s.regeneratingKeys.count(path) == 0) {
    s.keys.erase(path);
    s.links.erase(path);
    // Its parents stay.
    g_standing.erase(path);
    for (std::size_t parent = path.rfind(L'\\'); parent != path.find(L'\\'); parent = path.rfind(L'\\', parent - 1)) {
      g_standing.insert(path.substr(0, parent));
    }
  }
  return 0;
}

std::uint32_t RT_WINAPI FakeRtlNtStatusToDosError(std::int32_t status) {
  switch (static_cast<std::uint32_t>(status)) {
    case 0xC000017CU:
      return 1018;
    case 0xC0000034U:
      return 2;
    case 0xC0000022U:
    case 0xC0000121U:
      return 5;
    default:
      return 317;
  }
}

struct Export {
  const char* name;
  void* address;
};

const Export kExports[] = {
    {"RegOpenKeyExA", reinterpret_cast<void*>(&FakeRegOpenKeyExA)},
    {"NtOpenKey", reinterpret_cast<void*>(&FakeNtOpenKey)},
    {"NtEnumerateKey", reinterpret_cast<void*>(&FakeNtEnumerateKey)},
    {"NtQueryKey", reinterpret_cast<void*>(&FakeNtQueryKey)},
    {"RegCloseKey", reinterpret_cast<void*>(&FakeRegCloseKey)},
    {"RegEnumKeyExW", reinterpret_cast<void*>(&FakeRegEnumKeyExW)},
    {"RegQueryValueExW", reinterpret_cast<void*>(&FakeRegQueryValueExW)},
    {"NtDeleteKey", reinterpret_cast<void*>(&FakeNtDeleteKey)},
    {"RtlNtStatusToDosError", reinterpret_cast<void*>(&FakeRtlNtStatusToDosError)},
};

}  // namespace

System& Get() { return g_system; }

void Reset() {
  g_system = System{};
  g_openFiles.clear();
  g_deleting.clear();
  g_openKeys.clear();
  g_keyAccess.clear();
  g_heldFolders.clear();
  g_generation.clear();
  g_away.clear();
  g_standing.clear();
}

int Run(Ended* ended) {
  try {
    rt::UseProject(Project::kHeader);
    rt::OwnFolder folder;
    Form1::Form_Load();
    rt::FinishRemoval();
  } catch (const Ended& e) {
    if (ended != nullptr) {
      *ended = e;
    }
    return e.code;
  }
  g_system.othersHeldAtEnd = OthersHeld();
  return -1;
}

}  // namespace fake

namespace rt::platform {

void* Allocate(std::size_t bytes) {
  fake::Get().allocated += bytes;
  return std::malloc(bytes);
}

void Release(void* block) noexcept { std::free(block); }

int AskUser(const wchar_t* prompt, unsigned flags, const wchar_t* title) {
  fake::Get().log.push_back(L"ask " + std::to_wstring(flags) + L" " + title + L" " + prompt);
  return fake::Get().answer;
}

std::uint32_t ExecutableName(Text& name) {
  name = Text::Join({fake::Get().executable});
  return 0;
}

void CloseFile(void* handle) noexcept {
  fake::System& s = fake::Get();
  fake::g_heldFolders.erase(reinterpret_cast<std::uintptr_t>(handle));
  const auto& [path, marked] = fake::g_openFiles.at(reinterpret_cast<std::uintptr_t>(handle) - 1);
  // A lingering file stays, as one another handle keeps open; and so does one
  // whose deletion does not stand.
  if (!marked || s.lingering[path] != 0 || s.unstood.count(path) != 0) {
    return;
  }
  s.files.erase(path);
  if (const auto back = s.returning.find(path); back != s.returning.end()) {
    if (back->second == 0) {
      fake::PutBack(path);
    } else {
      fake::g_away[path] = back->second;
    }
  }
}

namespace {

void OpenFake(const std::wstring& path, OpenFile& file) {
  fake::g_openFiles.push_back({path});
  file.reset(reinterpret_cast<void*>(fake::g_openFiles.size()));
}

}  // namespace

bool SameFile(const FileId& a, const FileId& b) { return a.parts == b.parts; }

std::uint32_t HoldFolder(const OpenFile* in, std::wstring_view path, OpenFile& folder, FileFacts& facts,
                         bool identify) {
  fake::System& s = fake::Get();
  const std::wstring held = in != nullptr ? fake::g_openFiles.at(reinterpret_cast<std::uintptr_t>(in->get()) - 1).path +
                                                L"\\" + std::wstring(path)
                                          : std::wstring(path);
  if (const auto error = s.folderErrors.find(held); error != s.folderErrors.end()) {
    return error->second;
  }
  // The tool's own folder, or one holding a file.
  const auto below = s.files.lower_bound(held + L"\\");
  const bool holdsAFile = below != s.files.end() && below->compare(0, held.size() + 1, held + L"\\") == 0;
  if (held != FolderOf(s.executable).view() && !holdsAFile) {
    return in != nullptr ? 2 : 3;
  }
  if (s.heldFolder.empty()) {
    s.heldFolder = held;
  }
  facts.id = identify ? fake::IdOf(held) : FileId{};
  facts.link = s.linkFolders.count(held) != 0;
  OpenFake(held, folder);
  fake::g_heldFolders.insert(reinterpret_cast<std::uintptr_t>(folder.get()));
  return 0;
}

namespace {

// The name the system gives an open folder: where it really lies, and so
// where everything below it lies.
std::wstring NamedAs(const OpenFile& folder) {
  const std::wstring& path = fake::g_openFiles.at(reinterpret_cast<std::uintptr_t>(folder.get()) - 1).path;
  for (std::size_t end = path.size(); end != std::wstring::npos;
       end = end == 0 ? std::wstring::npos : path.rfind(L'\\', end - 1)) {
    const auto named = fake::Get().namedAs.find(path.substr(0, end));
    if (named != fake::Get().namedAs.end()) {
      // A volume's root is named with its separator.
      return named->second + path.substr(named->second.ends_with(L'\\') && end < path.size() ? end + 1 : end);
    }
  }
  return path;
}

std::wstring Upper(std::wstring_view text) {
  std::wstring upper(text);
  for (auto& c : upper) {
    c = static_cast<wchar_t>(std::towupper(c));
  }
  return upper;
}

}  // namespace

std::uint32_t FinalName(const OpenFile& folder, Text& name, bool opened) {
  if (fake::Get().finalNameError != 0 && !opened) {
    return fake::Get().finalNameError;
  }
  name = Text::Join({L"\\\\?\\" + NamedAs(folder)});
  return 0;
}

std::uint32_t KernelName(const OpenFile& file, Text& room, std::wstring_view& name) {
  // Another machine's share by its UNC name, below the multiple UNC provider.
  const std::wstring named = NamedAs(file);
  room = Text::Join({named.rfind(L"\\\\", 0) == 0 ? L"\\Device\\Mup" + named.substr(1)
                                                  : L"\\Device\\HarddiskVolume1" + named.substr(2)});
  name = room.view();
  return 0;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  ++fake::Get().nameCompares;
  return Upper(a) == Upper(b);
}

std::uint32_t FolderOfSystem(SystemFolder which, Text& path) {
  // A 32-bit Windows: both views name the one Program Files.
  path = Text::Join({which == SystemFolder::Windows ? L"C:\\Windows" : L"C:\\Program Files"});
  return 0;
}

std::uint32_t ListedProfiles(Text& folders) {
  if (fake::Get().profileListError != 0) {
    return fake::Get().profileListError;
  }
  std::wstring list;
  for (const auto& profile : fake::Get().profiles) {
    list += profile + L'\0';
  }
  folders = Text::Join({list});
  return 0;
}

std::uint32_t ExpandSystemVariables(const wchar_t* text, Text& room, std::wstring_view& expanded) {
  if (const auto error = fake::Get().expandErrors.find(text); error != fake::Get().expandErrors.end()) {
    return error->second;
  }
  // Variables every system has, one shorter and one longer than its name;
  // one it does not know stays as written.
  std::wstring result(text);
  for (const auto& [name, value] : {std::pair{L"%SystemDrive%", L"C:"}, std::pair{L"%windir%", L"C:\\WINDOWS"}}) {
    if (const std::size_t at = result.find(name); at != std::wstring::npos) {
      result.replace(at, std::wcslen(name), value);
    }
  }
  // Written over the room the caller keeps, as the system's call does, so a
  // caller still reading an earlier expansion would see it change.
  if (room.size() == 0) {
    room = Text::WithSize(0x7FFF);
  }
  std::copy(result.c_str(), result.c_str() + result.size() + 1, room.data());
  expanded = {room.c_str(), result.size()};
  return 0;
}

std::uint32_t OwnLocalAppData(Text& path) {
  path = Text::Join({fake::Get().localAppData});
  return fake::Get().localAppDataError;
}

std::uint32_t OpenInFolder(const OpenFile& folder, const FileId& /*folderId*/, std::wstring_view name, Access access,
                           OpenFile& file, FileFacts& facts) {
  fake::System& s = fake::Get();
  const std::wstring path =
      fake::g_openFiles.at(reinterpret_cast<std::uintptr_t>(folder.get()) - 1).path + L"\\" + std::wstring(name);
  if (access == Access::Alone) {
    // Held elsewhere while it lingers.
    if (const auto linger = s.lingering.find(path); linger != s.lingering.end() && linger->second > 0) {
      return 32;
    }
  }
  if (access == Access::Delete) {
    fake::g_deleting = path.substr(0, path.rfind(L'\\'));
    s.log.push_back(L"file " + path);
    if (const auto busy = s.busy.find(path); busy != s.busy.end() && busy->second > 0) {
      --busy->second;
      return 32;
    }
    // A look is refused by no program's sharing.
    if (const auto stuck = s.stuckFiles.find(path); stuck != s.stuckFiles.end()) {
      return stuck->second;
    }
  }
  if (s.finalPaths.count(path) != 0) {
    return 681;
  }
  if (s.deletePending.count(path) != 0) {
    return 303;
  }
  if (s.files.count(path) == 0) {
    if (const auto away = fake::g_away.find(path); away != fake::g_away.end() && --away->second == 0) {
      fake::g_away.erase(away);
      fake::PutBack(path);
    }
    return 2;
  }
  if (const auto linger = s.lingering.find(path);
      access == Access::Look && linger != s.lingering.end() && linger->second > 0 && --linger->second == 0) {
    s.files.erase(path);  // after this look
  }
  facts.id = fake::IdOf(path);
  facts.changeTime = {fake::g_generation[path], 0};
  facts.readOnly = s.readOnly.count(path) != 0;
  OpenFake(path, file);
  return 0;
}

void PrepareMarks() {}

std::uint32_t MarkForDeletion(OpenFile& file, unsigned& milliseconds) {
  auto& opened = fake::g_openFiles.at(reinterpret_cast<std::uintptr_t>(file.get()) - 1);
  // Waits on its holder: given up after the time allowed.
  if (const auto slow = fake::Get().slowMarks.find(opened.path); slow != fake::Get().slowMarks.end()) {
    const unsigned took = std::min(slow->second, milliseconds);
    fake::Waited(took);
    milliseconds -= took;
    if (took < slow->second) {
      return 1460;
    }
  }
  if (fake::Get().readOnly.count(opened.path) != 0) {
    return 5;
  }
  opened.marked = true;
  // Something makes these keys again as files go.
  fake::Get().keys.insert(fake::Get().keysBack.begin(), fake::Get().keysBack.end());
  fake::Get().keysBack.clear();
  return 0;
}

bool KeepsDeletedNames() { return fake::Get().keepsDeletedNames; }

std::size_t FindFileUsers(const OpenFile& file, const FileId& /*id*/, std::span<FileUser> users) {
  std::size_t found = 0;
  const std::wstring& path = fake::g_openFiles.at(reinterpret_cast<std::uintptr_t>(file.get()) - 1).path;
  for (const auto& [name, id] : fake::Get().users[path]) {
    if (found == users.size()) {
      break;
    }
    FileUser& user = users[found++];
    user.nameSize = name.copy(user.name.data(), user.name.size());
    user.processId = id;
  }
  return found;
}

bool IsAdministrator() { return fake::Get().elevated; }

void Pause(unsigned milliseconds) {
  ++fake::Get().pauses;
  fake::Waited(milliseconds);
}

std::uint32_t ToAnsi(std::wstring_view text, AnsiText& ansi) {
  if (fake::Get().ansiError != 0) {
    return fake::Get().ansiError;
  }
  ansi = AnsiText::WithSize(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    ansi.data()[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  }
  return 0;
}

void* FindSystemFunction(const wchar_t* library, const char* name, std::uint32_t& error) {
  fake::System& s = fake::Get();
  ++s.lookups;
  if (s.libraryMissing) {
    error = 126;
    return nullptr;
  }
  const std::wstring dll(library);
  if (!s.exportMissing && (dll == L"advapi32.dll" || dll == L"ntdll.dll")) {
    for (const auto& entry : fake::kExports) {
      if (std::string(name) == entry.name) {
        return entry.address;
      }
    }
  }
  error = 127;
  return nullptr;
}

std::uint32_t LastSystemError() { return fake::Get().lastError; }

void Exit(int code) { throw fake::Ended{code, {}, {}}; }

void ReportAndExit(const wchar_t* title, const wchar_t* text, int code) {
  fake::Get().othersHeldAtEnd = fake::OthersHeld();
  throw fake::Ended{code, title != nullptr ? title : L"", text};
}

}  // namespace rt::platform
