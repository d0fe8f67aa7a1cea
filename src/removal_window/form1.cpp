#include "removal_window/form1.h"

#include "registry/module1.h"

namespace Form1 {

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
}

void Command1_Click() { rt::vbaEnd(rt::ExitCode::Completed); }

namespace {

// 宋体, 12 pt bold, GB2312.
constexpr rt::FontDescription kLabel1Font{"\xcb\xce\xcc\xe5", 12, 700, 134, false, false, false};

constexpr std::array kControls = {
    // 已经成功御载！ in pure blue.
    rt::ControlDescription{rt::ControlKind::Label, -1, "\xd2\xd1\xbe\xad\xb3\xc9\xb9\xa6\xd3\xf9\xd4\xd8\xa3\xa1",
                           {960, 360, 2175, 495}, 0x00FF0000U, &kLabel1Font, nullptr},
    // 确定
    rt::ControlDescription{rt::ControlKind::CommandButton, 1, "\xc8\xb7\xb6\xa8", {1320, 1080, 975, 375},
                           rt::kDefaultColor, nullptr, &Command1_Click},
};

}  // namespace

// 御载
const rt::FormDescription kDescription{"\xd3\xf9\xd4\xd8", {4140, 2985, 3960, 1665}, 1, kControls, &Form_Load};

}  // namespace Form1
