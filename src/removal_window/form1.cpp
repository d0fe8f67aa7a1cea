// Form1: the removal sequence (its load handler) and the completion window, as data.
#include "removal_window/form1.h"

#include "registry/module1.h"

namespace Form1 {

using namespace std::string_view_literals;

void Form_Load() {
  if (rt::rtcMsgBox(kConfirmPrompt, kConfirmFlags, kConfirmTitle) != rt::kAnswerYes) {
    rt::vbaEnd(rt::ExitCode::Declined);
  }
  for (const auto& key : kRegistryTargets) {
    Module1::RemoveRegKey(key.root, key.path);
  }
  for (const auto name : kFileTargets) {
    const rt::Text folder = rt::App.Path();
    const rt::Text path = rt::Text::Join({folder.view(), name});
    rt::rtcKillFiles(path);
  }
  // Nothing is said to be gone that came back meanwhile.
  for (const auto& key : kRegistryTargets) {
    Module1::ConfirmRegKeyGone(key.root, key.path);
  }
}

void Command1_Click() { rt::vbaEnd(rt::ExitCode::Completed); }

namespace {

// Texts in code page 936, each with what it reads as.
constexpr rt::FontDescription kLabel1Font{
    .face936 = "\xcb\xce\xcc\xe5",  // 宋体
    .points = 12,
    .weight = 700,
    .charset = 134,  // GB2312
    .italic = false,
    .underline = false,
    .strikeout = false,
};

constexpr rt::ControlDescription Label1{
    .kind = rt::ControlKind::Label,
    .id = -1,
    .caption936 = "\xd2\xd1\xbe\xad\xb3\xc9\xb9\xa6\xd3\xf9\xd4\xd8\xa3\xa1",  // 已经成功御载！
    .rect = {.left = 960, .top = 360, .width = 2175, .height = 495},
    .foreColor = 0x00FF0000U,  // pure blue
    .font = &kLabel1Font,
    .click = nullptr,
};

constexpr rt::ControlDescription Command1{
    .kind = rt::ControlKind::CommandButton,
    .id = 1,
    .caption936 = "\xc8\xb7\xb6\xa8",  // 确定
    .rect = {.left = 1320, .top = 1080, .width = 975, .height = 375},
    .foreColor = rt::kDefaultColor,
    .font = nullptr,
    .click = &Command1_Click,
};

// In tab order.
constexpr std::array<rt::ControlDescription, 2> kControls = {Label1, Command1};

}  // namespace

constinit const rt::FormDescription kDescription{
    .caption936 = "\xd3\xf9\xd4\xd8",  // 御载
    .client = {.left = 4140, .top = 2985, .width = 3960, .height = 1665},
    .iconGroup = 1,
    .controls = kControls,
    .load = &Form_Load,
};

}  // namespace Form1
