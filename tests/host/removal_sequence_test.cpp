// The removal sequence against the fake system: what is touched, in which
// order, and where it stops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "removal_window/form1.h"

namespace {

const std::wstring kFolder = L"C:\\Program Files\\Orvandel";

const std::vector<std::wstring> kKeyDeletions = {
    L"key HKCR\\*\\shell\\Orvandel",
    L"key HKCR\\Folder\\shell\\Orvandel",
    L"key HKLM\\password",
};

std::vector<std::wstring> FileDeletions(const std::wstring& folder, std::size_t count = 8) {
  const std::vector<std::wstring> names = {L"\\Kembrasil.ocx", L"\\vantorix.ocx", L"\\PRELDA32.OCX", L"\\tolvane.dat",
                                           L"\\Orvandel.exe",  L"\\marrowin.dat", L"\\sarnoth.txt",  L"\\TIMBRAL.txt"};
  std::vector<std::wstring> log;
  for (std::size_t i = 0; i < count; ++i) {
    log.push_back(L"file " + folder + names[i]);
  }
  return log;
}

// Key probes: each present key is deleted once and then found gone.
std::vector<std::wstring> KeyLog(int copiesEach) {
  std::vector<std::wstring> log;
  for (const auto& key : kKeyDeletions) {
    for (int i = 0; i <= copiesEach; ++i) {
      log.push_back(key);
    }
  }
  return log;
}

std::vector<std::wstring> Concat(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Runs the handler; the code the program ended with, or -1 if it returned.
int RunFormLoad(fake::Ended* ended = nullptr) {
  try {
    Form1::Form_Load();
  } catch (const fake::Ended& e) {
    if (ended != nullptr) {
      *ended = e;
    }
    return e.code;
  }
  return -1;
}

class RemovalSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::SeedInstallation(kFolder);
  }
  static std::vector<std::wstring> LogAfterQuestion() {
    const auto& log = fake::Get().log;
    return {log.begin() + 1, log.end()};
  }
};

TEST_F(RemovalSequence, AsksWithTheConfirmationTextsAndYesAsDefault) {
  fake::Get().answer = 7;
  RunFormLoad();
  ASSERT_FALSE(fake::Get().log.empty());
  EXPECT_EQ(fake::Get().log.front(),
            L"ask 36 确认御载 "
            L"你确定要御载本软件吗？如果选择是的话，本软件所记录的资料也会被删除，想先做好备份的话，请选否。");
}

TEST_F(RemovalSequence, YesRemovesKeysThenFilesInOrderAndReturns) {
  EXPECT_EQ(RunFormLoad(), -1);
  EXPECT_EQ(LogAfterQuestion(), Concat(KeyLog(1), FileDeletions(kFolder)));
  EXPECT_TRUE(fake::Get().files.empty());
  // The folder is read afresh for every file.
  EXPECT_EQ(fake::Get().executableReads, 8);
}

TEST_F(RemovalSequence, AnyAnswerButYesEndsWithCodeOneTouchingNothing) {
  for (const int answer : {7, 2, 1, 0, -1}) {
    SCOPED_TRACE(answer);
    SetUp();
    fake::Get().answer = answer;
    EXPECT_EQ(RunFormLoad(), 1);
    EXPECT_EQ(fake::Get().log.size(), 1U);
    EXPECT_EQ(fake::Get().files.size(), 8U);
  }
}

TEST_F(RemovalSequence, AbsentKeysAndFilesCountAsRemoved) {
  fake::Get().keyCopies.clear();
  fake::Get().files.erase(kFolder + L"\\Kembrasil.ocx");
  fake::Get().files.erase(kFolder + L"\\Orvandel.exe");
  EXPECT_EQ(RunFormLoad(), -1);
  EXPECT_EQ(LogAfterQuestion(), Concat(KeyLog(0), FileDeletions(kFolder)));
  EXPECT_TRUE(fake::Get().files.empty());
}

TEST_F(RemovalSequence, SecondRunAfterACompleteOneEndsNormally) {
  ASSERT_EQ(RunFormLoad(), -1);
  fake::Get().log.clear();
  EXPECT_EQ(RunFormLoad(), -1);
  EXPECT_EQ(LogAfterQuestion(), Concat(KeyLog(0), FileDeletions(kFolder)));
}

