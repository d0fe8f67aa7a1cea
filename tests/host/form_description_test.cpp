// The window as data: its code page 936 texts say what they should, and its
// twips land on the designed whole pixels at 96 DPI.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "removal_window/form1.h"

namespace {

std::wstring FromGbk(const char* text) {
  iconv_t cd = iconv_open("WCHAR_T", "GBK");
  // iconv_open's failure value is (iconv_t)-1 by its definition.
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string in(text);
  std::wstring out(in.size() + 1, L'\0');
  char* inPtr = in.data();
  auto* outPtr = reinterpret_cast<char*>(out.data());
  std::size_t inLeft = in.size();
  std::size_t outLeft = out.size() * sizeof(wchar_t);
  EXPECT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<std::size_t>(-1)) << text;
  iconv_close(cd);
  out.resize(out.size() - outLeft / sizeof(wchar_t));
  return out;
}

TEST(Form1Description, TextsReadBackInCodePage936) {
  const rt::FormDescription& form = Form1::kDescription;
  ASSERT_EQ(form.controls.size(), 2U);
  EXPECT_EQ(FromGbk(form.caption936), L"御载");
  EXPECT_EQ(FromGbk(form.controls[0].caption936), L"已经成功御载！");
  EXPECT_EQ(FromGbk(form.controls[1].caption936), L"确定");
  ASSERT_NE(form.controls[0].font, nullptr);
  EXPECT_EQ(FromGbk(form.controls[0].font->face936), L"宋体");
}

TEST(Form1Description, LabelIsBlueBoldSongtiAndButtonEnds) {
  const rt::ControlDescription& label = Form1::kDescription.controls[0];
  const rt::ControlDescription& button = Form1::kDescription.controls[1];
  EXPECT_EQ(label.kind, rt::ControlKind::Label);
  EXPECT_EQ(label.foreColor, 0x00FF0000U);
  EXPECT_EQ(label.font->points, 12);
  EXPECT_EQ(label.font->weight, 700);
  EXPECT_EQ(label.font->charset, 134);
  EXPECT_FALSE(label.font->italic || label.font->underline || label.font->strikeout);
  EXPECT_EQ(button.kind, rt::ControlKind::CommandButton);
  EXPECT_EQ(button.id, 1);  // Return reaches it through the dialog manager
  EXPECT_EQ(button.click, &Form1::Command1_Click);
  EXPECT_EQ(Form1::kDescription.load, &Form1::Form_Load);
}

TEST(Form1Description, TwipsAreTheDesignedPixelsAt96Dpi) {
  struct Row {
    const char* what;
    rt::TwipsRect twips;
    rt::TwipsRect pixels96;
  };
  const rt::FormDescription& form = Form1::kDescription;
  for (const Row& row :
       {Row{"client", form.client, {276, 199, 264, 111}}, Row{"Label1", form.controls[0].rect, {64, 24, 145, 33}},
        Row{"Command1", form.controls[1].rect, {88, 72, 65, 25}}}) {
    SCOPED_TRACE(row.what);
    // 15 twips to the pixel at 96 DPI, with nothing left over.
    const auto px = [](int twips) {
      EXPECT_EQ(twips % 15, 0) << twips;
      return twips / 15;
    };
    EXPECT_EQ(px(row.twips.left), row.pixels96.left);
    EXPECT_EQ(px(row.twips.top), row.pixels96.top);
    EXPECT_EQ(px(row.twips.width), row.pixels96.width);
    EXPECT_EQ(px(row.twips.height), row.pixels96.height);
  }
  // The controls sit inside the client area and do not overlap.
  const rt::TwipsRect a = form.controls[0].rect;
  const rt::TwipsRect b = form.controls[1].rect;
  EXPECT_TRUE(a.top + a.height <= b.top || b.top + b.height <= a.top || a.left + a.width <= b.left ||
              b.left + b.width <= a.left);
  for (const rt::TwipsRect r : {a, b}) {
    EXPECT_LE(r.left + r.width, form.client.width);
    EXPECT_LE(r.top + r.height, form.client.height);
  }
}

}  // namespace
