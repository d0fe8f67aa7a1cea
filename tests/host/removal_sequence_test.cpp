// The removal sequence against the fake system: what is touched, in which
// order, where it stops, and what it refuses to be led to.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "removal_window/form1.h"
#include "removal_window/project.h"

namespace {

const std::wstring kFolder = L"C:\\Program Files\\Orvandel";

// The tests' own list (tests/targets.txt), apart from Form1's on purpose: the
// runs below seed Form1's targets and expect these, so either changed alone fails.
std::vector<std::wstring> Listed(const std::string& kind, const std::wstring& before = L"") {
  std::ifstream in(TARGETS_FILE);
  std::vector<std::wstring> listed;
  for (std::string word, rest; in >> word && std::getline(in, rest);) {
    if (word == kind) {
      listed.push_back(before + std::wstring(rest.begin() + 1, rest.end()));
    }
  }
  return listed;
}

const std::vector<std::wstring> kNames = Listed("file", L"\\");

// The machine's copies as the fake names them, each after its `command` subkey.
const std::vector<std::wstring> kKeyDeletions = [] {
  std::vector<std::wstring> log;
  for (std::wstring key : Listed("key")) {
    key.replace(0, key.find(L'\\'), key.starts_with(L"HKEY_CLASSES_ROOT") ? LR"(HKLM\Software\Classes)" : L"HKLM");
    log.insert(log.end(), {L"key " + key + L"\\command", L"key " + key});
  }
  return log;
}();

std::vector<std::wstring> FileDeletions(const std::wstring& folder, std::size_t count = kNames.size()) {
  std::vector<std::wstring> log;
  for (std::size_t i = 0; i < count; ++i) {
    log.push_back(L"file " + folder + kNames[i]);
  }
  return log;
}

std::vector<std::wstring> Concat(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The three keys, each with a `command` subkey, and the eight files, as a
// real installation has them.
void SeedInstallation(const std::wstring& folder) {
  for (const auto& key : Form1::kRegistryTargets) {
    const std::wstring path =
        (key.root == rt::RootKey::MachineClasses ? LR"(HKLM\Software\Classes\)" : LR"(HKLM\)") + std::wstring(key.path);
    if (key.root != rt::RootKey::UserClasses) {
      fake::Get().keys.insert({path, path + LR"(\command)"});
    }
  }
  for (const auto name : Form1::kFileTargets) {
    fake::Get().files.insert(folder + std::wstring(name));
  }
}

class RemovalSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    SeedInstallation(kFolder);
  }
  // After the question; retries of one file show as one line.
  static std::vector<std::wstring> LogAfterQuestion() {
    const auto& log = fake::Get().log;
    std::vector<std::wstring> lines;
    for (auto line = log.begin() + 1; line != log.end(); ++line) {
      if (lines.empty() || lines.back() != *line) {
        lines.push_back(*line);
      }
    }
    return lines;
  }
};

TEST_F(RemovalSequence, AsksWithTheConfirmationTextsAndYesAsDefault) {
  fake::Get().answer = 7;
  fake::Run();
  ASSERT_FALSE(fake::Get().log.empty());
  EXPECT_EQ(fake::Get().log.front(),
            L"ask 36 确认御载 "
            L"你确定要御载本软件吗？如果选择是的话，本软件所记录的资料也会被删除，想先做好备份的话，请选否。");
}

TEST_F(RemovalSequence, YesRemovesKeysThenFilesInOrderAndReturns) {
  EXPECT_EQ(fake::Run(), -1);
  EXPECT_EQ(LogAfterQuestion(), Concat(kKeyDeletions, FileDeletions(kFolder)));
  EXPECT_TRUE(fake::Get().files.empty());
  EXPECT_TRUE(fake::Get().keys.empty());
  EXPECT_EQ(fake::Get().heldFolder, kFolder);
  // A normal run never waits.
  EXPECT_EQ(fake::Get().pauses, 0);
}

TEST_F(RemovalSequence, AnyAnswerButYesEndsWithCodeOneTouchingNothing) {
  for (const int answer : {7, 2, 1, 0, -1}) {
    SCOPED_TRACE(answer);
    SetUp();
    fake::Get().answer = answer;
    EXPECT_EQ(fake::Run(), 1);
    EXPECT_EQ(fake::Get().log.size(), 1U);
    EXPECT_EQ(fake::Get().files.size(), kNames.size());
  }
}

// Everything already gone counts as removed: each file is still tried.
TEST_F(RemovalSequence, SecondRunAfterACompleteOneEndsNormally) {
  ASSERT_EQ(fake::Run(), -1);
  fake::Get().log.clear();
  EXPECT_EQ(fake::Run(), -1);
  EXPECT_EQ(LogAfterQuestion(), FileDeletions(kFolder));
}

TEST_F(RemovalSequence, PerUserAndMachineCopiesOfAClassKeyBothGoTheUsersFirst) {
  fake::Get().keys.insert(LR"(HKCU\Software\Classes\x)");
  for (const auto& line : kKeyDeletions) {
    if (line.starts_with(LR"(key HKLM\Software\Classes\)")) {
      fake::Get().keys.insert(L"HKCU" + line.substr(8));  // the user's copy
    }
  }
  EXPECT_EQ(fake::Run(), -1);
  EXPECT_EQ(fake::Get().keys, (std::set<std::wstring>{L"HKCU\\Software\\Classes\\x"}));
  // Every user's copy goes before any of the machine's.
  const auto log = LogAfterQuestion();
  const auto machine = std::find(log.begin(), log.end(), kKeyDeletions[0]);
  ASSERT_NE(machine, log.end());
  EXPECT_EQ(std::count_if(machine, log.end(), [](const auto& line) { return line.starts_with(L"key HKCU"); }), 0);
}

