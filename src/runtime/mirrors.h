// Where Windows keeps the VirtualStore mirror of the tool's folder, and for
// whom: the rules, over what the system lists.
#pragma once

#include <string_view>

#include "platform/platform.h"
#include "runtime/files.h"

namespace rt {

// What each VirtualStore mirror of the held folder `own` holds it as, below
// an account's local application data: "\VirtualStore" and the folder's path
// below its drive ("\VirtualStore\Program Files\x"). Windows keeps there
// what a legacy program (a 32-bit one without a manifest, run by a standard
// user) wrote into the folder. Empty where the folder does not lie in a place
// Windows virtualises. 0, or the code of a look that could not be made.
std::uint32_t MirrorTail(const platform::OpenFile& own, Text& tail);

// Calls `each` for every account whose mirror goes, with its local
// application data as two parts and `tail`: run with an administrator's
// rights, every profile the machine lists, each as another user's (`theirs`,
// the tool's own account's too); otherwise the tool's own account's. Run as
// administrator, a profile list that cannot be read or a profile that does
// not expand is another user's copy that stayed: noted, and 0. Otherwise 0,
// or the code of the look for the tool's own that could not be made.
using MirrorOwner = void (*)(std::wstring_view profile, std::wstring_view local, std::wstring_view tail, bool theirs);
std::uint32_t ForEachMirrorOwner(std::wstring_view tail, MirrorOwner each);

// Holds the mirror `mirror.path`, its first `base` characters being the
// local application data's folder the machine lists (see mirrors.cpp). 0
// with nothing held where there is none; 681 when refused; or the system
// error code.
std::uint32_t HoldMirror(HeldFolder& mirror, std::size_t base);

}  // namespace rt
