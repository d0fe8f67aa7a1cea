// A form as data: what the runtime needs to create the window, its controls
// and their handlers. Positions are twips, the designed unit; the runtime
// converts them at the window's DPI.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "runtime/program.h"

namespace rt {

inline constexpr int kTwipsPerInch = 1440;

// 16 bits hold 22 inches of twips, more than any form's place on a screen.
struct TwipsRect {
  std::int16_t left;
  std::int16_t top;
  std::int16_t width;
  std::int16_t height;
};

struct FontDescription {
  const char* face936;  // code page 936
  int points;
  int weight;
  std::uint8_t charset;
  bool italic;
  bool underline;
  bool strikeout;
};

enum class ControlKind : std::uint8_t { Label, CommandButton };

inline constexpr std::uint32_t kDefaultColor = 0xFFFFFFFFU;

struct ControlDescription {
  ControlKind kind;
  int id;                  // a command button with id 1 answers Return
  const char* caption936;  // code page 936
  TwipsRect rect;
  std::uint32_t foreColor;      // 0x00BBGGRR, or kDefaultColor
  const FontDescription* font;  // null: the system's dialog font
  void (*click)();
};

struct FormDescription {
  const char* caption936;  // code page 936
  TwipsRect client;        // position and size of the client area
  int iconGroup;
  std::span<const ControlDescription> controls;  // in tab order
  void (*load)();
};

// Creates the startup form hidden, runs its load handler, shows it, and
// dispatches its events until the program ends.
[[noreturn]] void ThunRTMain(const ProjectHeader& header);

}  // namespace rt