TEST_F(RemovalSequence, KeyPathReachesTheRegistryAsAnsiAndLastErrorIsKept) {
  fake::Get().keys.clear();
  fake::Run();
  // The last declared call, the last look for HKLM\password, got the path as
  // ANSI bytes, and its last-error value is what LastDllError reads.
  EXPECT_EQ(fake::Get().lastAnsiPath, "password");
  EXPECT_EQ(rt::LastDllError(), fake::Get().lastError);
  EXPECT_NE(fake::Get().lastError, 0U);
}

TEST_F(RemovalSequence, AKeyThatCannotBeRemovedStopsBeforeAnyFile) {
  // Only a user who could have more rights is told to get them.
  for (const bool elevated : {false, true}) {
    SCOPED_TRACE(elevated);
    SetUp();
    fake::Get().elevated = elevated;
    fake::Get().stuckKeys[LR"(HKLM\Software\Classes\Folder\shell\Orvandel\command)"] =
        static_cast<std::int32_t>(0xC0000022U);
    fake::Ended ended{};
    EXPECT_EQ(fake::Run(&ended), 70);
    EXPECT_EQ(ended.title, L"软件卸载工具");
    // Named by its own full path.
    const std::wstring report =
        L"HKEY_LOCAL_MACHINE\\Software\\Classes\\Folder\\shell\\Orvandel\\command\n(系统错误 5)";
    EXPECT_EQ(ended.text.substr(ended.text.find(report) + report.size()),
              elevated ? L"" : L"\n\n删除此项需要管理员权限。请以管理员身份运行本工具。");
    EXPECT_EQ(LogAfterQuestion(), (std::vector<std::wstring>{kKeyDeletions[0], kKeyDeletions[1]}));
    EXPECT_EQ(fake::Get().files.size(), kNames.size());
    EXPECT_EQ(fake::Get().keys.count(L"HKLM\\password"), 1U);
  }
}

TEST_F(RemovalSequence, AKeyThatKeepsComingBackIsReportedNotLoopedOn) {
  // Back at once, in the walk: the files stay. Back once the files go,
  // after the walk: the last look finds it before any window.
  for (const bool afterTheWalk : {false, true}) {
    SCOPED_TRACE(afterTheWalk);
    SetUp();
    (afterTheWalk ? fake::Get().keysBack : fake::Get().regeneratingKeys).insert(L"HKLM\\password");
    fake::Ended ended{};
    EXPECT_EQ(fake::Run(&ended), 58);
    EXPECT_NE(ended.text.find(L"HKEY_LOCAL_MACHINE\\password\n(系统错误 183)\n\n它在删除后又出现了"),
              std::wstring::npos);
    EXPECT_EQ(fake::Get().files.size(), afterTheWalk ? 0U : kNames.size());
  }
}

TEST_F(RemovalSequence, ALoadedHiveIsReportedBeforeAnythingInItGoes) {
  // A hive's root, which the system lists; a key that cannot be deleted
  // though nothing is below it (a hive loaded inside the tree), also 300
  // levels down with names of 250 characters, named in full.
  std::wstring deep = L"HKLM\\password";
  for (int level = 0; level < 300; ++level) {
    deep += L"\\" + std::wstring(249, L'k') + std::to_wstring(level % 10);
  }
  for (const std::wstring& refused :
       {std::wstring(L"HKLM\\password"), std::wstring(L"HKLM\\password\\command"), deep}) {
    const bool listed = refused == L"HKLM\\password";
    SCOPED_TRACE(refused.substr(0, 40));
    SetUp();
    fake::Get().keys.insert(refused);
    fake::Get().stuckKeys[refused] = static_cast<std::int32_t>(0xC0000121U);
    if (listed) {
      fake::Get().hives.insert(LR"(\REGISTRY\MACHINE\password)");
    }
    fake::Ended ended{};
    EXPECT_EQ(fake::Run(&ended), 70);
    EXPECT_NE(ended.text.find(L"HKEY_LOCAL_MACHINE" + refused.substr(4) + L"\n(系统错误 5)"), std::wstring::npos);
    EXPECT_EQ(fake::Get().keys.count(listed ? L"HKLM\\password\\command" : refused), 1U);
    EXPECT_EQ(fake::Get().files.size(), kNames.size());
  }
}

TEST_F(RemovalSequence, RegistryLinksGoAsLinksAndWhatTheyNameStays) {
  const std::set<std::wstring> outside = {L"HKLM\\Software\\Outside", LR"(HKLM\Software\Outside\child)",
                                          LR"(HKLM\Software\Classes\*\shell\Bystander)"};
  // Below a target: to another key, to the shell key above it, to itself (a
  // loop), to nothing; then the target itself a link.
  fake::Get().keys.insert(outside.begin(), outside.end());
  fake::Get().links = {{LR"(HKLM\Software\Classes\*\shell\Orvandel\x)", L"HKLM\\Software\\Outside"},
                       {L"HKLM\\password\\shell", LR"(HKLM\Software\Classes\*\shell)"},
                       {L"HKLM\\password\\loop", L"HKLM\\password"},
                       {LR"(HKLM\password\command\dangling)", L"HKLM\\Nothing\\Here"}};
  EXPECT_EQ(fake::Run(), -1);
  EXPECT_EQ(fake::Get().keys, outside);
  EXPECT_TRUE(fake::Get().links.empty());
  EXPECT_FALSE(fake::Get().followedLink);

  SetUp();
  fake::Get().keys.erase(L"HKLM\\password");
  fake::Get().keys.erase(L"HKLM\\password\\command");
  fake::Get().keys.insert(outside.begin(), outside.end());
  fake::Get().links = {{L"HKLM\\password", L"HKLM\\Software\\Outside"}};
  EXPECT_EQ(fake::Run(), -1);
  EXPECT_EQ(fake::Get().keys, outside);
  EXPECT_TRUE(fake::Get().links.empty());
}

