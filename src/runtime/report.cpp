// The run-time error and its report: the numbers, the texts in the
// project's language, and the advice by the cause the system shows.
#include "runtime/report.h"

#include <new>

#include "runtime/files.h"

namespace rt {

// Literals as views of known length: GCC does not fold wcslen of a wide
// literal, and a call to it would import the C runtime for nothing.
using namespace std::string_view_literals;

constexpr std::array<SystemErrorMapping, 15> kSystemErrorMappings = {
    SystemErrorMapping{system_error::kFileNotFound, ErrorNumber::FileNotFound},
    SystemErrorMapping{system_error::kPathNotFound, ErrorNumber::PathNotFound},
    SystemErrorMapping{system_error::kAccessDenied, ErrorNumber::PermissionDenied},
    SystemErrorMapping{system_error::kNotEnoughMemory, ErrorNumber::OutOfMemory},
    SystemErrorMapping{system_error::kOutOfMemory, ErrorNumber::OutOfMemory},
    SystemErrorMapping{system_error::kWriteProtect, ErrorNumber::PermissionDenied},
    SystemErrorMapping{system_error::kNotReady, ErrorNumber::DiskNotReady},
    SystemErrorMapping{system_error::kSharingViolation, ErrorNumber::PermissionDenied},
    SystemErrorMapping{system_error::kLockViolation, ErrorNumber::PermissionDenied},
    SystemErrorMapping{system_error::kInvalidName, ErrorNumber::BadFileName},
    SystemErrorMapping{system_error::kModuleNotFound, ErrorNumber::DllLoad},
    SystemErrorMapping{system_error::kProcNotFound, ErrorNumber::DllEntryPoint},
    SystemErrorMapping{system_error::kBadPathName, ErrorNumber::BadFileName},
    // Back under its name after its deletion, or never gone: something keeps it.
    SystemErrorMapping{system_error::kAlreadyExists, ErrorNumber::FileAlreadyExists},
    // A name that leads out of the tool's folder: refused, nothing touched.
    SystemErrorMapping{system_error::kStoppedOnSymlink, ErrorNumber::PathFileAccess},
};

// Never defined, and not constant: reached while a language's texts are
// packed, it stops the build.
void EachTextGivenOnce();

namespace {

// The numbers the runtime describes; their texts come first, in this order.
constexpr std::array<ErrorNumber, 10> kDescribed = {
    ErrorNumber::OutOfMemory,       ErrorNumber::DllLoad,          ErrorNumber::BadFileName,
    ErrorNumber::FileNotFound,      ErrorNumber::PermissionDenied, ErrorNumber::DiskNotReady,
    ErrorNumber::PathFileAccess,    ErrorNumber::PathNotFound,     ErrorNumber::DllEntryPoint,
    ErrorNumber::FileAlreadyExists,
};

// The runtime's other texts, by name, after the descriptions.
enum class Says : std::uint8_t {
  // What comes before the error's number, and before the system's code.
  Heading,
  SystemError,
  // The pieces that name a program: "X.exe（进程 12）、Y.exe（进程 34）".
  ProcessBefore,
  ProcessAfter,
  BetweenPrograms,
  // Advice; the first three end in Finish, kept once.
  ProgramsUseIt,
  HeldOpen,
  ComesBack,
  ReadOnly,
  NeedsAdministrator,
  LeadsOutside,
  // Around the count of noted copies a report leaves out.
  MoreBefore,
  MoreAfter,
  Finish,
};
constexpr Says kNoAdvice = Says::Finish;
constexpr std::size_t kTexts = kDescribed.size() + static_cast<std::size_t>(Says::Finish) + 1;

// One text of a language: a description or a named text.
struct Line {
  std::size_t position;
  std::wstring_view text;
  consteval Line(ErrorNumber number, std::wstring_view words) : position(0), text(words) {
    while (kDescribed.at(position) != number) {  // past the end: a number the runtime does not describe
      ++position;
    }
  }
  consteval Line(Says name, std::wstring_view words)
      : position(kDescribed.size() + static_cast<std::size_t>(name)), text(words) {}
};

template <std::size_t N>
consteval std::size_t PackedSize(const std::array<Line, N>& lines) {
  std::size_t size = 0;
  for (const Line& line : lines) {
    size += line.text.size() + 1;
  }
  return size;
}

// A language's texts as one literal would hold them: in the runtime's order,
// each ending in its NUL, so one pointer for the loader to relocate and each
// text usable as a C string. A text missing or given twice does not compile.
template <std::size_t Size>
consteval std::array<wchar_t, Size> Pack(const std::array<Line, kTexts>& lines) {
  std::array<wchar_t, Size> packed{};
  std::size_t at = 0;
  for (std::size_t position = 0; position < kTexts; ++position) {
    std::size_t found = 0;
    for (const Line& line : lines) {
      if (line.position == position) {
        ++found;
        for (const wchar_t c : line.text) {
          packed.at(at++) = c;
        }
        packed.at(at++) = L'\0';
      }
    }
    if (found != 1) {
      EachTextGivenOnce();
    }
  }
  return packed;
}

// Chinese (PRC); also what any other locale gets.
constexpr std::array<Line, kTexts> kChineseLines = {
    Line{ErrorNumber::OutOfMemory, L"内存不足"},
    Line{ErrorNumber::DllLoad, L"加载 DLL 错误"},
    Line{ErrorNumber::BadFileName, L"文件名或文件号错误"},
    Line{ErrorNumber::FileNotFound, L"文件未找到"},
    Line{ErrorNumber::PermissionDenied, L"权限被拒绝"},
    Line{ErrorNumber::DiskNotReady, L"磁盘未准备好"},
    Line{ErrorNumber::PathFileAccess, L"路径/文件访问错误"},
    Line{ErrorNumber::PathNotFound, L"路径未找到"},
    Line{ErrorNumber::DllEntryPoint, L"找不到 DLL 入口点"},
    Line{ErrorNumber::FileAlreadyExists, L"文件已存在"},
    Line{Says::Heading, L"运行时错误 '"},
    Line{Says::SystemError, L"(系统错误 "},
    Line{Says::ProcessBefore, L"（进程 "},
    Line{Says::ProcessAfter, L"）"},
    Line{Says::BetweenPrograms, L"、"},
    Line{Says::ProgramsUseIt, L"正在使用此文件。请将其关闭，"},
    Line{Says::HeldOpen, L"此文件正被其他程序使用。请将其关闭，"},
    Line{Says::ComesBack, L"它在删除后又出现了：有程序仍在使用或不断重新创建它。请关闭本软件（以及它启动的程序），"},
    Line{Says::ReadOnly, L"此文件为只读文件。请取消其只读属性，然后再次运行本工具。"},
    // One text serves a refused key and a refused file: the tool has little
    // room to spare.
    Line{Says::NeedsAdministrator, L"删除此项需要管理员权限。请以管理员身份运行本工具。"},
    Line{Says::LeadsOutside,
         L"此名称指向别处，那里的任何内容都未被改动。请手动检查该链接或文件夹，必要时将其删除，然后再次运行本工具。"},
    Line{Says::MoreBefore, L"……另有 "},
    Line{Says::MoreAfter, L" 项。"},
    Line{Says::Finish, L"然后再次运行本工具，即可完成卸载。"},
};
// The element type and count are named: GCC 12 for MinGW puts a deduced
// constexpr std::array in writable data.
constexpr std::size_t kChineseSize = PackedSize(kChineseLines);
constexpr std::array<wchar_t, kChineseSize> kChinese = Pack<kChineseSize>(kChineseLines);

// Noted copies a report lists, each as a report of its own; a taller box
// would run off a small screen.
constexpr std::uint32_t kMaxListed = 4;

// Programs an advice names at most; more are rare, and the user finds them.
constexpr std::size_t kMaxNamed = 3;

struct RuntimeTexts {
  std::uint16_t locale;
  const wchar_t* texts;
};

constexpr std::array<RuntimeTexts, 1> kRuntimeTexts = {
    RuntimeTexts{2052, kChinese.data()},
};

struct RootKeyName {
  RootKey root;
  std::wstring_view prefix;
};

// The hives a copy of a key lives in: a report names the copy that failed.
constexpr std::array<RootKeyName, 3> kRootKeyNames = {
    RootKeyName{RootKey::CurrentUser, L"HKEY_CURRENT_USER\\"},
    RootKeyName{RootKey::LocalMachine, L"HKEY_LOCAL_MACHINE\\"},
    RootKeyName{RootKey::Users, L"HKEY_USERS\\"},
};

constinit const wchar_t* g_title = nullptr;
// Null until the project names its locale: the first table.
constinit const RuntimeTexts* g_texts = nullptr;

// The copies noted in a run: the listed ones' reports, each after a gap,
// how many in all, and the first one's number.
struct Noted {
  Text listed;
  std::uint32_t run;
  std::uint32_t count;
  ErrorNumber first;
};
constinit Noted* g_noted = nullptr;

// This run's notes, or null when there are none.
const Noted* NotedThisRun() {
  return g_noted != nullptr && g_noted->run == RunNumber() && g_noted->count != 0 ? g_noted : nullptr;
}

// Text `index` of the project's language, in the packed order.
std::wstring_view TextAt(std::size_t index) {
  const wchar_t* text = (g_texts != nullptr ? g_texts : kRuntimeTexts.data())->texts;
  for (; index != 0; --index) {
    while (*text++ != L'\0') {
    }
  }
  std::size_t size = 0;
  while (text[size] != L'\0') {
    ++size;
  }
  return {text, size};
}

std::wstring_view Describe(ErrorNumber number) {
  std::size_t index = 0;
  while (index + 1 < kDescribed.size() && kDescribed[index] != number) {
    ++index;
  }
  return TextAt(index);  // every number the runtime raises is described
}

std::wstring_view RuntimeText(Says name) { return TextAt(kDescribed.size() + static_cast<std::size_t>(name)); }

// Decimal digits of `value` into the end of `buffer`; returns them.
template <std::size_t N>
std::wstring_view Decimal(std::uint32_t value, std::array<wchar_t, N>& buffer) {
  std::size_t at = N;
  do {
    buffer[--at] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0 && at != 0);
  return {buffer.data() + at, N - at};
}

}  // namespace

namespace {

constexpr std::wstring_view kGap = L"\n\n\n"sv;

// The noted copies' reports, each after a gap, and how many more there are.
Text NotedText() {
  const Noted* noted = NotedThisRun();
  if (noted == nullptr) {
    return {};
  }
  std::array<wchar_t, 10> digits{};
  const bool more = noted->count > kMaxListed;
  return Text::Join({noted->listed.view(), more ? kGap : L""sv, more ? RuntimeText(Says::MoreBefore) : L""sv,
                     more ? Decimal(noted->count - kMaxListed, digits) : L""sv,
                     more ? RuntimeText(Says::MoreAfter) : L""sv});
}

}  // namespace

bool NoteListed() {
  const Noted* noted = NotedThisRun();
  return noted == nullptr || noted->count < kMaxListed;
}

void Failed(bool theirs, std::uint32_t systemCode, std::wstring_view subjectPrefix, std::wstring_view subject,
            std::wstring_view advice) {
  const ErrorNumber number = ErrorForSystemCode(systemCode);
  if (!theirs) {
    Raise(number, systemCode, subjectPrefix, subject, advice);
  }
  if (g_noted == nullptr) {
    void* block = platform::Allocate(sizeof(Noted));
    if (block == nullptr) {
      OutOfMemory();
    }
    g_noted = new (block) Noted{};
  }
  Noted& noted = *g_noted;
  if (noted.run != RunNumber()) {
    noted.listed = Text{};
    noted.run = RunNumber();
    noted.count = 0;
    noted.first = number;
  }
  if (noted.count++ < kMaxListed) {
    noted.listed = Text::Join(
        {noted.listed.view(), kGap, ErrorReportText(number, systemCode, subjectPrefix, subject, advice).view()});
  }
}

void ReportNoted() {
  const Noted* noted = NotedThisRun();
  if (noted != nullptr) {
    const Text text = NotedText();
    platform::ReportAndExit(g_title, text.c_str() + kGap.size(), static_cast<int>(noted->first));
  }
}

void Raise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix, std::wstring_view subject,
           std::wstring_view advice) {
  const Text text =
      Text::Join({ErrorReportText(number, systemCode, subjectPrefix, subject, advice).view(), NotedText().view()});
  platform::ReportAndExit(g_title, text.c_str(), static_cast<int>(number));
}