TEST_F(RemovalSequence, PerUserAndMachineCopiesOfAClassKeyBothGo) {
  fake::Get().keyCopies[R"(HKCR\*\shell\Orvandel)"] = 2;
  EXPECT_EQ(RunFormLoad(), -1);
  EXPECT_EQ(fake::Get().keyCopies["HKCR\\*\\shell\\Orvandel"], 0);
}

TEST_F(RemovalSequence, KeyPathReachesTheRegistryAsAnsiAndLastErrorIsKept) {
  fake::Get().keyCopies.clear();
  RunFormLoad();
  // The last probe of the last key set it; the fake numbers them by log line.
  EXPECT_EQ(rt::LastDllError(), 1000 + 1 + kKeyDeletions.size());
}

TEST_F(RemovalSequence, AKeyThatCannotBeRemovedStopsBeforeAnyFile) {
  fake::Get().stuckKeys[R"(HKCR\Folder\shell\Orvandel)"] = 5;
  fake::Ended ended{};
  EXPECT_EQ(RunFormLoad(&ended), 70);
  EXPECT_EQ(ended.title, L"软件卸载工具");
  EXPECT_NE(ended.text.find(L"HKEY_CLASSES_ROOT\\Folder\\shell\\Orvandel"), std::wstring::npos);
  EXPECT_EQ(LogAfterQuestion(), (std::vector<std::wstring>{kKeyDeletions[0], kKeyDeletions[0], kKeyDeletions[1]}));
  EXPECT_EQ(fake::Get().files.size(), 8U);
  EXPECT_EQ(fake::Get().keyCopies["HKLM\\password"], 1);
}

TEST_F(RemovalSequence, AKeyThatKeepsComingBackIsReportedNotLoopedOn) {
  fake::Get().regeneratingKeys.insert("HKLM\\password");
  fake::Ended ended{};
  EXPECT_EQ(RunFormLoad(&ended), 75);
  EXPECT_NE(ended.text.find(L"HKEY_LOCAL_MACHINE\\password"), std::wstring::npos);
  EXPECT_EQ(fake::Get().files.size(), 8U);
}

TEST_F(RemovalSequence, AFileThatCannotBeDeletedStopsThereWithItsNumber) {
  struct Row {
    std::uint32_t system;
    int number;
  };
  // In use, read-only or running, not ready, path gone, bad name, anything else.
  for (const Row row : {Row{32, 70}, Row{5, 70}, Row{33, 70}, Row{21, 71}, Row{3, 76}, Row{123, 52}, Row{1117, 75}}) {
    SCOPED_TRACE(row.system);
    SetUp();
    const std::wstring stuck = kFolder + L"\\Orvandel.exe";
    fake::Get().stuckFiles[stuck] = row.system;
    fake::Ended ended{};
    EXPECT_EQ(RunFormLoad(&ended), row.number);
    EXPECT_NE(ended.text.find(stuck), std::wstring::npos);
    EXPECT_NE(ended.text.find(L"(系统错误 " + std::to_wstring(row.system) + L")"), std::wstring::npos);
    EXPECT_EQ(LogAfterQuestion(), Concat(KeyLog(1), FileDeletions(kFolder, 5)));
    // Files 1 to 4 are gone; 5 to 8 stay.
    EXPECT_EQ(fake::Get().files.size(), 4U);
    EXPECT_EQ(fake::Get().files.count(kFolder + L"\\TIMBRAL.txt"), 1U);
  }
}

TEST_F(RemovalSequence, PathIsTheNameAppendedToTheFolderAsItIs) {
  struct Row {
    std::wstring executable;
    std::wstring folder;
  };
  for (const Row& row : {Row{L"C:\\uninstall.exe", L"C:\\"},  // drive root keeps its separator: doubled
                         Row{L"D:\\软件 目录\\uninstall.exe", L"D:\\软件 目录"},
                         Row{L"\\\\server\\share\\uninstall.exe", L"\\\\server\\share"},
                         Row{L"\\\\?\\C:\\long\\uninstall.exe", L"\\\\?\\C:\\long"}}) {
    SCOPED_TRACE(row.executable);
    fake::Reset();
    fake::Get().executable = row.executable;
    EXPECT_EQ(RunFormLoad(), -1);
    EXPECT_EQ(LogAfterQuestion(), Concat(KeyLog(0), FileDeletions(row.folder)));
  }
}

}  // namespace