TEST_F(RemovalSequence, ALargeTreeGoesWithEachKeyOpenedOnce) {
  // 50 levels of 100 keys below a target, with names the ANSI code page cannot carry.
  std::wstring level = L"HKLM\\password";
  for (int depth = 0; depth < 50; ++depth, level += L"\\键0") {
    for (int key = 0; key < 100; ++key) {
      fake::Get().keys.insert(level + L"\\键" + std::to_wstring(key));
    }
  }
  const int keys = static_cast<int>(fake::Get().keys.size());
  EXPECT_EQ(fake::Run(), -1);
  EXPECT_TRUE(fake::Get().keys.empty());
  // Linear: about one open a key, never one a level for each.
  EXPECT_LE(fake::Get().keyOpens, keys + 20);

  // As deep as the registry lets a tree be, it goes; deeper, or refilled as
  // fast as it goes (0 levels: past the walk's step cap), it is told as a
  // tree the walk could not finish (1460), not as a key that came back, and
  // no file is touched.
  for (const int levels : {512, 513, 0}) {
    SCOPED_TRACE(levels);
    SetUp();
    std::wstring deep = L"HKLM\\password";
    for (int depth = 0; depth < levels; ++depth) {
      deep += L"\\k";
    }
    fake::Get().keys.insert(deep);
    fake::Get().growingKeys[L"HKLM\\password\\command"] = levels == 0 ? 1 << 30 : 0;
    fake::Ended ended{};
    EXPECT_EQ(fake::Run(&ended), levels == 512 ? -1 : 75);
    if (levels != 512) {
      EXPECT_NE(ended.text.find(L"HKEY_LOCAL_MACHINE\\password\n(系统错误 1460)"), std::wstring::npos) << ended.text;
      EXPECT_EQ(fake::Get().files.size(), kNames.size());
    }
  }
}

TEST_F(RemovalSequence, ASubkeyNameThatIsNotOneNameIsRefusedUnopened) {
  // Opened, a path would be walked, through any link on the way.
  fake::Get().shownAs[L"HKLM\\password\\command"] = L"shell\\command";
  fake::Ended ended{};
  EXPECT_EQ(fake::Run(&ended), 75);
  EXPECT_NE(ended.text.find(L"HKEY_LOCAL_MACHINE\\password\\shell\\command\n(系统错误 681)"), std::wstring::npos);
  EXPECT_FALSE(fake::Get().openedByPath);
  EXPECT_EQ(fake::Get().keys.count(L"HKLM\\password\\command"), 1U);
  EXPECT_EQ(fake::Get().files.size(), kNames.size());
}

TEST_F(RemovalSequence, AKeyNameHoldingANulGoesLikeAnyOther) {
  // Any program can make one; cut at the NUL it would be another key, or none.
  const std::wstring nul(L"command\0x", 9);
  fake::Get().keys.insert({L"HKLM\\password\\" + nul, L"HKLM\\password\\" + nul + L"\\below",
                           LR"(HKLM\Software\Classes\*\shell\Orvandel\)" + nul});
  EXPECT_EQ(fake::Run(), -1);
  EXPECT_TRUE(fake::Get().keys.empty());
}

TEST_F(RemovalSequence, AKeyPathThatDoesNotConvertStopsTheRunUnopened) {
  // An empty path would name the hive itself.
  fake::Get().ansiError = 123;
  fake::Ended ended{};
  EXPECT_EQ(fake::Run(&ended), 52);
  EXPECT_NE(ended.text.find(L"HKEY_CURRENT_USER\\Software\\Classes\\*\\shell\\Orvandel\n(系统错误 123)"),
            std::wstring::npos);
  EXPECT_EQ(fake::Get().keyOpens, 0);
  EXPECT_EQ(fake::Get().keys.size(), 6U);
  EXPECT_EQ(fake::Get().files.size(), kNames.size());
}

TEST_F(RemovalSequence, ATreeChangedMeanwhileIsRemovedAsItIsFound) {
  const std::wstring command = L"HKLM\\password\\command";
  const std::wstring shell = LR"(HKLM\Software\Classes\*\shell\Orvandel\command)";
  // Keys deleted by another copy once opened, or given a subkey as they go;
  // a listed subkey deleted before it is opened, or its parent with it.
  for (int row = 0; row < 4; ++row) {
    SCOPED_TRACE(row);
    SetUp();
    fake::System& s = fake::Get();
    if (row == 0) {
      s.vanishingKeys = {command, shell};
    } else if (row == 1) {
      s.growingKeys = {{command, 1}, {shell, 1}};
    } else {
      s.goneAfterListing = {{command, row == 2 ? command : L"HKLM\\password"},
                            {shell, row == 2 ? shell : LR"(HKLM\Software\Classes\*\shell\Orvandel)"}};
    }
    EXPECT_EQ(fake::Run(), -1);
    EXPECT_TRUE(fake::Get().keys.empty());
  }
}

TEST_F(RemovalSequence, AFileThatCannotBeDeletedStopsThereWithItsNumber) {
  struct Row {
    std::uint32_t system;
    int number;
    bool oplocked = false;  // its mark waits on a holder who never lets go
  };
  // Running or read-only, in use (also under an oplock), locked, not ready, path gone, bad name,
  // anything else.
  for (const Row row : {Row{5, 70}, Row{32, 70}, Row{32, 70, true}, Row{33, 70}, Row{21, 71}, Row{3, 76}, Row{123, 52},
                        Row{1117, 75}}) {
    SCOPED_TRACE(row.system);
    SetUp();
    const std::wstring stuck = kFolder + L"\\Orvandel.exe";
    if (row.oplocked) {
      fake::Get().slowMarks[stuck] = ~0U;
    } else {
      fake::Get().stuckFiles[stuck] = row.system;
    }
    fake::Ended ended{};
    EXPECT_EQ(fake::Run(&ended), row.number);
    // Every retry for a file in use or refused (15 ms doubling to 960), or one deadline for a
    // mark, then the report.
    EXPECT_EQ(fake::Get().waited, row.oplocked ? 2000U : row.system == 5 || row.system == 32 ? 1905U : 0U);
    EXPECT_NE(ended.text.find(stuck + L"\n(系统错误 " + std::to_wstring(row.system) + L")"), std::wstring::npos);
    EXPECT_EQ(LogAfterQuestion(), Concat(kKeyDeletions, FileDeletions(kFolder, 5)));
    // Files 1 to 4 are gone; 5 to 8 stay.
    EXPECT_EQ(fake::Get().files.size(), 4U);
    EXPECT_EQ(fake::Get().files.count(kFolder + L"\\TIMBRAL.txt"), 1U);
  }
}

