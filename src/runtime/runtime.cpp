#include "runtime/runtime.h"

#include "runtime/platform.h"

namespace rt {

// Literals as views of known length: GCC does not fold wcslen of a wide
// literal, and a call to it would import the C runtime for nothing.
using namespace std::string_view_literals;

constexpr std::array<SystemErrorMapping, 14> kSystemErrorMappings = {
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
    // A name that leads out of the tool's folder: refused, nothing touched.
    SystemErrorMapping{system_error::kStoppedOnSymlink, ErrorNumber::PathFileAccess},
};

namespace {

// The numbers the runtime describes, in the order of each language's texts.
constexpr std::array<ErrorNumber, 9> kDescribed = {
    ErrorNumber::OutOfMemory,    ErrorNumber::DllLoad,          ErrorNumber::BadFileName,
    ErrorNumber::FileNotFound,   ErrorNumber::PermissionDenied, ErrorNumber::DiskNotReady,
    ErrorNumber::PathFileAccess, ErrorNumber::PathNotFound,     ErrorNumber::DllEntryPoint,
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
                 L"路径/文件访问错误\0路径未找到\0找不到 DLL 入口点\0运行时错误 '\0(系统错误 \0"
                 L"（进程 \0）\0、\0正在使用此文件。请将其关闭，然后再次运行本工具，即可完成卸载。\0"
                 L"此文件正被其他程序使用。请将其关闭，然后再次运行本工具，即可完成卸载。\0"
                 L"此文件为只读文件。请取消其只读属性，然后再次运行本工具。\0"
                 L"删除此注册表项需要管理员权限。请以管理员身份运行本工具。\0"
                 L"此名称指向本工具文件夹以外的位置，那里的任何内容都未被改动。"},
};

struct RootKeyName {
  RootKey root;
  std::wstring_view prefix;
};

constexpr std::array<RootKeyName, 2> kRootKeyNames = {
    RootKeyName{RootKey::ClassesRoot, L"HKEY_CLASSES_ROOT\\"},
    RootKeyName{RootKey::LocalMachine, L"HKEY_LOCAL_MACHINE\\"},
};

constinit std::uint32_t g_lastDllError = 0;

constinit const wchar_t* g_title = nullptr;
// Null until the project names its locale: the first table.
constinit const RuntimeTexts* g_texts = nullptr;

// Set while the program holds its folder: from start to end.
constinit const OwnFolder* g_ownFolder = nullptr;

// Another program (a second copy of the tool, a virus scanner) may have a
// target open for a moment. These waits, a third of a second in all, let it
// finish before a failure counts; only a failure costs them.
constexpr std::array<unsigned, 5> kRetryWaits = {10, 20, 40, 80, 160};

bool MayPass(std::uint32_t status) {
  return status == system_error::kAccessDenied || status == system_error::kSharingViolation ||
         status == system_error::kDeletePending;
}

// One attempt; 0 once the file is confirmed gone.
std::uint32_t TryKill(const Text& path) {
  platform::OpenFile file;
  Text finalPath;
  std::uint32_t status = platform::OpenForDeletion(path.c_str(), file, finalPath);
  if (status == system_error::kFileNotFound) {
    return 0;
  }
  if (status != 0) {
    return status;
  }
  if (g_ownFolder == nullptr || !g_ownFolder->Holds(finalPath.view(), path.view())) {
    return system_error::kStoppedOnSymlink;
  }
  status = platform::MarkForDeletion(file);
  if (status != 0) {
    return status;
  }
  file.reset();
  // Another open handle keeps a marked file until it closes: look again.
  status = platform::LookUp(path.c_str());
  if (status == system_error::kFileNotFound || status == system_error::kPathNotFound) {
    return 0;
  }
  return status == 0 ? system_error::kDeletePending : status;
}

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

// Reports a run-time error and ends the program with its number.
[[noreturn]] void Raise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
                        std::wstring_view subject, std::wstring_view advice) {
  const Text text = ErrorReportText(number, systemCode, subjectPrefix, subject, advice);
  platform::ReportAndExit(g_title, text.c_str(), static_cast<int>(number));
}

}  // namespace

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

Text FileAdvice(std::uint32_t systemCode, const Text& path) {
  std::size_t advice = kHeldOpen;
  Text programs;
  if (systemCode == system_error::kStoppedOnSymlink) {
    advice = kLeadsOutside;
  } else if (!MayPass(systemCode) && systemCode != system_error::kLockViolation) {
    // Only a refusal (5), a file in use (32, 33) or one still there after
    // its deletion (303) can be another program's doing.
    return {};
  } else if (systemCode == system_error::kAccessDenied && platform::IsReadOnly(path.c_str())) {
    advice = kReadOnly;
  } else {
    // A running program has its own file and its modules mapped, and Windows
    // refuses their deletion with 5; a program may also hold the file open.
    std::array<platform::FileUser, kMaxNamed> users;
    const std::size_t found = platform::FindFileUsers(path.c_str(), users);
    for (std::size_t i = 0; i < found; ++i) {
      std::array<wchar_t, 10> digits{};
      programs = Text::Join({programs.view(), i == 0 ? std::wstring_view{} : RuntimeText(kBetweenPrograms),
                             users[i].name.view(), RuntimeText(kProcessBefore), Decimal(users[i].processId, digits),
                             RuntimeText(kProcessAfter)});
    }
    if (found != 0) {
      advice = kProgramsUseIt;
    } else if (systemCode == system_error::kAccessDenied) {
      // Refused, and nobody uses it: a cause the tool cannot see (the
      // file's permissions, say), so no advice rather than a wrong one.
      return {};
    }
  }
  return Text::Join({programs.view(), RuntimeText(advice)});
}

