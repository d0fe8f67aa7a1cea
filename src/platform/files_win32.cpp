// The seam's files on Win32: the own folder held by its native path, each
// target opened as itself relative to it, its identity, and its deletion.
#include "platform/native_win32.h"

#include <array>
#include <utility>

namespace rt::platform {

using native::kShareAll;
using native::NtQueryInformationFileCall;

std::uint32_t ExecutableName(Text& name) {
  // Any length: grow until the name fits (it is cut, not failed, when short).
  for (DWORD capacity = MAX_PATH;; capacity *= 2) {
    Text buffer = Text::WithSize(capacity);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0) {
      return GetLastError();
    }
    if (length < capacity) {
      buffer.Truncate(length);
      name = std::move(buffer);
      return 0;
    }
  }
}

void CloseFile(void* handle) noexcept { CloseHandle(handle); }

bool SameFile(const FileId& a, const FileId& b) {
  for (std::size_t i = 0; i < a.parts.size(); ++i) {
    if (a.parts[i] != b.parts[i]) {
      return false;
    }
  }
  return true;
}

namespace {

// Status codes of the native calls, where one must be told apart.
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056L);
constexpr ULONG kFileOpen = 1;
constexpr ULONG kDirectoryFile = 0x1;
constexpr ULONG kSynchronousIo = 0x20;
constexpr ULONG kNonDirectoryFile = 0x40;
constexpr ULONG kOpenReparsePoint = 0x200000;
// Windows 10 1607 on; the headers hide it behind a later version.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// Opens `name` below `root` (or the full native name, without a root),
// taking the name as it stands: no link resolved by the system's own choice
// where FILE_OPEN_REPARSE_POINT is in `options`, no trimming, no length limit.
DWORD OpenNative(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG options, OpenFile& file) {
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  UNICODE_STRING text{bytes, bytes, const_cast<wchar_t*>(name.data())};
  OBJECT_ATTRIBUTES attributes{sizeof attributes, root, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = native::Find<decltype(&NtCreateFile)>("NtCreateFile")(
      &handle, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, kFileOpen,
      options | kSynchronousIo, nullptr, 0);
  if (status == kStatusDeletePending) {
    // Win32 calls this "access denied"; it is a deletion on its way.
    return system_error::kDeletePending;
  }
  if (status != 0) {
    return native::Find<decltype(&RtlNtStatusToDosError)>("RtlNtStatusToDosError")(status);
  }
  file.reset(handle);
  return 0;
}

constexpr int kFileInternalInformation = 6;

}  // namespace

// (ReFS has 128-bit ids of which
// the index is a part: two files there may share it, which could only make
// the advice name a program too many, or take a file put back for the same
// one; what is deleted is decided by the open.)
DWORD native::Examine(HANDLE file, FileFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(file, &info) == FALSE) {
    return GetLastError();
  }
  facts.readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  facts.id.parts = {info.dwVolumeSerialNumber, info.nFileIndexLow, info.nFileIndexHigh};
  return 0;
}