TEST_F(RemovalSequence, AFileInUseForAMomentIsRemovedWithNoReport) {
  // A virus scanner's look: refused three times, then free.
  fake::Get().busy[kFolder + L"\\Orvandel.exe"] = 3;
  EXPECT_EQ(fake::Run(), -1);
  EXPECT_TRUE(fake::Get().files.empty());
}

// The advice below the report, chosen by what the system shows after the
// failure: who uses the file, whether it is read-only, or nothing known.
TEST_F(RemovalSequence, AReportAdvisesByCause) {
  const std::wstring rerun = L"请将其关闭，然后再次运行本工具，即可完成卸载。";
  const std::wstring file = kFolder + L"\\Orvandel.exe";
  struct Row {
    const char* what;
    std::uint32_t system;
    bool readOnly;
    std::vector<std::pair<std::wstring, std::uint32_t>> users;
    std::wstring advice;  // empty: the report ends with the system code
    bool elevated = false;
  };
  const std::vector<Row> rows = {
      {"running", 5, false, {{L"Orvandel.exe", 1234}}, L"Orvandel.exe（进程 1234）正在使用此文件。" + rerun},
      {"several, the fourth not named",
       32,
       false,
       {{L"a.exe", 1}, {L"b.exe", 22}, {L"c.exe", 333}, {L"d.exe", 4}},
       L"a.exe（进程 1）、b.exe（进程 22）、c.exe（进程 333）正在使用此文件。" + rerun},
      {"held open, nobody named", 32, false, {}, L"此文件正被其他程序使用。" + rerun},
      {"read-only", 5, true, {}, L"此文件为只读文件。请取消其只读属性，然后再次运行本工具。"},
      {"read-only and held open: in use is the cause", 32, true, {}, L"此文件正被其他程序使用。" + rerun},
      {"refused, nobody uses it, not elevated", 5, false, {}, L"删除此项需要管理员权限。请以管理员身份运行本工具。"},
      {"refused, nobody uses it, already elevated: cause unknown", 5, false, {}, L"", true},
      {"not ready: not a matter of programs", 21, true, {{L"x.exe", 9}}, L""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SetUp();
    // A read-only file opens; its deletion is refused.
    if (row.system != 5 || !row.readOnly) {
      fake::Get().stuckFiles[file] = row.system;
    }
    if (row.readOnly) {
      fake::Get().readOnly.insert(file);
    }
    fake::Get().users[file] = row.users;
    fake::Get().elevated = row.elevated;
    fake::Ended ended{};
    EXPECT_EQ(fake::Run(&ended), row.system == 21 ? 71 : 70);
    const std::wstring report = L"(系统错误 " + std::to_wstring(row.system) + L")";
    EXPECT_EQ(ended.text.substr(ended.text.find(report) + report.size()),
              row.advice.empty() ? L"" : L"\n\n" + row.advice);
  }
}

TEST_F(RemovalSequence, ANameThatLeadsOutOfTheFolderIsRefusedAndNothingThereIsTouched) {
  struct Row {
    const char* what;
    std::vector<std::wstring> leadingOut;  // targets that lead to D:\Other\<name>
    std::size_t stopsAt;                   // target number of the refusal
  };
  const std::wstring other = L"D:\\Other";
  for (const Row& row :
       {Row{"a target links out", {L"\\PRELDA32.OCX"}, 3}, Row{"the folder was replaced by a link", kNames, 1}}) {
    SCOPED_TRACE(row.what);
    SetUp();
    for (const auto& name : row.leadingOut) {
      fake::Get().finalPaths[kFolder + name] = other + name;
      fake::Get().files.insert(other + name);
    }
    fake::Ended ended{};
    EXPECT_EQ(fake::Run(&ended), 75);
    const std::wstring refused = kFolder + kNames[row.stopsAt - 1];
    // What happened, and what to do about it: a rerun stops at the same name.
    const std::wstring report = L"路径/文件访问错误\n\n" + refused +
                                L"\n(系统错误 681)\n\n此名称指向别处，那里的任何内容都未被改动。"
                                L"请手动检查该链接或文件夹，必要时将其删除，然后再次运行本工具。";
    EXPECT_TRUE(ended.text.ends_with(report)) << ended.text.size();
    for (const auto& name : row.leadingOut) {
      EXPECT_EQ(fake::Get().files.count(other + name), 1U);
    }
    // Earlier targets are gone; the refused one and later ones stay.
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      EXPECT_EQ(fake::Get().files.count(kFolder + kNames[i]), i + 1 < row.stopsAt ? 0U : 1U) << i;
    }
  }

  // A link to another file of the folder: the link is not what goes.
  SetUp();
  fake::Get().files.insert(kFolder + L"\\readme.txt");
  fake::Get().finalPaths[kFolder + L"\\Kembrasil.ocx"] = kFolder + L"\\readme.txt";
  EXPECT_EQ(fake::Run(), 75);
  EXPECT_EQ(fake::Get().files.count(kFolder + L"\\readme.txt"), 1U);
}

