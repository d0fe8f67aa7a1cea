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

}  // namespace

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
