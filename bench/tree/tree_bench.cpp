// Times the tool's registry tree removal beside the system's RegDeleteTreeW on
// the same tree, run in the benchmark's Wine prefix.
//
//   tree_bench OUT.csv ROUNDS WARMUP
//
// The tree: HKLM\UninstallBenchTree, a chain 100 keys deep with 20 leaf
// subkeys at every level (2,100 keys), each key with a default value. Every
// round builds it afresh before each deletion, untimed, and times only the
// deletion; the two take turns at going first. After each deletion the key
// must be gone (a link left under its name counts as there), or the run fails.
// Output: one CSV line per deletion, and the medians and their ratio.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "registry/module1.h"
#include "removal_window/project.h"
#include "runtime/runtime.h"

namespace {

constexpr wchar_t kTreePath[] = L"UninstallBenchTree";
constexpr int kDepth = 100;
constexpr int kLeaves = 20;
constexpr int kKeys = kDepth * (kLeaves + 1);
// Sorts after every leaf, so the chain continues past each level's leaves.
constexpr wchar_t kChainName[] = L"next";

[[noreturn]] void Fail(const char* what, long status) {
  (void)std::fprintf(stderr, "tree_bench: %s (status %ld)\n", what, status);
  ExitProcess(1);
}

// Creates `name` below `parent`, new, with a default value; the caller closes it.
HKEY CreateKey(HKEY parent, const wchar_t* name) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  LSTATUS status =
      RegCreateKeyExW(parent, name, 0, nullptr, 0, KEY_CREATE_SUB_KEY | KEY_SET_VALUE, nullptr, &key, &disposition);
  if (status != ERROR_SUCCESS) {
    Fail("cannot create a key of the tree", status);
  }
  // A key left over from an earlier deletion would make the tree smaller than it seems.
  if (disposition != REG_CREATED_NEW_KEY) {
    Fail("a key of the tree was already there", 0);
  }
  static constexpr wchar_t kValue[] = L"bench";
  status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kValue), sizeof kValue);
  if (status != ERROR_SUCCESS) {
    Fail("cannot set a default value", status);
  }
  return key;
}

void BuildTree() {
  HKEY level = CreateKey(HKEY_LOCAL_MACHINE, kTreePath);
  int keys = 1;
  for (int depth = 1; depth <= kDepth; ++depth) {
    for (int leaf = 0; leaf < kLeaves; ++leaf) {
      wchar_t name[] = L"leaf00";
      name[4] = static_cast<wchar_t>(L'0' + leaf / 10);
      name[5] = static_cast<wchar_t>(L'0' + leaf % 10);
      RegCloseKey(CreateKey(level, name));
      ++keys;
    }
    if (depth < kDepth) {
      const HKEY next = CreateKey(level, kChainName);
      RegCloseKey(level);
      level = next;
      ++keys;
    }
  }
  RegCloseKey(level);
  if (keys != kKeys) {
    Fail("the tree has the wrong number of keys", keys);
  }
}

bool Present() {
  HKEY key = nullptr;
  const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTreePath, REG_OPTION_OPEN_LINK, KEY_READ, &key);
  if (status == ERROR_SUCCESS) {
    RegCloseKey(key);
    return true;
  }
  if (status != ERROR_FILE_NOT_FOUND) {
    Fail("cannot tell whether the tree is gone", status);
  }
  return false;
}

// The tool reports a failure in a message box and ends the process; here the
// box's text goes to the log and the run fails at once instead of waiting.
BOOL CALLBACK PrintChildText(HWND child, LPARAM) {
  wchar_t text[1024];
  if (GetWindowTextW(child, text, static_cast<int>(std::size(text))) > 0) {
    char utf8[4096];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr) > 0) {
      (void)std::fprintf(stderr, "  %s\n", utf8);
    }
  }
  return TRUE;
}

LRESULT CALLBACK ReportWatch(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    (void)std::fprintf(stderr, "tree_bench: the tool reported an error:\n");
    EnumChildWindows(reinterpret_cast<HWND>(wParam), PrintChildText, 0);
    ExitProcess(3);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
  return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

enum class Remover { Tool, System };

double TimedRemoval(Remover remover, LARGE_INTEGER frequency) {
  BuildTree();
  LARGE_INTEGER start{};
  LARGE_INTEGER end{};
  LSTATUS status = ERROR_SUCCESS;
  QueryPerformanceCounter(&start);
  if (remover == Remover::Tool) {
    Module1::RemoveRegKey(rt::RootKey::LocalMachine, kTreePath);
  } else {
    status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTreePath);
  }
  QueryPerformanceCounter(&end);
  if (status != ERROR_SUCCESS) {
    Fail("RegDeleteTreeW failed", status);
  }
  if (Present()) {
    Fail(remover == Remover::Tool ? "the tool left the tree" : "RegDeleteTreeW left the tree", 0);
  }
  return Milliseconds(start, end, frequency);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    (void)std::fprintf(stderr, "usage: tree_bench OUT.csv ROUNDS WARMUP\n");
    return 2;
  }
  const int rounds = _wtoi(argv[2]);
  const int warmup = _wtoi(argv[3]);
  if (rounds < 1 || warmup < 0) {
    (void)std::fprintf(stderr, "tree_bench: need at least one round\n");
    return 2;
  }
  FILE* out = _wfopen(argv[1], L"w");
  if (out == nullptr) {
    Fail("cannot write the CSV file", 0);
  }
  // The tool's reports speak its language, as they would in the tool.
  rt::UseProject(Project::kHeader);
  if (SetWindowsHookExW(WH_CBT, ReportWatch, nullptr, GetCurrentThreadId()) == nullptr) {
    Fail("cannot watch for the tool's reports", static_cast<long>(GetLastError()));
  }
  // Whatever an interrupted run left.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTreePath);
  if (Present()) {
    Fail("cannot clear a tree left by an earlier run", 0);
  }

  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  std::vector<double> tool;
  std::vector<double> system;
  if (std::fprintf(out, "round,warmup,name,keys,ms\n") < 0) {
    Fail("cannot write the CSV file", 0);
  }
  for (int round = 0; round < warmup + rounds; ++round) {
    const bool warm = round < warmup;
    // Each goes first in every other round, so neither always follows the other.
    for (int turn = 0; turn < 2; ++turn) {
      const Remover remover = (round + turn) % 2 == 0 ? Remover::Tool : Remover::System;
      const double ms = TimedRemoval(remover, frequency);
      if (std::fprintf(out, "%d,%d,%s,%d,%.3f\n", round - warmup + 1, warm ? 1 : 0,
                       remover == Remover::Tool ? "tool" : "RegDeleteTreeW", kKeys, ms) < 0) {
        Fail("cannot write the CSV file", 0);
      }
      if (!warm) {
        (remover == Remover::Tool ? tool : system).push_back(ms);
      }
    }
    (void)std::fprintf(stderr, ".");
  }
  (void)std::fprintf(stderr, "\n");
  if (std::fclose(out) != 0) {
    Fail("cannot write the CSV file", 0);
  }
  const double toolMedian = Median(tool);
  const double systemMedian = Median(system);
  std::printf("tree of %d keys, %d rounds: tool %.2f ms, RegDeleteTreeW %.2f ms (medians), ratio %.2f\n", kKeys, rounds,
              toolMedian, systemMedian, toolMedian / systemMedian);
  return 0;
}