TEST_F(RemovalSequence, AFileStillThereAfterItsDeletionIsNotReportedRemoved) {
  const std::wstring target = kFolder + L"\\tolvane.dat";
  struct Outcome {
    int code;
    std::size_t left;  // files the run leaves
  };
  struct Row {
    const char* what;
    int lingering;    // looks it survives its deletion by, the same file
    int returning;    // looks after its deletion until another file is there; -1: never
    bool pending;     // already being deleted
    bool renumbered;  // the file put back gets the number of the one that went
    bool unstood;     // its deletion accepted, it stays, and nothing holds it
    Outcome windows;  // Windows' rule: a name that opens has not gone
    Outcome wine;     // where the system keeps a deleted name, the same file while held
  };
  for (const Row& row : {Row{"held a moment longer by another handle", 100, -1, false, false, false, {58, 5}, {-1, 1}},
                         Row{"already being deleted", 0, -1, true, false, false, {-1, 1}, {-1, 1}},
                         Row{"another file put back at once", 0, 0, false, false, false, {58, 5}, {58, 5}},
                         Row{"another file back before the window", 0, 1, false, false, false, {58, 1}, {58, 1}},
                         Row{"another file back with the same number", 0, 1, false, true, false, {58, 1}, {58, 1}},
                         Row{"a deletion that did not stand", 0, -1, false, false, true, {58, 5}, {58, 5}}}) {
    for (const bool wine : {false, true}) {
      SCOPED_TRACE(testing::Message() << row.what << (wine ? ", Wine's rule" : ", Windows' rule"));
      SetUp();
      fake::Get().keepsDeletedNames = wine;
      fake::Get().lingering[target] = row.lingering;
      if (row.renumbered) {
        fake::Get().renumbered.insert(target);
      }
      if (row.unstood) {
        fake::Get().unstood.insert(target);
      }
      if (row.returning >= 0) {
        fake::Get().returning[target] = row.returning;
      }
      if (row.pending) {
        fake::Get().deletePending.insert(target);
      }
      const Outcome expected = wine ? row.wine : row.windows;
      fake::Ended ended{};
      EXPECT_EQ(fake::Run(&ended), expected.code);
      EXPECT_EQ(fake::Get().files.size(), expected.left);
      EXPECT_EQ(fake::Get().files.count(target), 1U);
      if (expected.code != -1) {
        EXPECT_NE(ended.text.find(target + L"\n(系统错误 183)\n\n它在删除后又出现了"), std::wstring::npos);
      }
    }
  }
}

TEST_F(RemovalSequence, AnOwnFolderThatCannotBeOpenedIsARunTimeError) {
  // Before anything goes; or, the files gone, where its mirror would lie
  // cannot be asked (so whether one is left is not known).
  for (const bool mirror : {false, true}) {
    SetUp();
    (mirror ? fake::Get().localAppDataError : fake::Get().folderErrors[kFolder]) = mirror ? 5 : 3;
    fake::Ended ended{};
    EXPECT_EQ(fake::Run(&ended), mirror ? 70 : 76);
    EXPECT_NE(ended.text.find(kFolder + (mirror ? L"\n(系统错误 5)" : L"\n(系统错误 3)")), std::wstring::npos);
    EXPECT_EQ(fake::Get().log.empty(), !mirror);
  }
}

TEST_F(RemovalSequence, PathIsTheNameAppendedToTheFolderAsItIs) {
  struct Row {
    std::wstring executable;
    std::wstring folder;
  };
  for (const Row& row : {Row{L"C:\\uninstall.exe", L"C:\\"},  // drive root keeps its separator: doubled
                         Row{L"D:\\软件 目录\\uninstall.exe", L"D:\\软件 目录"},
                         Row{L"\\\\?\\C:\\long\\uninstall.exe", L"\\\\?\\C:\\long"}}) {
    SCOPED_TRACE(row.executable);
    fake::Reset();
    SeedInstallation(row.folder);
    fake::Get().executable = row.executable;
    EXPECT_EQ(fake::Run(), -1);
    EXPECT_EQ(LogAfterQuestion(), Concat(kKeyDeletions, FileDeletions(row.folder)));
    EXPECT_TRUE(fake::Get().files.empty());
  }
}

// Whose per-user copies and mirror go, in which order, and how a report
// names a copy; and the mirror found by where the folder really lies.
const std::wstring kTheirs = L"S-1-5-21-7-7-7-1001";
const std::wstring kCloud = L"S-1-12-1-7-7-7-7";
const std::wstring kBelow = L"\\VirtualStore\\Program Files\\Orvandel\\tolvane.dat";
const std::wstring kOwnMirror = L"C:\\Users\\admin\\AppData\\Local" + kBelow;
const std::wstring kTheirMirror = L"C:\\Users\\user\\AppData\\Local" + kBelow;
const std::wstring kCloudMirror = L"D:\\Profiles\\cloud\\AppData\\Local" + kBelow;
const std::wstring kOwnKey = L"HKCU\\Software\\Classes\\*\\shell\\Orvandel";
const std::wstring kTheirKey = L"HKU\\" + kTheirs + L"_Classes\\*\\shell\\Orvandel";
const std::wstring kCloudKey = L"HKU\\" + kCloud + L"_Classes\\Folder\\shell\\Orvandel";
// Their own hive, beside their classes: not a classes hive, so never touched,
// where its classes sit nor where a walk of every hive would look.
const std::wstring kTheirSoftwareKey = L"HKU\\" + kTheirs + L"\\Software\\Classes\\*\\shell\\Orvandel";
const std::wstring kTheirHiveKey = L"HKU\\" + kTheirs + L"\\*\\shell\\Orvandel";
// What no mirror walk may reach: a profile stored without a separator after
// its drive (relative to that drive's current folder, no place at all), and a
// VirtualStore that holds only another program's mirror.
const std::wstring kDriveRelative = L"C:Users\\relative\\AppData\\Local" + kBelow;
const std::wstring kOtherProgram = L"C:\\Users\\other\\AppData\\Local\\VirtualStore\\Program Files\\Other\\x.dat";

