// The seam's files on Win32: the own folder held by its native path, each
// target opened as itself relative to it, its identity, and its deletion.
#include "platform/native_win32.h"

#include <array>
#include <new>
#include <utility>

namespace rt::platform {

using native::kDirectoryFile;
using native::kNonDirectoryFile;
using native::kOpenReparsePoint;
using native::kShareAll;
using native::NtQueryInformationFileCall;
using native::OpenNative;

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
constexpr ULONG kSynchronousIo = 0x20;
// An open that would wait for another program to let go of its oplock
// completes at once instead, with a status of its own (NtCreateFile).
constexpr ULONG kCompleteIfOplocked = 0x100;
constexpr NTSTATUS kStatusOplockBreakInProgress = 0x108;

constexpr int kFileInternalInformation = 6;

}  // namespace

DWORD native::OpenNative(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG options,
                         OpenFile& file, ULONG attributes) {
  // A counted name holds at most 32,767 characters; a longer one is no file's.
  if (name.size() > 0x7FFF) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  UNICODE_STRING text{bytes, bytes, const_cast<wchar_t*>(name.data())};
  // Should a name ever reach a pipe, its server may only identify the tool,
  // never act as it.
  SECURITY_QUALITY_OF_SERVICE identifyOnly{sizeof identifyOnly, SecurityIdentification, SECURITY_STATIC_TRACKING, TRUE};
  OBJECT_ATTRIBUTES object{sizeof object, root, &text, OBJ_CASE_INSENSITIVE | attributes, nullptr, &identifyOnly};
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = native::Find<decltype(&NtCreateFile)>("NtCreateFile")(
      &handle, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &object, &io, nullptr, 0, share, kFileOpen,
      options | kSynchronousIo | kCompleteIfOplocked, nullptr, 0);
  if (status == kStatusDeletePending) {
    // Win32 calls this "access denied"; it is a deletion on its way.
    return system_error::kDeletePending;
  }
  if (status == kStatusOplockBreakInProgress) {
    // Another program's oplock, which it may never give up: in use, as a
    // file it has open.
    CloseHandle(handle);
    return system_error::kSharingViolation;
  }
  if (status != 0) {
    return native::DosError(status);
  }
  file.reset(handle);
  return 0;
}

// (ReFS has 128-bit ids of which
// the index is a part: two files there may share it, which could only make
// a file put back pass for the same one; what is deleted is decided by the
// open.)
DWORD native::Examine(HANDLE file, FileFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(file, &info) == FALSE) {
    return GetLastError();
  }
  facts.readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  facts.link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  facts.id.parts = {info.dwVolumeSerialNumber, info.nFileIndexLow, info.nFileIndexHigh};
  return 0;
}

bool native::SameText(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

void* native::FindInNtdll(const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name));
}

DWORD native::DosError(NTSTATUS status) {
  return Find<decltype(&RtlNtStatusToDosError)>("RtlNtStatusToDosError")(status);
}

DWORD native::NameOf(HANDLE handle, Text& room, std::wstring_view& name) {
  // A room given before serves again: a walk asks at every folder.
  if (room.size() != kNameChars) {
    room = Text::WithSize(kNameChars);
  }
  auto* given = reinterpret_cast<UNICODE_STRING*>(room.data());
  ULONG size = 0;
  const NTSTATUS status = Find<decltype(&NtQueryObject)>("NtQueryObject")(handle, ObjectNameInformation, given,
                                                                          ULONG{kNameChars * sizeof(wchar_t)}, &size);
  if (status != 0) {
    return DosError(status);
  }
  name = {given->Buffer, given->Length / sizeof(wchar_t)};
  return 0;
}

