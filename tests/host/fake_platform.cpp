#include "fake_platform.h"

#include <cstdlib>
#include <cwctype>
#include <new>

#include "runtime/platform.h"
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
std::vector<std::string> g_openKeys;

constexpr std::uintptr_t kFirstKeyHandle = 0x1000;
constexpr std::uint32_t kOpenLink = 0x8;
constexpr std::int32_t kStatusKeyDeleted = static_cast<std::int32_t>(0xC000017CU);
constexpr std::int32_t kStatusCannotDelete = static_cast<std::int32_t>(0xC0000121U);

bool KeyExists(const std::string& key) { return g_system.keys.count(key) != 0 || g_system.links.count(key) != 0; }

std::string KeyOf(std::uintptr_t key) {
  switch (key) {
    case 0x80000001U:
      return "HKCU";
    case 0x80000002U:
      return "HKLM";
    default:
      return g_openKeys.at(key - kFirstKeyHandle);
  }
}

std::vector<std::string> SubkeysOf(const std::string& parent) {
  const std::string prefix = parent + "\\";
  std::set<std::string> names;
  const auto add = [&](const std::string& key) {
    if (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0 &&
        key.find('\\', prefix.size()) == std::string::npos) {
      names.insert(key.substr(prefix.size()));
    }
  };
  for (const auto& key : g_system.keys) {
    add(key);
  }
  for (const auto& link : g_system.links) {
    add(link.first);
  }
  return {names.begin(), names.end()};
}

std::int32_t RT_WINAPI FakeRegOpenKeyEx(std::uintptr_t parent, const char* subKey, std::uint32_t options,
                                        std::uint32_t /*access*/, std::uintptr_t* result) {
  System& s = g_system;
  s.lastError = 1000 + static_cast<std::uint32_t>(s.log.size());
  const std::string base = KeyOf(parent);
  if (parent < 0x80000000U && !KeyExists(base)) {
    return 1018;
  }
  std::string key = *subKey == '\0' ? base : base + "\\" + subKey;
  if (const auto link = s.links.find(key); link != s.links.end() && (options & kOpenLink) == 0) {
    s.followedLink = true;
    key = link->second;
  }
  if (!KeyExists(key)) {
    return 2;
  }
  g_openKeys.push_back(key);
  *result = kFirstKeyHandle + g_openKeys.size() - 1;
  if (s.vanishingKeys.erase(key) != 0) {
    s.keys.erase(key);
    s.links.erase(key);
  }
  return 0;
}

std::int32_t RT_WINAPI FakeRegEnumKeyEx(std::uintptr_t key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                                        std::uint32_t* /*reserved*/, char* /*className*/,
                                        std::uint32_t* /*classLength*/, void* /*lastWriteTime*/) {
  const std::string path = KeyOf(key);
  if (!KeyExists(path)) {
    return 1018;
  }
  const std::vector<std::string> subkeys =
      g_system.links.count(path) != 0 ? std::vector<std::string>{} : SubkeysOf(path);
  if (index >= subkeys.size()) {
    return 259;
  }
  const std::string& subkey = subkeys[index];
  if (subkey.size() + 1 > *nameLength) {
    return 234;
  }
  subkey.copy(name, subkey.size());
  name[subkey.size()] = '\0';
  *nameLength = static_cast<std::uint32_t>(subkey.size());
  return 0;
}

std::int32_t RT_WINAPI FakeRegCloseKey(std::uintptr_t /*key*/) { return 0; }

std::int32_t RT_WINAPI FakeNtDeleteKey(std::uintptr_t key) {
  System& s = g_system;
  const std::string path = KeyOf(key);
  if (!KeyExists(path)) {
    return kStatusKeyDeleted;
  }
  if (const auto stuck = s.stuckKeys.find(path); stuck != s.stuckKeys.end()) {
    return stuck->second;
  }
  if (s.links.count(path) == 0 && !SubkeysOf(path).empty()) {
    return kStatusCannotDelete;
  }
  s.log.push_back(L"key " + std::wstring(path.begin(), path.end()));
  if (s.regeneratingKeys.count(path) == 0) {
    s.keys.erase(path);
    s.links.erase(path);
  }
  return 0;
}

