// The VirtualStore mirrors: whether the folder has one, and whose.
#include "runtime/mirrors.h"

#include <array>
#include <string_view>

#include "runtime/report.h"

namespace rt {

namespace {

using namespace std::string_view_literals;

// "\\?\" before a final name, and "\\?\C:" before what lies below the drive.
constexpr std::size_t kVerbatim = 4;
constexpr std::size_t kDrive = kVerbatim + 2;

// Where Windows virtualises the writes of a legacy program since Windows
// Vista: Program Files and the Windows folder (%ProgramFiles% and
// %SystemRoot% in the UAC documentation; ProgramData, which some add, lets
// users create their own folders and so needs none). Program Files from
// each registry view: on 64-bit Windows the two name the 64-bit and the
// 32-bit one.
constexpr std::array<platform::SystemFolder, 3> kVirtualised = {
    platform::SystemFolder::ProgramFiles, platform::SystemFolder::ProgramFiles32, platform::SystemFolder::Windows};

// Whether `path` lies below `root`: the root itself, not a drive's, then a
// separator.
bool Below(std::wstring_view path, std::wstring_view root) {
  return root.size() > 3 && path.size() > root.size() && path[root.size()] == L'\\' &&
         platform::SameName({path.data(), root.size()}, root);
}

// A drive's full path ("C:\..."): anything else (a variable left unexpanded,
// a relative or UNC path) names no place the tool can be sure of.
bool OnADrive(std::wstring_view path) { return path.size() >= 3 && path[1] == L':' && path[2] == L'\\'; }

// What a look for a mirror answers where it is absent: no such file or
// folder, no such drive, a drive not ready (an empty card reader).
bool Absent(std::uint32_t status) {
  return status == system_error::kFileNotFound || status == system_error::kPathNotFound ||
         status == system_error::kNoSuchDrive || status == system_error::kNotReady;
}

// Whether `name`, a folder's kernel name, is `base`'s followed by `below`:
// not where the system resolved a link on the open.
bool NamedBelow(std::wstring_view name, std::wstring_view base, std::wstring_view below) {
  return name.size() == base.size() + below.size() && platform::SameName({name.data(), base.size()}, base) &&
         platform::SameName({name.data() + base.size(), below.size()}, below);
}

// Holds the first `base` characters of the mirror's path by that path, and
// gives the system's kernel name for it; 681 for a profile on another
// machine, whose share is named below the multiple UNC provider.
std::uint32_t HoldBase(HeldFolder& mirror, std::size_t base, platform::FileFacts& facts, Text& room,
                       std::wstring_view& name) {
  std::uint32_t status = platform::HoldFolder(nullptr, {mirror.path.data(), base}, mirror.handle, facts, false);
  if (status == 0) {
    status = platform::KernelName(mirror.handle, room, name);
  }
  constexpr std::wstring_view kRemote = platform::kRemoteVolume;
  if (status == 0 && name.size() > kRemote.size() && name[kRemote.size()] == L'\\' &&
      platform::SameName({name.data(), kRemote.size()}, kRemote)) {
    status = system_error::kStoppedOnSymlink;
  }
  // A folder that is a volume's root (a profile disk mounted at the
  // profile's folder) is named with its separator: what lies below it is
  // named as below any other.
  if (status == 0 && !name.empty() && name.back() == L'\\') {
    name.remove_suffix(1);
  }
  return status;
}

}  // namespace

// Holds the mirror `mirror.path`: its first `base` characters (a profile's
// folder, or the tool's own account's local application data) by that
// path, as the machine lists it (only administrators may change that list;
// a disk or a link there is followed, as Windows follows it for that user),
// then each folder below opened in the one before as itself. Only the
// innermost stays open: each folder's handle is given up only once the next
// is open in it, and a folder with an open handle inside it cannot be
// renamed or removed (NTFS, FAT), so the path it was reached by holds. The
// folders below are their user's to make links of, so a link among them,
// or a folder that lies elsewhere than its parent's name and its own say,
// is refused before anything in it is opened; so is a profile on another
// machine. 0 with nothing held where there is none; 681 when refused; or
// the system error code.
std::uint32_t HoldMirror(HeldFolder& mirror, std::size_t base) {
  const std::wstring_view path = mirror.path.view();
  platform::FileFacts facts;
  Text baseRoom;
  Text room;
  std::wstring_view baseName;
  std::wstring_view name;
  std::uint32_t status = HoldBase(mirror, base, facts, baseRoom, baseName);
  // Each folder below starts at a separator.
  for (std::size_t at = base; status == 0;) {
    if (facts.link) {
      status = system_error::kStoppedOnSymlink;
      break;
    }
    if (at == path.size()) {
      mirror.id = facts.id;
      return 0;
    }
    const std::size_t start = at + 1;
    for (at = start; at < path.size() && path[at] != L'\\'; ++at) {
    }
    platform::OpenFile below;
    status = platform::HoldFolder(&mirror.handle, {path.data() + start, at - start}, below, facts, at == path.size());
    mirror.handle = std::move(below);
    if (status == 0) {
      status = platform::KernelName(mirror.handle, room, name);
    }
    if (status == 0 && !NamedBelow(name, baseName, {path.data() + base, at - base})) {
      status = system_error::kStoppedOnSymlink;
    }
  }
  mirror.handle.reset();
  return Absent(status) ? 0 : status;
}

std::uint32_t MirrorTail(const platform::OpenFile& own, Text& tail) {
  // Where the held folder really lies decides, as it decides for Windows:
  // not the path the tool was started by (short names, a substituted or
  // mapped drive, a junction on the way).
  Text name;
  std::uint32_t status = platform::FinalName(own, name);
  // No drive's name for it that a legacy program could reach: RAM disks
  // answer 1, some user-mode file systems 1005, volumes the mount manager
  // does not know 3, a name past MAX_PATH 234. Some file-system filters
  // refuse normalising with anything else: the name as opened is asked then.
  if (status != 0 && status != system_error::kInvalidFunction && status != system_error::kUnrecognizedVolume &&
      status != system_error::kPathNotFound && status != system_error::kMoreData &&
      status != system_error::kNotEnoughMemory && status != system_error::kOutOfMemory) {
    status = platform::FinalName(own, name, true);
  }
  if (status != 0) {
    // No place Windows virtualises. Only a lack of memory is a failure.
    return status == system_error::kNotEnoughMemory || status == system_error::kOutOfMemory ? status : 0;
  }
  const std::wstring_view full = name.view();
  const std::wstring_view path{full.data() + kVerbatim, full.size() - kVerbatim};
  bool virtualised = false;
  for (const platform::SystemFolder which : kVirtualised) {
    Text root;
    status = platform::FolderOfSystem(which, root);
    if (status != 0) {
      return status;
    }
    virtualised = virtualised || Below(path, root.view());
  }
  // "\\?\C:\x" is kept as "...\VirtualStore\x".
  if (virtualised) {
    tail = Text::Join({L"\\VirtualStore"sv, {full.data() + kDrive, full.size() - kDrive}});
  }
  return 0;
}

std::uint32_t ForEachMirrorOwner(std::wstring_view tail, MirrorOwner each) {
  Text profiles;
  Text room;
  const bool all = platform::IsAdministrator();
  std::uint32_t status = all ? platform::ListedProfiles(profiles) : platform::OwnLocalAppData(profiles);
  if (status == 0 && !all) {
    each(profiles.view(), {}, tail, false);
  }
  // Every profile the machine lists, as the system records it (only
  // administrators may change that record; never a user's shell folders,
  // which they may point anywhere): the local application data below it.
  // What cannot be read or expanded is other users' business: noted.
  if (status != 0 && all) {
    Failed(true, status, RootKeyPrefix(RootKey::LocalMachine),
           {platform::kProfileList, std::size(platform::kProfileList) - 1}, {});
    status = 0;
  }
  for (std::size_t at = 0; all && at < profiles.size();) {
    std::wstring_view profile = NextItem(profiles.view(), at);
    bool variables = false;
    for (const wchar_t c : profile) {
      variables = variables || c == L'%';
    }
    // Stored with variables (old or migrated profiles): the system's own.
    const std::uint32_t expanded = variables ? platform::ExpandSystemVariables(profile.data(), room, profile) : 0;
    if (expanded != 0) {
      Failed(true, expanded, {}, profile, {});
    }
    if (expanded == 0 && OnADrive(profile)) {
      if (profile.back() == L'\\') {
        profile.remove_suffix(1);
      }
      each(profile, L"\\AppData\\Local"sv, tail, true);
    }
  }
  return status;
}

}  // namespace rt