std::wstring_view RootKeyPrefix(RootKey root) {
  for (const auto& entry : kRootKeyNames) {
    if (entry.root == root) {
      return entry.prefix;
    }
  }
  return {};
}

ErrorNumber ErrorForSystemCode(std::uint32_t code) {
  for (const auto& entry : kSystemErrorMappings) {
    if (entry.system == code) {
      return entry.number;
    }
  }
  return ErrorNumber::PathFileAccess;
}

Text ErrorReportText(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
                     std::wstring_view subject, std::wstring_view advice) {
  std::array<wchar_t, 10> numberDigits{};
  std::array<wchar_t, 10> systemDigits{};
  return Text::Join({RuntimeText(Says::Heading), Decimal(static_cast<std::uint32_t>(number), numberDigits), L"':\n\n"sv,
                     Describe(number), L"\n\n"sv, subjectPrefix, subject, L"\n"sv, RuntimeText(Says::SystemError),
                     Decimal(systemCode, systemDigits), L")"sv, advice.empty() ? advice : L"\n\n"sv, advice});
}

namespace {

// The advice by its cause alone: a target that keeps coming back (183), a
// name leading elsewhere (681), a `key` refused to a user who could have
// more rights (5); kNoAdvice for anything else.
Says AdviceFor(std::uint32_t systemCode, bool key) {
  // An administrator who is refused would gain nothing by running as one.
  return systemCode == system_error::kAlreadyExists                                         ? Says::ComesBack
         : systemCode == system_error::kStoppedOnSymlink                                    ? Says::LeadsOutside
         : key && systemCode == system_error::kAccessDenied && !platform::IsAdministrator() ? Says::NeedsAdministrator
                                                                                            : kNoAdvice;
}

// Advice `index` after `programs`, with the words that finish it.
Text AdviceText(std::wstring_view programs, Says index) {
  if (index == kNoAdvice) {
    return {};
  }
  return Text::Join({programs, RuntimeText(index), index <= Says::ComesBack ? RuntimeText(Says::Finish) : L""sv});
}

}  // namespace