std::uint32_t RT_WINAPI FakeRtlNtStatusToDosError(std::int32_t status) {
  switch (static_cast<std::uint32_t>(status)) {
    case 0xC000017CU:
      return 1018;
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
    {"RegOpenKeyExA", reinterpret_cast<void*>(&FakeRegOpenKeyEx)},
    {"RegEnumKeyExA", reinterpret_cast<void*>(&FakeRegEnumKeyEx)},
    {"RegCloseKey", reinterpret_cast<void*>(&FakeRegCloseKey)},
    {"NtDeleteKey", reinterpret_cast<void*>(&FakeNtDeleteKey)},
    {"RtlNtStatusToDosError", reinterpret_cast<void*>(&FakeRtlNtStatusToDosError)},
};

}  // namespace

System& Get() { return g_system; }

void Reset() {
  g_system = System{};
  g_openFiles.clear();
  g_openKeys.clear();
}

}  // namespace fake

namespace rt::platform {

void* Allocate(std::size_t bytes) { return std::malloc(bytes); }

void Release(void* block) noexcept { std::free(block); }

int AskUser(const wchar_t* prompt, unsigned flags, const wchar_t* title) {
  fake::Get().log.push_back(L"ask " + std::to_wstring(flags) + L" " + title + L" " + prompt);
  return fake::Get().answer;
}

std::uint32_t ExecutableName(Text& name) {
  ++fake::Get().executableReads;
  name = Text::Join({fake::Get().executable});
  return 0;
}

void CloseFile(void* handle) noexcept {
  const auto index = reinterpret_cast<std::uintptr_t>(handle) - 1;
  const auto& [path, marked] = fake::g_openFiles.at(index);
  // A lingering file stays, as one another handle keeps open.
  if (marked && fake::Get().lingering[path] == 0) {
    fake::Get().files.erase(path);
  }
}

namespace {

std::uint32_t OpenFake(const std::wstring& path, OpenFile& file) {
  fake::g_openFiles.push_back({path});
  file.reset(reinterpret_cast<void*>(fake::g_openFiles.size()));
  return 0;
}

}  // namespace

std::uint32_t HoldFolder(const wchar_t* path, OpenFile& folder, Text& finalPath) {
  fake::System& s = fake::Get();
  if (s.folderError != 0) {
    return s.folderError;
  }
  s.heldFolder = path;
  finalPath = Text::Join({std::wstring_view(path)});
  return OpenFake(path, folder);
}

std::uint32_t OpenForDeletion(const wchar_t* path, OpenFile& file, Text& finalPath) {
  fake::System& s = fake::Get();
  s.log.push_back(std::wstring(L"file ") + path);
  if (const auto stuck = s.stuckFiles.find(path); stuck != s.stuckFiles.end()) {
    return stuck->second;
  }
  const auto leads = s.finalPaths.find(path);
  const std::wstring target = leads != s.finalPaths.end() ? leads->second : path;
  if (s.files.count(target) == 0) {
    return 2;
  }
  // As Win32 path normalisation does: a doubled separator after the drive.
  std::wstring normal = target;
  for (std::size_t at = normal.find(L"\\\\", 2); at != std::wstring::npos; at = normal.find(L"\\\\", 2)) {
    normal.erase(at, 1);
  }
  finalPath = Text::Join({std::wstring_view(normal)});
  return OpenFake(target, file);
}

std::uint32_t MarkForDeletion(const OpenFile& file) {
  fake::g_openFiles.at(reinterpret_cast<std::uintptr_t>(file.get()) - 1).marked = true;
  return 0;
}

std::uint32_t LookUp(const wchar_t* path) {
  fake::System& s = fake::Get();
  if (auto linger = s.lingering.find(path); linger != s.lingering.end() && linger->second > 0) {
    if (--linger->second == 0) {
      s.files.erase(path);
    }
    return 0;
  }
  return s.files.count(path) != 0 ? 0 : 2;
}

std::size_t FindFileUsers(const wchar_t* path, std::span<FileUser> users) {
  std::size_t found = 0;
  for (const auto& [name, id] : fake::Get().users[path]) {
    if (found == users.size()) {
      break;
    }
    users[found++] = {Text::Join({std::wstring_view(name)}), id};
  }
  return found;
}

bool IsReadOnly(const wchar_t* path) { return fake::Get().readOnly.count(path) != 0; }

bool SamePath(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) {
      return false;
    }
  }
  return true;
}

void Pause(unsigned /*milliseconds*/) { ++fake::Get().pauses; }

AnsiText ToAnsi(std::wstring_view text) {
  AnsiText ansi = AnsiText::WithSize(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    ansi.data()[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  }
  return ansi;
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
  throw fake::Ended{code, title != nullptr ? title : L"", text};
}

}  // namespace rt::platform
