// Whose per-user copies and mirror go, in which order, and how a report
// names a copy; and the mirror found by where the folder really lies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>

#include "fake_platform.h"
#include "removal_window/form1.h"
#include "removal_window/project.h"

namespace {

const std::wstring kTheirs = L"S-1-5-21-7-7-7-1001";
const std::wstring kBelow = L"\\VirtualStore\\Program Files\\Orvandel\\tolvane.dat";
const std::wstring kOwnMirror = L"C:\\Users\\admin\\AppData\\Local" + kBelow;
const std::wstring kTheirMirror = L"C:\\Users\\user\\AppData\\Local" + kBelow;
const std::wstring kOwnKey = L"HKCU\\Software\\Classes\\*\\shell\\Orvandel";
const std::wstring kTheirKey = L"HKU\\" + kTheirs + L"_Classes\\*\\shell\\Orvandel";

// The copies of both class keys and the files, the folder's and each user's
// mirror's; the code the run ended with, -1 for the window.
int RunIn(const std::wstring& folder, fake::Ended* ended = nullptr) {
  fake::System& s = fake::Get();
  s.localAppData[kTheirs] = L"C:\\Users\\user\\AppData\\Local";
  for (const auto* hive : {L"HKCU\\Software\\Classes\\", L"HKLM\\Software\\Classes\\", L"HKU\\"}) {
    const std::wstring base = hive + (hive[2] == L'U' ? kTheirs + L"_Classes\\" : L"");
    s.keys.insert({base + L"*\\shell\\Orvandel", base + L"Folder\\shell\\Orvandel"});
  }
  s.files = {folder + L"\\tolvane.dat", kOwnMirror, kTheirMirror};
  return fake::Run(ended);
}

TEST(LoggedOnUser, TheSessionsUserCopiesGoWhereTheyAreAnotherAccount) {
  struct Row {
    const char* what;
    std::wstring user;    // as the system records the session
    std::uint32_t error;  // asking fails with; a hive not loaded is one such failure
    bool theirs;          // their copies and mirror go, the token's own stay
  };
  for (const Row& row : {Row{"another account", kTheirs, 0, true}, Row{"the same account", L"", 0, false},
                         Row{"cannot be told, or their hive is not loaded", kTheirs, 2, false}}) {
    SCOPED_TRACE(row.what);
    fake::Reset();
    fake::Get().sessionUser = row.user;
    fake::Get().sessionUserError = row.error;
    EXPECT_EQ(RunIn(L"C:\\Program Files\\Orvandel"), -1);
    EXPECT_EQ(fake::Get().keys.count(kOwnKey), row.theirs ? 1U : 0U);
    EXPECT_EQ(fake::Get().keys.count(kTheirKey), row.theirs ? 0U : 1U);
    EXPECT_EQ(fake::Get().files, (std::set<std::wstring>{row.theirs ? kOwnMirror : kTheirMirror}));
  }
}

TEST(LoggedOnUser, EveryPerUserCopyGoesFirstAndAReportNamesTheCopy) {
  struct Row {
    std::wstring user;
    std::wstring stuck;  // the key that cannot go
    std::wstring named;  // as the report names it
  };
  for (const Row& row :
       {Row{L"", L"HKLM\\Software\\Classes\\*\\shell\\Orvandel", L"HKEY_LOCAL_MACHINE\\Software\\Classes\\*"},
        Row{L"", L"HKCU\\Software\\Classes\\Folder\\shell\\Orvandel", L"HKEY_CURRENT_USER\\Software\\Classes\\Folder"},
        Row{kTheirs, L"HKU\\" + kTheirs + L"_Classes\\Folder\\shell\\Orvandel",
            L"HKEY_USERS\\" + kTheirs + L"_Classes\\Folder"}}) {
    SCOPED_TRACE(row.stuck);
    fake::Reset();
    fake::Get().sessionUser = row.user;
    fake::Get().stuckKeys[row.stuck] = static_cast<std::int32_t>(0xC0000022U);
    fake::Ended ended{};
    EXPECT_EQ(RunIn(L"C:\\Program Files\\Orvandel", &ended), 70);
    EXPECT_NE(ended.text.find(row.named + L"\\shell\\Orvandel\n(系统错误 5)"), std::wstring::npos);
    // Stopped at a machine copy, the user has lost both of theirs.
    const bool machine = row.stuck[2] == L'L';
    EXPECT_EQ(std::count_if(fake::Get().log.begin(), fake::Get().log.end(),
                            [](const std::wstring& line) { return line.find(L"key HK") == 0; }),
              machine ? 2 : 1);
  }
}

TEST(LoggedOnUser, TheMirrorIsFoundByWhereTheFolderLies) {
  struct Row {
    std::wstring folder;  // as the tool was started
    std::wstring named;   // as the system names it
    bool goes;
  };
  for (const Row& row : {Row{L"D:\\Orvandel", L"C:\\Program Files\\Orvandel", true},  // a drive for a subfolder
                         Row{L"C:\\PROGRA~1\\Orvandel", L"C:\\Program Files\\Orvandel", true},
                         Row{L"\\\\?\\C:\\Program Files\\Orvandel", L"C:\\Program Files\\Orvandel", true},
                         Row{L"C:\\Program Files\\Orvandel", L"D:\\Elsewhere\\Orvandel", false}}) {
    SCOPED_TRACE(row.folder);
    fake::Reset();
    fake::Get().executable = row.folder + L"\\uninstall.exe";
    fake::Get().namedAs[row.folder] = row.named;
    EXPECT_EQ(RunIn(row.folder), -1);
    EXPECT_EQ(fake::Get().files.count(kOwnMirror), row.goes ? 0U : 1U);
  }
}

}  // namespace