// The copies of both class keys in the tool's own, two loaded users' and the
// machine's classes, and the files: the folder's and three profiles'
// mirrors, one profile stored with a variable and one whose variable the
// system does not know. The code the run ended with, -1 for the window.
int RunIn(const std::wstring& folder, fake::Ended* ended = nullptr) {
  fake::System& s = fake::Get();
  // After the tool's own account's (the fake's one profile), and any a row listed first.
  s.profiles.insert(s.profiles.end(), {L"%SystemDrive%\\Users\\user", L"%NoSuchVariable%\\Users\\gone",
                                       L"D:\\Profiles\\cloud\\", L"C:Users\\relative", L"C:\\Users\\other"});
  for (const std::wstring& base :
       std::vector<std::wstring>{L"HKCU\\Software\\Classes\\", L"HKLM\\Software\\Classes\\",
                                 L"HKU\\" + kTheirs + L"_Classes\\", L"HKU\\" + kCloud + L"_Classes\\"}) {
    s.keys.insert({base + L"*\\shell\\Orvandel", base + L"Folder\\shell\\Orvandel"});
  }
  s.keys.insert({kTheirSoftwareKey, kTheirHiveKey});
  s.files.insert({folder + L"\\tolvane.dat", kOwnMirror, kTheirMirror, kCloudMirror, kDriveRelative, kOtherProgram});
  return fake::Run(ended);
}

TEST(WhoseCopies, EveryLoadedUserAndProfileWhenRunAsAdministratorOtherwiseTheToolsOwn) {
  for (const bool elevated : {false, true}) {
    SCOPED_TRACE(elevated ? "elevated" : "not elevated");
    fake::Reset();
    fake::Get().elevated = elevated;
    // A user who logs on meanwhile: their hive, loaded after the removal's
    // walk, is not looked at by the last look either.
    const std::wstring later = L"HKU\\S-1-5-21-9-9-9-1009_Classes\\*\\shell\\Orvandel";
    fake::Get().keysBack.insert(later);
    EXPECT_EQ(RunIn(L"C:\\Program Files\\Orvandel"), -1);
    EXPECT_EQ(fake::Get().keys.count(later), 1U);
    EXPECT_EQ(fake::Get().keys.count(kTheirKey) + fake::Get().keys.count(kCloudKey), elevated ? 0U : 2U);
    EXPECT_EQ(fake::Get().keys.count(kOwnKey), 0U);
    EXPECT_EQ(fake::Get().keys.count(kTheirSoftwareKey) + fake::Get().keys.count(kTheirHiveKey), 2U);
    std::set<std::wstring> left = {kDriveRelative, kOtherProgram};
    if (!elevated) {
      left.insert({kTheirMirror, kCloudMirror});
    }
    EXPECT_EQ(fake::Get().files, left);
  }
}