namespace {

// The identity of a file on `volume`: its index alone, which is cheap to
// ask, where the volume's serial number is not (Wine takes a third of a
// millisecond). A file opened relative to the held folder, as itself, lies
// on the folder's volume, and so does the folder a name in it leads to.
DWORD IdentifyOn(HANDLE file, DWORD volume, FileId& id) {
  IO_STATUS_BLOCK io{};
  id.parts[0] = volume;
  return native::Find<NtQueryInformationFileCall>("NtQueryInformationFile")(file, &io, &id.parts[1], 2 * sizeof(ULONG),
                                                                            kFileInternalInformation) == 0
             ? 0
             : ERROR_INVALID_FUNCTION;
}

// Whether `file`, opened as `name` in the folder `folderId`, is that name.
// Windows opens a link as itself, and the answer is yes by construction;
// Wine resolves a Unix symbolic link on open, and the file it reached then
// has another name, or lies in another folder, which shows in the name the
// system gives the handle: its last part must be `name`, and what comes
// before it must open as the held folder itself.
bool IsTheName(HANDLE file, const FileId& folderId, std::wstring_view name) {
  // Room for the longest name the system can give, after its header.
  constexpr std::size_t kChars = sizeof(UNICODE_STRING) / sizeof(wchar_t) + 0x8000;
  Text buffer = Text::WithSize(kChars);
  auto* given = reinterpret_cast<UNICODE_STRING*>(buffer.data());
  ULONG size = 0;
  if (native::Find<decltype(&NtQueryObject)>("NtQueryObject")(file, ObjectNameInformation, given,
                                                              ULONG{kChars * sizeof(wchar_t)}, &size) != 0) {
    // A file system that gives no name: on Windows the open took the name
    // itself, and there is nothing more to see.
    return true;
  }
  std::size_t last = given->Length / sizeof(wchar_t);
  while (last != 0 && given->Buffer[last - 1] != L'\\') {
    --last;
  }
  const auto nameSize = static_cast<int>(given->Length / sizeof(wchar_t) - last);
  OpenFile parent;
  FileFacts facts;
  return CompareStringOrdinal(given->Buffer + last, nameSize, name.data(), static_cast<int>(name.size()), TRUE) ==
             CSTR_EQUAL &&
         OpenNative(nullptr, {given->Buffer, last}, 0, kShareAll, kDirectoryFile, parent) == 0 &&
         IdentifyOn(parent.get(), folderId.parts[0], facts.id) == 0 && SameFile(facts.id, folderId);
}

// "C:\x", "\\server\share\x" or "\\?\C:\x" as the native "\??\C:\x" or
// "\??\UNC\server\share\x": taken as written, at any length.
Text NativePath(std::wstring_view path) {
  using namespace std::string_view_literals;
  const bool unc = path.size() > 2 && path[1] == L'\\';
  const bool verbatim = unc && (path[2] == L'?' || path[2] == L'.');
  const std::size_t skip = verbatim ? 3 : unc ? 1 : 0;
  return Text::Join({verbatim ? L"\\??"sv
                     : unc    ? L"\\??\\UNC"sv
                              : L"\\??\\"sv,
                     {path.data() + skip, path.size() - skip}});
}

}  // namespace

std::uint32_t HoldFolder(std::wstring_view path, OpenFile& folder, FileId& id) {
  // Without delete sharing nobody can rename, move or remove the folder while
  // this handle is open; only a handle with data access takes part in that
  // check.
  const Text nativePath = NativePath(path);
  DWORD status = OpenNative(nullptr, nativePath.view(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            kDirectoryFile, folder);
  FileFacts facts;
  if (status == 0) {
    status = native::Examine(folder.get(), facts);
  }
  id = facts.id;
  return status;
}

std::uint32_t OpenInFolder(const OpenFile& folder, const FileId& folderId, std::wstring_view name, Access access,
                           OpenFile& file, FileFacts& facts) {
  // For deletion: the share modes DeleteFileW uses, so the same holders stop it.
  const bool forDeletion = access == Access::Delete;
  DWORD status =
      OpenNative(folder.get(), name, forDeletion ? DELETE : 0, kShareAll, kNonDirectoryFile | kOpenReparsePoint, file);
  if (status == 0) {
    status = forDeletion ? IdentifyOn(file.get(), folderId.parts[0], facts.id) : native::Examine(file.get(), facts);
  }
  if (status == 0 && forDeletion && !IsTheName(file.get(), folderId, name)) {
    file.reset();
    status = system_error::kStoppedOnSymlink;
  }
  return status;
}

std::uint32_t MarkForDeletion(const OpenFile& file) {
  // POSIX semantics take the name away at once, even while another program
  // has the file open; where they are not offered, the classic way.
  FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  if (SetFileInformationByHandle(file.get(), kFileDispositionInfoEx, &posix, sizeof posix) != FALSE) {
    return 0;
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition) != FALSE
             ? 0
             : GetLastError();
}

}  // namespace rt::platform
