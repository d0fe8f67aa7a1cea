// The run-time error and its report: the numbers, the texts in the
// project's language, and the advice by the cause the system shows.
#include "runtime/report.h"

#include <new>

#include "runtime/files.h"
#include "runtime/report_texts.h"

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

// Noted copies a report lists, each as a report of its own; a taller box
// would run off a small screen.
constexpr std::uint32_t kMaxListed = 4;

// Programs an advice names at most; more are rare, and the user finds them.
constexpr std::size_t kMaxNamed = 3;

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
  UseLanguage(header.locale);
}

void OutOfMemory() {
  // The usual report is built in memory too; this one is a constant.
  platform::ReportAndExit(g_title, Describe(ErrorNumber::OutOfMemory).data(),
                          static_cast<int>(ErrorNumber::OutOfMemory));
}

}  // namespace rt