// Run as administrator: what another user holds stays alone, noted, and
// everything else still goes; the tool's own targets stop the run, their
// report first and the noted copies after it. Each row plants its obstacle;
// `stays` is every seeded copy left, `named` what the report lists, in order.
TEST(WhoseCopies, AnotherUsersCopyStaysAloneReportedWhileTheRestGoes) {
  const std::wstring ownFile = L"C:\\Program Files\\Orvandel\\tolvane.dat";
  const std::wstring theirLocal = L"C:\\Users\\user\\AppData\\Local";
  const std::wstring theirFolder = theirLocal + L"\\VirtualStore\\Program Files\\Orvandel";
  const std::wstring cloudFolder = L"D:\\Profiles\\cloud\\AppData\\Local\\VirtualStore\\Program Files\\Orvandel";
  const std::wstring theirFolderKey = L"HKU\\" + kTheirs + L"_Classes\\Folder\\shell\\Orvandel";
  const std::wstring ownCloudKey = L"HKU\\" + kCloud + L"_Classes\\*\\shell\\Orvandel";
  const std::wstring machineKey = L"HKLM\\Software\\Classes\\*\\shell\\Orvandel";
  const std::wstring machineFolderKey = L"HKLM\\Software\\Classes\\Folder\\shell\\Orvandel";
  const std::wstring ownFolderKey = L"HKCU\\Software\\Classes\\Folder\\shell\\Orvandel";
  const std::set<std::wstring> seeded = {kOwnKey,     ownFolderKey, kTheirKey,    theirFolderKey,
                                         ownCloudKey, kCloudKey,    machineKey,   machineFolderKey,
                                         ownFile,     kOwnMirror,   kTheirMirror, kCloudMirror};
  const std::wstring theirs = L"HKEY_USERS\\" + kTheirs + L"_Classes\\";
  const std::wstring cloud = L"HKEY_USERS\\" + kCloud + L"_Classes\\";
  const std::wstring refused = L"\n(系统错误 5)";
  const std::wstring outside = L"\n(系统错误 681)\n\n此名称指向别处";
  struct Row {
    const char* what;
    std::function<void(fake::System&)> plant;
    std::set<std::wstring> stays;
    std::vector<std::wstring> named;
    int code;
  };
  const auto refuseKey = [](const std::wstring& key) {
    return [key](fake::System& s) { s.stuckKeys[key] = static_cast<std::int32_t>(0xC0000022U); };
  };
  const auto failFile = [](const std::wstring& file, std::uint32_t error) {
    return [file, error](fake::System& s) { s.stuckFiles[file] = error; };
  };
  const auto failFolder = [](const std::wstring& folder, std::uint32_t error) {
    return [folder, error](fake::System& s) { s.folderErrors[folder] = error; };
  };
  const std::vector<Row> rows = {
      {"their key refused", refuseKey(kTheirKey), {kTheirKey}, {theirs + L"*\\shell\\Orvandel" + refused}, 70},
      {"a folder in place of a file in their mirror, held by their program (5)",
       failFile(kTheirMirror, 5),
       {kTheirMirror},
       {kTheirMirror + refused, L"Orvandel.exe（进程 4242）"},
       70},
      {"their file in use, or under an oplock the open would have waited on (32)",
       failFile(kCloudMirror, 32),
       {kCloudMirror},
       {kCloudMirror + L"\n(系统错误 32)\n\n此文件正被其他程序使用"},
       70},
      {"their file under an oplock they never give up",
       [](fake::System& s) { s.slowMarks[kCloudMirror] = ~0U; },
       {kCloudMirror},
       {kCloudMirror + L"\n(系统错误 32)\n\n此文件正被其他程序使用"},
       70},
      // One deadline for all of a user's waiting; the tool's own files keep their retries.
      {"every name of theirs in use or under an oplock, the tool's own slow to let go",
       [&](fake::System& s) {
         for (std::size_t i = 0; i < kNames.size(); ++i) {
           s.files.insert({kFolder + kNames[i], theirFolder + kNames[i]});
           if (i % 2 == 0) {
             s.stuckFiles[theirFolder + kNames[i]] = 32;
           } else {
             s.slowMarks[theirFolder + kNames[i]] = ~0U;
           }
         }
         s.busy[kFolder + kNames[4]] = 7;
         s.slowMarks[kFolder + kNames[4]] = 500;
       },
       {kTheirMirror},
       {theirFolder + kNames[0] + L"\n(系统错误 32)", theirFolder + kNames[1] + L"\n(系统错误 32)",
        theirFolder + kNames[2] + L"\n(系统错误 32)", theirFolder + kNames[3] + L"\n(系统错误 32)", L"……另有 4 项。"},
       70},
      {"a file in place of their mirror folder",
       failFolder(theirFolder, 267),
       {kTheirMirror},
       {theirFolder + L"\n(系统错误 267)"},
       75},
      {"a link on their way",
       [&](fake::System& s) { s.linkFolders.insert(theirLocal); },
       {kTheirMirror},
       {theirFolder + outside},
       75},
      {"a link the system resolved on their way",
       [&](fake::System& s) { s.namedAs[theirLocal] = L"E:\\Local"; },
       {kTheirMirror},
       {theirFolder + outside},
       75},
      {"a link the system resolved to a longer name sharing their folder's",
       [&](fake::System& s) { s.namedAs[theirFolder] = theirFolder + L" (2)"; },
       {kTheirMirror},
       {theirFolder + outside},
       75},
      {"their folder on another machine",
       [](fake::System& s) { s.namedAs[L"D:\\Profiles\\cloud"] = L"\\\\host\\share\\cloud"; },
       {kCloudMirror},
       {cloudFolder + outside},
       75},
      {"their drive not ready: no mirror", failFolder(L"D:\\Profiles\\cloud", 21), {kCloudMirror}, {}, -1},
      {"their profile a disk of its own, mounted at their profile's folder",
       [](fake::System& s) { s.namedAs[L"C:\\Users\\user"] = L"E:\\"; },
       {},
       {},
       -1},
      {"the profile list unreadable",
       [](fake::System& s) { s.profileListError = 5; },
       {kOwnMirror, kTheirMirror, kCloudMirror},
       {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList" + refused},
       70},
      // Expanded longer than stored, first in the list: the entries after it are read as listed.
      {"a service's profile stored with a variable, listed first",
       [](fake::System& s) { s.profiles.insert(s.profiles.begin(), L"%windir%\\ServiceProfiles\\LocalService"); },
       {},
       {},
       -1},
      {"their profile's variables not expanded",
       [](fake::System& s) { s.expandErrors[L"%SystemDrive%\\Users\\user"] = 122; },
       {kTheirMirror},
       {L"%SystemDrive%\\Users\\user\n(系统错误 122)"},
       75},
      {"their drive gone: no mirror", failFolder(L"D:\\Profiles\\cloud", 15), {kCloudMirror}, {}, -1},
      {"their key a registry link on the way",
       [&](fake::System& s) {
         s.links[L"HKU\\" + kTheirs + L"_Classes\\*\\shell"] = L"HKLM\\Software\\Other\\shell";
         s.keys.insert(L"HKLM\\Software\\Other\\shell\\Orvandel");
       },
       {kTheirKey, L"HKLM\\Software\\Other\\shell\\Orvandel"},
       {theirs + L"*\\shell\\Orvandel" + outside},
       75},
      // The tool's own copies stop the run where they fail; what was noted follows. Every
      // user's copies go before the machine's.
      {"the machine's copy refused after theirs",
       [&](fake::System& s) {
         refuseKey(kTheirKey)(s);
         refuseKey(machineKey)(s);
       },
       {kTheirKey, machineKey, machineFolderKey, ownFile, kOwnMirror, kTheirMirror, kCloudMirror},
       {L"HKEY_LOCAL_MACHINE\\Software\\Classes\\*\\shell\\Orvandel" + refused,
        theirs + L"*\\shell\\Orvandel" + refused},
       70},
      {"the tool's own file back at the last look, every mirror held by then",
       [&](fake::System& s) { s.returning[ownFile] = 1; },
       {ownFile},
       {ownFile + L"\n(系统错误 183)"},
       58},
      {"the tool's own account's copy refused",
       refuseKey(ownFolderKey),
       {ownFolderKey, theirFolderKey, kCloudKey, machineKey, machineFolderKey, ownFile, kOwnMirror, kTheirMirror,
        kCloudMirror},
       {L"HKEY_CURRENT_USER\\Software\\Classes\\Folder\\shell\\Orvandel" + refused},
       70},
      // Most users' hives have no Folder\shell at all: absent, not a failure.
      {"a hive without the Folder key",
       [](fake::System& s) { s.keys.insert(L"HKU\\S-1-5-21-8-8-8-1008_Classes\\*\\shell\\Orvandel"); },
       {},
       {},
       -1},
      {"exactly as many as a report lists",
       [&](fake::System& s) {
         for (const auto& key : {kTheirKey, ownCloudKey, theirFolderKey, kCloudKey}) {
           refuseKey(key)(s);
         }
       },
       {kTheirKey, ownCloudKey, theirFolderKey, kCloudKey},
       {cloud + L"*", theirs + L"*", cloud + L"Folder", theirs + L"Folder"},
       70},
      {"more than a report lists",
       [&](fake::System& s) {
         for (const auto& key : {kTheirKey, ownCloudKey, theirFolderKey, kCloudKey}) {
           refuseKey(key)(s);
         }
         failFile(kTheirMirror, 5)(s);
         failFile(kCloudMirror, 5)(s);
       },
       {kTheirKey, ownCloudKey, theirFolderKey, kCloudKey, kTheirMirror, kCloudMirror},
       {cloud + L"*", theirs + L"*", cloud + L"Folder", theirs + L"Folder", L"……另有 2 项。"},
       70},
      {"they log off during the walk: their hive unloaded, what it held theirs",
       [&](fake::System& s) {
         s.keys.insert(kTheirKey + L"\\command");
         s.goneAfterListing[kTheirKey + L"\\command"] = L"HKU\\" + kTheirs + L"_Classes";
       },
       {},
       {},
       -1},
      // Each costs the same, however many there are: no list copied or scanned whole per user.
      {"two thousand users logged on, each one's copy refused",
       [&](fake::System& s) {
         for (int n = 1000; n < 3000; ++n) {
           const std::wstring hive = L"HKU\\S-1-5-21-5-5-5-" + std::to_wstring(n) + L"_Classes\\";
           s.keys.insert({hive + L"*\\shell\\Other", hive + L"Folder\\shell\\Other", hive + L"*\\shell\\Orvandel"});
           refuseKey(hive + L"*\\shell\\Orvandel")(s);
         }
       },
       {},
       {L"HKEY_USERS\\S-1-5-21-5-5-5-1000_Classes\\*", L"HKEY_USERS\\S-1-5-21-5-5-5-1001_Classes\\*",
        L"HKEY_USERS\\S-1-5-21-5-5-5-1002_Classes\\*", L"HKEY_USERS\\S-1-5-21-5-5-5-1003_Classes\\*",
        L"……另有 1996 项。"},
       70},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fake::Reset();
    fake::Get().elevated = true;
    fake::Get().users[kTheirMirror] = {{L"Orvandel.exe", 4242}};
    row.plant(fake::Get());
    fake::Ended ended{};
    EXPECT_EQ(RunIn(L"C:\\Program Files\\Orvandel", &ended), row.code) << ended.text;
    std::set<std::wstring> left;
    for (const auto& copy : fake::Get().keys) {
      if (seeded.count(copy) != 0 || copy.rfind(L"HKLM\\Software\\Other", 0) == 0) {
        left.insert(copy);
      }
    }
    std::copy_if(fake::Get().files.begin(), fake::Get().files.end(), std::inserter(left, left.end()),
                 [&](const std::wstring& file) { return seeded.count(file) != 0; });
    EXPECT_EQ(left, row.stays);
    EXPECT_EQ(fake::Get().othersHeldAtEnd, 0U) << "a mirror still held when the box shows";
    // Linear in the users: two thousand take some 7 MB and 6,000 names compared; a list copied
    // or scanned whole per user, hundreds of MB or millions.
    EXPECT_LT(fake::Get().allocated, 16U << 20);
    EXPECT_LT(fake::Get().nameCompares, 20000U);
    for (const auto& [folder, waited] : fake::Get().waitedIn) {
      EXPECT_TRUE(folder == kFolder || waited <= 2000U) << folder << L": more than one deadline";
    }
    // Each listed once, in order, and nothing else.
    std::size_t at = 0;
    for (const auto& named : row.named) {
      at = ended.text.find(named, at);
      EXPECT_NE(at, std::wstring::npos) << named << L"\n" << ended.text;
    }
    // A count of those left out only where some are.
    EXPECT_EQ(ended.text.find(L"……另有") != std::wstring::npos,
              !row.named.empty() && row.named.back().starts_with(L"……另有"));
    std::size_t reports = 0;
    for (std::size_t found = ended.text.find(L"运行时错误"); found != std::wstring::npos;
         found = ended.text.find(L"运行时错误", found + 1)) {
      ++reports;
    }
    EXPECT_EQ(reports, std::count_if(row.named.begin(), row.named.end(),
                                     [](const std::wstring& named) {
                                       return named.find(L"系统错误") != std::wstring::npos ||
                                              named.rfind(L"HKEY_USERS", 0) == 0;
                                     }))
        << ended.text;
  }
}

TEST(WhoseCopies, TheMirrorIsFoundByWhereTheFolderLies) {
  struct Row {
    std::wstring folder;  // as the tool was started
    std::wstring named;   // as the system names it
    bool goes;
    std::uint32_t error = 0;  // what asking the name fails with instead
    int code = -1;            // the run ends with; -1: the window
  };
  const std::wstring programFiles = L"C:\\Program Files\\Orvandel";
  for (const Row& row : {Row{L"D:\\Orvandel", programFiles, true},  // a drive for a subfolder
                         Row{L"C:\\PROGRA~1\\Orvandel", programFiles, true},
                         Row{L"\\\\?\\C:\\Program Files\\Orvandel", programFiles, true},
                         Row{programFiles, L"D:\\Elsewhere\\Orvandel", false},
                         Row{L"C:\\Program FilesX\\Orvandel", L"C:\\Program FilesX\\Orvandel", false},
                         Row{L"C:\\WINDOWS\\Orvandel", L"C:\\WINDOWS\\Orvandel", true},
                         // No name with a drive: a RAM disk, a user-mode file system, a volume
                         // the mount manager does not know, past MAX_PATH; then out of memory.
                         Row{programFiles, programFiles, false, 1}, Row{programFiles, programFiles, false, 1005},
                         Row{programFiles, programFiles, false, 3}, Row{programFiles, programFiles, false, 234},
                         // A filter refusing normalised names: the name as opened is asked.
                         Row{programFiles, programFiles, true, 87}, Row{programFiles, programFiles, false, 8, 7},
                         Row{programFiles, programFiles, false, 14, 7}}) {
    SCOPED_TRACE(row.folder + L" " + std::to_wstring(row.error));
    fake::Reset();
    fake::Get().executable = row.folder + L"\\uninstall.exe";
    fake::Get().namedAs[row.folder] = row.named;
    fake::Get().finalNameError = row.error;
    const std::wstring mirrored =
        L"C:\\Users\\admin\\AppData\\Local\\VirtualStore" + row.named.substr(2) + L"\\tolvane.dat";
    fake::Get().files.insert(mirrored);
    EXPECT_EQ(RunIn(row.folder), row.code);
    EXPECT_EQ(fake::Get().files.count(mirrored), row.goes ? 0U : 1U);
  }
}

}  // namespace
