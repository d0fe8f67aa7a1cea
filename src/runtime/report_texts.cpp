// The runtime's texts: each language's lines, packed into one literal at
// compile time, and found again by name.
#include "runtime/report_texts.h"

#include <array>

namespace rt {

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

struct RuntimeTexts {
  std::uint16_t locale;
  const wchar_t* texts;
};

constexpr std::array<RuntimeTexts, 1> kRuntimeTexts = {
    RuntimeTexts{2052, kChinese.data()},
};

// Null until the project names its locale: the first table.
constinit const RuntimeTexts* g_texts = nullptr;

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

}  // namespace

std::wstring_view Describe(ErrorNumber number) {
  std::size_t index = 0;
  while (index + 1 < kDescribed.size() && kDescribed[index] != number) {
    ++index;
  }
  return TextAt(index);  // every number the runtime raises is described
}

std::wstring_view RuntimeText(Says name) { return TextAt(kDescribed.size() + static_cast<std::size_t>(name)); }

void UseLanguage(std::uint16_t locale) {
  for (const auto& texts : kRuntimeTexts) {
    if (texts.locale == locale) {
      g_texts = &texts;
    }
  }
}

}  // namespace rt