void vbaRaise(ErrorNumber number, std::uint32_t systemCode, std::wstring_view subjectPrefix,
              std::wstring_view subject) {
  const bool keyRefused = !subjectPrefix.empty() && systemCode == system_error::kAccessDenied;
  Raise(number, systemCode, subjectPrefix, subject, keyRefused ? RuntimeText(kNeedsAdministrator) : L""sv);
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

int rtcMsgBox(const wchar_t* prompt, unsigned flags, const wchar_t* title) {
  return platform::AskUser(prompt, flags, title);
}

OwnFolder::OwnFolder() {
  const Text folder = App.Path();
  const std::uint32_t status = platform::HoldFolder(folder.c_str(), handle_, finalPath_);
  if (status != 0) {
    vbaRaise(ErrorForSystemCode(status), status, {}, folder.view());
  }
  g_ownFolder = this;
}

OwnFolder::~OwnFolder() { g_ownFolder = nullptr; }

bool OwnFolder::Holds(std::wstring_view finalPath, std::wstring_view path) const {
  const std::wstring_view folder = finalPath_.view();
  // A drive root's final path ends in its separator already.
  const std::size_t nameAt = folder.size() + (folder.ends_with(L'\\') ? 0 : 1);
  if (finalPath.size() <= nameAt || finalPath[nameAt - 1] != L'\\') {
    return false;
  }
  // The name must be the one `path` ends in, after its own separator.
  const std::size_t nameSize = finalPath.size() - nameAt;
  return path.size() > nameSize && path[path.size() - nameSize - 1] == L'\\' &&
         platform::SamePath(std::wstring_view(finalPath.data(), folder.size()), folder) &&
         platform::SamePath(std::wstring_view(finalPath.data() + nameAt, nameSize),
                            std::wstring_view(path.data() + path.size() - nameSize, nameSize));
}

void rtcKillFiles(const Text& path) {
  // Gone already is what the caller wants; a second run then finishes the job.
  std::uint32_t status = TryKill(path);
  for (const unsigned wait : kRetryWaits) {
    if (!MayPass(status)) {
      break;
    }
    platform::Pause(wait);
    status = TryKill(path);
  }
  if (status != 0) {
    // Found only now: looking for the cause costs the normal run nothing.
    const Text advice = FileAdvice(status, path);
    Raise(ErrorForSystemCode(status), status, {}, path.view(), advice.view());
  }
}

void vbaEnd(ExitCode code) { platform::Exit(static_cast<int>(code)); }

Text FolderOf(std::wstring_view executable) {
  const std::size_t separator = executable.find_last_of(L"\\/"sv);
  if (separator == std::wstring_view::npos) {
    return Text::WithSize(0);
  }
  // "C:\tool.exe" keeps its root separator: "C:" alone would mean the drive's
  // current folder. (substr could throw, which would bring in the exception
  // runtime; the bounds are known here.)
  const bool driveRoot = separator > 0 && executable[separator - 1] == L':';
  return Text::Join({std::wstring_view(executable.data(), driveRoot ? separator + 1 : separator)});
}

constinit const AppObject App{};

Text AppObject::Path() const {
  Text executable;
  const std::uint32_t status = platform::ExecutableName(executable);
  if (status != 0) {
    vbaRaise(ErrorForSystemCode(status), status, {}, {});
  }
  return FolderOf(executable.view());
}

void* DllFunctionCall(const DeclaredFunction& function, void*& address) {
  if (address == nullptr) {
    std::uint32_t error = 0;
    address = platform::FindSystemFunction(function.library.data(), function.name, error);
    if (address == nullptr) {
      // A missing export is 127; any other failure is the library's.
      const ErrorNumber number =
          error == system_error::kProcNotFound ? ErrorNumber::DllEntryPoint : ErrorNumber::DllLoad;
      vbaRaise(number, error, {}, function.library);
    }
  }
  return address;
}

AnsiText vbaStrToAnsi(std::wstring_view text) { return platform::ToAnsi(text); }

void vbaSetSystemError() { g_lastDllError = platform::LastSystemError(); }

std::uint32_t LastDllError() { return g_lastDllError; }

}  // namespace rt
