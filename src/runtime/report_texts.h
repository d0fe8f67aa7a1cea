// The runtime's texts in the project's language: the error descriptions and
// the report's other words, each found by name, packed at compile time.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/report.h"

namespace rt {

// The runtime's other texts, by name, after the descriptions.
enum class Says : std::uint8_t {
  // What comes before the error's number, and before the system's code.
  Heading,
  SystemError,
  // The pieces that name a program: "X.exe（进程 12）、Y.exe（进程 34）".
  ProcessBefore,
  ProcessAfter,
  BetweenPrograms,
  // Advice; the first three end in Finish, kept once.
  ProgramsUseIt,
  HeldOpen,
  ComesBack,
  ReadOnly,
  NeedsAdministrator,
  LeadsOutside,
  // Around the count of noted copies a report leaves out.
  MoreBefore,
  MoreAfter,
  Finish,
};
inline constexpr Says kNoAdvice = Says::Finish;

// The texts of the language `locale` names (as the project gives it); of the
// first language where no other is named.
void UseLanguage(std::uint16_t locale);

std::wstring_view Describe(ErrorNumber number);
std::wstring_view RuntimeText(Says name);

}  // namespace rt
