#include "fake_platform.h"

#include <cstdlib>
#include <new>

#include "removal_window/form1.h"
#include "runtime/platform.h"

namespace fake {

namespace {

System g_system;

std::string KeyName(std::uintptr_t root, const char* path) {
  return (root == 0x80000000U ? "HKCR\\" : root == 0x80000002U ? "HKLM\\" : "?\\") + std::string(path);
}

std::int32_t FakeRegDeleteTree(std::uintptr_t root, const char* path) {
  System& s = g_system;
  const std::string key = KeyName(root, path);
  s.log.push_back(L"key " + std::wstring(key.begin(), key.end()));
  s.lastError = 1000 + static_cast<std::uint32_t>(s.log.size());
  if (const auto stuck = s.stuckKeys.find(key); stuck != s.stuckKeys.end()) {
    return stuck->second;
  }
  if (s.regeneratingKeys.count(key) != 0) {
    return 0;
  }
  int& copies = s.keyCopies[key];
  if (copies == 0) {
    return 2;
  }
  --copies;
  return 0;
}

}  // namespace

System& Get() { return g_system; }

void Reset() { g_system = System{}; }

void SeedInstallation(const std::wstring& folder) {
  for (const auto& key : Form1::kRegistryTargets) {
    const std::string prefix = key.root == rt::RootKey::ClassesRoot ? "HKCR\\" : "HKLM\\";
    g_system.keyCopies[prefix + std::string(key.path.begin(), key.path.end())] = 1;
  }
  for (const auto name : Form1::kFileTargets) {
    g_system.files.insert(folder + std::wstring(name));
  }
}

}  // namespace fake

namespace rt::platform {

void* Allocate(std::size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return block;
}

void Release(void* block) noexcept { std::free(block); }

int AskUser(const wchar_t* prompt, unsigned flags, const wchar_t* title) {
  fake::Get().log.push_back(L"ask " + std::to_wstring(flags) + L" " + title + L" " + prompt);
  return fake::Get().answer;
}

Text ExecutableName() {
  ++fake::Get().executableReads;
  return Text::Join({fake::Get().executable});
}

std::uint32_t RemoveFile(const wchar_t* path) {
  fake::System& s = fake::Get();
  s.log.push_back(std::wstring(L"file ") + path);
  if (const auto stuck = s.stuckFiles.find(path); stuck != s.stuckFiles.end()) {
    return stuck->second;
  }
  return s.files.erase(path) != 0 ? 0 : 2;
}

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
  if (s.exportMissing || std::wstring(library) != L"advapi32.dll" || std::string(name) != "RegDeleteTreeA") {
    error = 127;
    return nullptr;
  }
  return reinterpret_cast<void*>(&fake::FakeRegDeleteTree);
}

std::uint32_t LastSystemError() { return fake::Get().lastError; }

void Exit(int code) { throw fake::Ended{code, {}, {}}; }

void ReportAndExit(const wchar_t* title, const wchar_t* text, int code) { throw fake::Ended{code, title, text}; }

}  // namespace rt::platform
