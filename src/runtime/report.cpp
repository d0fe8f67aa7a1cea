// The run-time error and its report: the numbers, the texts in the
// project's language, and the advice by the cause the system shows.
#include "runtime/report.h"

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

namespace {

// The numbers the runtime describes, in the order of each language's texts.
constexpr std::array<ErrorNumber, 10> kDescribed = {
    ErrorNumber::OutOfMemory,       ErrorNumber::DllLoad,          ErrorNumber::BadFileName,
    ErrorNumber::FileNotFound,      ErrorNumber::PermissionDenied, ErrorNumber::DiskNotReady,
    ErrorNumber::PathFileAccess,    ErrorNumber::PathNotFound,     ErrorNumber::DllEntryPoint,
    ErrorNumber::FileAlreadyExists,
};
// After the descriptions: what comes before the error's number, and before
// the system's code.
constexpr std::size_t kHeading = kDescribed.size();
constexpr std::size_t kSystemError = kHeading + 1;
// Advice, and the pieces that name a program: "X.exe（进程 12）、Y.exe（进程 34）".
constexpr std::size_t kProcessBefore = kSystemError + 1;
constexpr std::size_t kProcessAfter = kProcessBefore + 1;
constexpr std::size_t kBetweenPrograms = kProcessAfter + 1;
constexpr std::size_t kProgramsUseIt = kBetweenPrograms + 1;
constexpr std::size_t kHeldOpen = kProgramsUseIt + 1;
constexpr std::size_t kReadOnly = kHeldOpen + 1;
constexpr std::size_t kNeedsAdministrator = kReadOnly + 1;
constexpr std::size_t kLeadsOutside = kNeedsAdministrator + 1;
constexpr std::size_t kComesBack = kLeadsOutside + 1;

// Programs an advice names at most; more are rare, and the user finds them.
constexpr std::size_t kMaxNamed = 3;

// The runtime's own texts in one language: one literal, each text ending in
// its NUL, so one pointer for the loader to relocate and each text usable as
// a C string.
struct RuntimeTexts {
  std::uint16_t locale;
  const wchar_t* texts;
};

// The element type and count are named: GCC 12 for MinGW puts a deduced
// constexpr std::array in writable data.
constexpr std::array<RuntimeTexts, 1> kRuntimeTexts = {
    // Chinese (PRC); also what any other locale gets.
    RuntimeTexts{2052,
                 L"内存不足\0加载 DLL 错误\0文件名或文件号错误\0文件未找到\0权限被拒绝\0磁盘未准备好\0"
                 L"路径/文件访问错误\0路径未找到\0找不到 DLL 入口点\0文件已存在\0运行时错误 '\0(系统错误 \0"
                 L"（进程 \0）\0、\0正在使用此文件。请将其关闭，然后再次运行本工具，即可完成卸载。\0"
                 L"此文件正被其他程序使用。请将其关闭，然后再次运行本工具，即可完成卸载。\0"
                 L"此文件为只读文件。请取消其只读属性，然后再次运行本工具。\0"
                 // One text serves a refused key and a refused file: the tool has
                 // little room to spare.
                 L"删除此项需要管理员权限。请以管理员身份运行本工具。\0"
                 L"此名称指向本工具文件夹以外的位置，那里的任何内容都未被改动。"
                 L"请手动检查该链接或文件夹，必要时将其删除，然后再次运行本工具。\0"
                 L"它在删除后又出现了：有程序仍在使用或不断重新创建它。请关闭本软件（以及它启动的程序），"
                 L"然后再次运行本工具，即可完成卸载。"},
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

// Text `index` of the project's language.
std::wstring_view RuntimeText(std::size_t index) {
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
  return RuntimeText(index);  // every number the runtime raises is described
}

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

void Raise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix, std::wstring_view subject,
           std::wstring_view advice) {
  const Text text = ErrorReportText(number, systemCode, subjectPrefix, subject, advice);
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
  return Text::Join({RuntimeText(kHeading), Decimal(static_cast<std::uint32_t>(number), numberDigits), L"':\n\n"sv,
                     Describe(number), L"\n\n"sv, subjectPrefix, subject, L"\n"sv, RuntimeText(kSystemError),
                     Decimal(systemCode, systemDigits), L")"sv, advice.empty() ? advice : L"\n\n"sv, advice});
}

Text FileAdvice(std::uint32_t systemCode, const platform::OpenFile& folder, const platform::FileId& folderId,
                std::wstring_view name) {
  std::size_t advice = kHeldOpen;
  Text programs;
  // What stands there now; no program's sharing keeps the tool from looking.
  platform::OpenFile file;
  platform::FileFacts facts;
  const bool looked = platform::OpenInFolder(folder, folderId, name, platform::Access::Look, file, facts) == 0;
  if (systemCode == system_error::kStoppedOnSymlink) {
    advice = kLeadsOutside;
  } else if (systemCode == system_error::kAlreadyExists) {
    advice = kComesBack;
  } else if (systemCode != system_error::kAccessDenied && systemCode != system_error::kSharingViolation &&
             systemCode != system_error::kLockViolation) {
    // Only a refusal (5) or a file in use (32, 33) can be another program's
    // doing.
    return {};
  } else if (systemCode == system_error::kAccessDenied && looked && facts.readOnly) {
    advice = kReadOnly;
  } else {
    // A running program has its own file and its modules mapped, and Windows
    // refuses their deletion with 5; a program may also hold the file open.
    // Filled up to `found`.
    std::array<platform::FileUser, kMaxNamed> users;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    const std::size_t found = looked ? platform::FindFileUsers(file, facts.id, users) : 0;
    for (std::size_t i = 0; i < found; ++i) {
      std::array<wchar_t, 10> digits{};
      programs = Text::Join({programs.view(),
                             i == 0 ? std::wstring_view{} : RuntimeText(kBetweenPrograms),
                             {users[i].name.data(), users[i].nameSize},
                             RuntimeText(kProcessBefore),
                             Decimal(users[i].processId, digits),
                             RuntimeText(kProcessAfter)});
    }
    if (found != 0) {
      advice = kProgramsUseIt;
    } else if (systemCode == system_error::kAccessDenied) {
      // Refused, and nobody uses it: most likely the file's permissions.
      // Without elevation, elevating is what the user can try, as for a
      // key; an elevated administrator refused would gain nothing by it, and
      // the cause is one the tool cannot see, so no advice rather than a
      // wrong one.
      if (platform::IsElevated()) {
        return {};
      }
      advice = kNeedsAdministrator;
    }
  }
  return Text::Join({programs.view(), RuntimeText(advice)});
}

void vbaRaise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
              std::wstring_view subject) {
  // An elevated administrator who is refused would gain nothing by it.
  const bool keyRefused =
      !subjectPrefix.empty() && systemCode == system_error::kAccessDenied && !platform::IsElevated();
  Raise(number, systemCode, subjectPrefix, subject,
        systemCode == system_error::kAlreadyExists ? RuntimeText(kComesBack)
        : keyRefused                               ? RuntimeText(kNeedsAdministrator)
                                                   : L""sv);
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