Text FileAdvice(std::uint32_t systemCode, const platform::OpenFile& folder, const platform::FileId& folderId,
                std::wstring_view name) {
  Says advice = AdviceFor(systemCode, false);
  Text programs;
  // Only a refusal (5) or a file in use (32, 33) can be another program's
  // doing.
  if (advice == kNoAdvice &&
      (systemCode == system_error::kAccessDenied || systemCode == system_error::kSharingViolation ||
       systemCode == system_error::kLockViolation)) {
    // What stands there now; no program's sharing keeps the tool from looking.
    platform::OpenFile file;
    platform::FileFacts facts;
    const bool looked = platform::OpenInFolder(folder, folderId, name, platform::Access::Look, file, facts) == 0;
    // A running program has its own file and its modules mapped, and Windows
    // refuses their deletion with 5; a program may also hold the file open.
    // Filled up to `found`.
    std::array<platform::FileUser, kMaxNamed> users;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    const bool readOnly = systemCode == system_error::kAccessDenied && looked && facts.readOnly;
    const std::size_t found = looked && !readOnly ? platform::FindFileUsers(file, facts.id, users) : 0;
    for (std::size_t i = 0; i < found; ++i) {
      std::array<wchar_t, 10> digits{};
      programs = Text::Join({programs.view(),
                             i == 0 ? std::wstring_view{} : RuntimeText(Says::BetweenPrograms),
                             {users[i].name.data(), users[i].nameSize},
                             RuntimeText(Says::ProcessBefore),
                             Decimal(users[i].processId, digits),
                             RuntimeText(Says::ProcessAfter)});
    }
    // Refused, and nobody uses it: most likely the file's permissions.
    // Without elevation, elevating is what the user can try, as for a key;
    // an administrator refused would gain nothing by it, and the cause is
    // one the tool cannot see, so no advice rather than a wrong one.
    advice = readOnly                                    ? Says::ReadOnly
             : found != 0                                ? Says::ProgramsUseIt
             : systemCode != system_error::kAccessDenied ? Says::HeldOpen
             : platform::IsAdministrator()               ? kNoAdvice
                                                         : Says::NeedsAdministrator;
  }
  return AdviceText(programs.view(), advice);
}

Text Advice(std::uint32_t systemCode, bool key) { return AdviceText({}, AdviceFor(systemCode, key)); }

void vbaRaise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
              std::wstring_view subject) {
  Raise(number, systemCode, subjectPrefix, subject, Advice(systemCode, !subjectPrefix.empty()).view());
}

void UseProject(const ProjectHeader& header) {
  g_title = header.title;
  for (const auto& texts : kRuntimeTexts) {
    if (texts.locale == header.locale) {
      g_texts = &texts;
    }
  }
}

void OutOfMemory() {
  // The usual report is built in memory too; this one is a constant.
  platform::ReportAndExit(g_title, Describe(ErrorNumber::OutOfMemory).data(),
                          static_cast<int>(ErrorNumber::OutOfMemory));
}

}  // namespace rt