namespace {

// The identity of a file on `volume`: its index alone, which is cheap to
// ask, where the volume's serial number is not (Wine takes a third of a
// millisecond). A file opened relative to the held folder, as itself, lies
// on the folder's volume.
DWORD IdentifyOn(HANDLE file, DWORD volume, FileId& id) {
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER index{};
  const NTSTATUS status = native::Find<NtQueryInformationFileCall>("NtQueryInformationFile")(
      file, &io, &index, sizeof index, kFileInternalInformation);
  id.parts = {volume, index.LowPart, static_cast<std::uint32_t>(index.HighPart)};
  return status == 0 ? 0 : native::DosError(status);
}

constinit HANDLE g_namedFolder = nullptr;
constinit Text* g_folderRoom = nullptr;
constinit std::wstring_view g_folderName;

// Whether `file`, opened as `name` in the held `folder` (whose identity is
// `folderId`), is that name: 0 when it is, 681 when the system shows it
// elsewhere, or the code of the check that could not run, and then the file
// is not taken for the name. Windows opens a link as itself, and the answer
// is yes by construction; Wine resolves a Unix symbolic link on open, and
// the file it reached then has another name, or lies in another folder,
// which shows in the name the system gives the handle: its last part must be
// `name`, and what comes before it must open as the held folder itself. Its
// number is compared always; its volume too where it is named otherwise
// than the held folder (a volume's serial costs Wine a third of a
// millisecond, and a folder named as the held one lies on its volume).
DWORD CheckIsTheName(HANDLE file, HANDLE folder, const FileId& folderId, std::wstring_view name) {
  Text room;
  std::wstring_view given;
  DWORD status = native::NameOf(file, room, given);
  if (status != 0) {
    return status;
  }
  std::size_t last = given.size();
  while (last != 0 && given[last - 1] != L'\\') {
    --last;
  }
  if (!native::SameText({given.data() + last, given.size() - last}, name)) {
    return system_error::kStoppedOnSymlink;
  }
  const std::wstring_view parentName{given.data(), last != 0 ? last - 1 : 0};
  // The held folder's name, asked once for each folder (a held folder
  // cannot be renamed) and kept to the end: it only decides whether the
  // volume's serial must be asked too, so a stale one costs time, never
  // the answer.
  if (folder != g_namedFolder) {
    if (g_folderRoom == nullptr) {
      void* block = Allocate(sizeof(Text));
      if (block == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
      }
      g_folderRoom = new (block) Text;
    }
    status = native::NameOf(folder, *g_folderRoom, g_folderName);
    g_namedFolder = status == 0 ? folder : nullptr;
  }
  OpenFile parent;
  FileFacts facts;
  if (status == 0) {
    status = OpenNative(nullptr, {given.data(), last}, 0, kShareAll, kDirectoryFile, parent);
  }
  if (status == 0) {
    status = native::SameText(parentName, g_folderName) ? IdentifyOn(parent.get(), folderId.parts[0], facts.id)
                                                        : native::Examine(parent.get(), facts);
  }
  return status != 0 ? status : SameFile(facts.id, folderId) ? 0 : system_error::kStoppedOnSymlink;
}

// "C:\x", "\\server\share\x" or "\\?\C:\x" as the native "\??\C:\x" or
// "\??\UNC\server\share\x": taken as written, at any length.
Text NativePath(std::wstring_view path) {
  using namespace std::string_view_literals;
  const bool unc = path.size() > 2 && path[1] == L'\\';
  const bool verbatim = unc && (path[2] == L'?' || path[2] == L'.');
  const std::size_t skip = verbatim ? 3 : unc ? 1 : 0;
  // One literal for the three prefixes.
  constexpr std::wstring_view kUnc = L"\\??\\UNC"sv;
  return Text::Join({{kUnc.data(), verbatim ? 3U : unc ? kUnc.size() : 4U}, {path.data() + skip, path.size() - skip}});
}

}  // namespace

std::uint32_t HoldFolder(const OpenFile* in, std::wstring_view path, OpenFile& folder, FileFacts& facts,
                         bool identify) {
  // Without delete sharing nobody can rename, move or remove the folder while
  // this handle is open; only a handle with data access takes part in that
  // check.
  const Text nativePath = in == nullptr ? NativePath(path) : Text{};
  DWORD status =
      OpenNative(in != nullptr ? in->get() : nullptr, in != nullptr ? path : nativePath.view(), FILE_LIST_DIRECTORY,
                 FILE_SHARE_READ | FILE_SHARE_WRITE, kDirectoryFile | (in != nullptr ? kOpenReparsePoint : 0), folder);
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (status == 0 && !identify) {
    status = GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &tag, sizeof tag) != FALSE
                 ? 0
                 : GetLastError();
    facts.link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }
  if (status == 0 && identify) {
    status = native::Examine(folder.get(), facts);
  }
  if (status != 0) {
    folder.reset();
  }
  return status;
}

std::uint32_t OpenInFolder(const OpenFile& folder, const FileId& folderId, std::wstring_view name, Access access,
                           OpenFile& file, FileFacts& facts) {
  // For deletion: the share modes DeleteFileW uses, so the same holders stop it.
  const bool forDeletion = access == Access::Delete;
  DWORD status = OpenNative(folder.get(), name, access == Access::Look ? 0 : DELETE,
                            access == Access::Alone ? 0 : kShareAll, kNonDirectoryFile | kOpenReparsePoint, file);
  // Opened in the held folder as itself, it lies on the folder's volume.
  if (status == 0) {
    status = IdentifyOn(file.get(), folderId.parts[0], facts.id);
  }
  FILE_BASIC_INFO basic{};
  if (status == 0) {
    status =
        GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic) != FALSE ? 0 : GetLastError();
    facts.changeTime = {basic.ChangeTime.LowPart, static_cast<std::uint32_t>(basic.ChangeTime.HighPart)};
    facts.readOnly = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  }
  if (status == 0 && forDeletion) {
    status = CheckIsTheName(file.get(), folder.get(), folderId, name);
    // Deleted by another program (a second copy) since the open: with POSIX
    // semantics the handle is named under \$Extend\$Deleted and has no link
    // left, otherwise its deletion is pending. Gone, not elsewhere.
    FILE_STANDARD_INFO standard{};
    if (status != 0 &&
        GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard) != FALSE &&
        (standard.DeletePending != FALSE || standard.NumberOfLinks == 0)) {
      status = system_error::kDeletePending;
    }
  }
  if (status != 0) {
    file.reset();
  }
  return status;
}

bool KeepsDeletedNames() {
  // Wine's ntdll names itself; no Windows has this export.
  return native::FindInNtdll("wine_get_version") != nullptr;
}

}  // namespace rt::platform
