// The runtime's own logic: folder of the executable, declared calls and the
// run-time error report.
#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "runtime/runtime.h"

namespace {

TEST(FolderOf, KeepsOnlyARootSeparatorAtAnyLength) {
  struct Row {
    std::wstring executable;
    std::wstring folder;
  };
  const std::wstring longFolder = L"\\\\?\\C:\\" + std::wstring(40000, L'x');
  for (const Row& row : {
           Row{L"C:\\Tools\\uninstall.exe", L"C:\\Tools"},
           Row{L"C:\\uninstall.exe", L"C:\\"},
           Row{L"\\\\?\\C:\\uninstall.exe", L"\\\\?\\C:\\"},
           Row{L"\\\\server\\share\\uninstall.exe", L"\\\\server\\share"},
           Row{L"C:\\a b\\中文\\uninstall.exe", L"C:\\a b\\中文"},
           Row{L"C:/Tools/uninstall.exe", L"C:/Tools"},
           Row{L"uninstall.exe", L""},
           Row{longFolder + L"\\uninstall.exe", longFolder},
       }) {
    EXPECT_EQ(std::wstring(rt::FolderOf(row.executable).view()), row.folder) << row.executable.substr(0, 40);
  }
}

class DeclaredCall : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  static int EndCode(const rt::DeclaredFunction& function, void*& address, fake::Ended& ended) {
    try {
      rt::DllFunctionCall(function, address);
    } catch (const fake::Ended& e) {
      ended = e;
      return e.code;
    }
    return -1;
  }
};

TEST_F(DeclaredCall, IsLookedUpOnceAndKept) {
  const rt::DeclaredFunction function{L"advapi32.dll", "RegOpenKeyExA"};
  void* address = nullptr;
  void* first = rt::DllFunctionCall(function, address);
  void* second = rt::DllFunctionCall(function, address);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(fake::Get().lookups, 1);
}

TEST_F(DeclaredCall, MissingLibraryOrExportIsARunTimeErrorNamingTheLibrary) {
  struct Row {
    bool libraryMissing;
    int number;
  };
  for (const Row row : {Row{true, 48}, Row{false, 453}}) {
    fake::Reset();
    fake::Get().libraryMissing = row.libraryMissing;
    fake::Get().exportMissing = !row.libraryMissing;
    const rt::DeclaredFunction function{L"advapi32.dll", "RegOpenKeyExA"};
    void* address = nullptr;
    fake::Ended ended{};
    EXPECT_EQ(EndCode(function, address, ended), row.number);
    EXPECT_NE(ended.text.find(L"advapi32.dll"), std::wstring::npos);
    // Not cached: a later call looks again rather than jumping to null.
    EXPECT_EQ(address, nullptr);
  }
}

TEST(ErrorReport, EveryNumberHasADescriptionAndSystemCodesMapIntoThem) {
  for (const auto& mapping : rt::kSystemErrorMappings) {
    const rt::Text text = rt::ErrorReportText(mapping.number, mapping.system, L"", L"x");
    // "运行时错误 'N':\n\n" then the description, which must not be empty.
    const std::wstring report(text.view());
    const auto start = report.find(L"\n\n") + 2;
    EXPECT_NE(report.substr(start, report.find(L"\n\n", start) - start), L"") << mapping.system;
  }
  EXPECT_EQ(rt::ErrorForSystemCode(4294967295U), rt::ErrorNumber::PathFileAccess);
  const rt::Text large = rt::ErrorReportText(rt::ErrorNumber::DllEntryPoint, 4294967295U, L"", L"");
  EXPECT_NE(std::wstring(large.view()).find(L"'453'"), std::wstring::npos);
  EXPECT_NE(std::wstring(large.view()).find(L"(系统错误 4294967295)"), std::wstring::npos);
}

TEST(ErrorReport, TheProjectGivesTheTitleAndItsLocaleTheTexts) {
  fake::Reset();
  for (const std::uint16_t locale : {std::uint16_t{2052}, std::uint16_t{1033}}) {
    rt::UseProject(rt::ProjectHeader{nullptr, locale, L"Title"});
    try {
      rt::vbaRaise(rt::ErrorNumber::PathNotFound, 3, L"", L"x");
      ADD_FAILURE() << "no report";
    } catch (const fake::Ended& ended) {
      EXPECT_EQ(ended.title, L"Title");
      // Chinese is the one language the runtime carries.
      EXPECT_EQ(ended.text, L"运行时错误 '76':\n\n路径未找到\n\nx\n(系统错误 3)") << locale;
    }
  }
}

TEST(Text, JoinsMovesAndReleases) {
  rt::Text joined = rt::Text::Join({L"C:\\", L"\\a.txt", L""});
  EXPECT_EQ(std::wstring(joined.view()), L"C:\\\\a.txt");
  EXPECT_EQ(joined.c_str()[joined.size()], L'\0');
  rt::Text moved = std::move(joined);
  EXPECT_EQ(std::wstring(moved.view()), L"C:\\\\a.txt");
  EXPECT_EQ(joined.size(), 0U);  // NOLINT(bugprone-use-after-move,clang-analyzer-cplusplus.Move): the moved-from state
                                 // is part of the contract
  EXPECT_STREQ(joined.c_str(), L"");
  moved.Truncate(3);
  EXPECT_EQ(std::wstring(moved.view()), L"C:\\");
  // A list grows before an item and its NUL would not fit: "xyz" exactly
  // fills the room, then "q" needs more.
  rt::ItemList list;
  for (const wchar_t* item : {L"ab", L"c", L"xyz", L"q"}) {
    list.Add(item);
  }
  EXPECT_EQ(std::wstring(list.view()), std::wstring(L"ab\0c\0xyz\0q\0", 11));
  EXPECT_LE(list.used, list.room.size());
}

}  // namespace
