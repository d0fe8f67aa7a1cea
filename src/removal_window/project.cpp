// The project header the entry point hands to the runtime.
#include "removal_window/project.h"

#include "removal_window/form1.h"
#include "resources/version.h"

namespace Project {

namespace {

// Chinese (PRC): the runtime's texts are Simplified Chinese.
constexpr std::uint16_t kLocaleChinesePrc = 2052;

// The report box is titled with the program's name, so the user knows who speaks.
constexpr wchar_t kTitle[] = UNINSTALL_WIDE(UNINSTALL_PRODUCT_NAME);

}  // namespace

constinit const rt::ProjectHeader kHeader{&Form1::kDescription, kLocaleChinesePrc, kTitle};

}  // namespace Project
