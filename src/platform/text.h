// Owned, NUL-terminated text for the few strings the tool builds at run time
// (its folder, a full path, a key path in the ANSI code page), in storage
// from the seam. std::wstring would drag in the exception runtime; this is a
// buffer and a length.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace rt {

namespace platform {
// Raw storage from the system; null when there is none. Part of the seam,
// declared here with the one type that uses it.
void* Allocate(std::size_t bytes);
void Release(void* block) noexcept;
}  // namespace platform

// Reports that memory ran out and ends the program. Defined by the runtime,
// which words its reports; the one call a text makes upwards.
[[noreturn]] void OutOfMemory();

template <class Char>
class BasicText {
 public:
  BasicText() = default;
  BasicText(const BasicText&) = delete;
  BasicText& operator=(const BasicText&) = delete;
  BasicText(BasicText&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  BasicText& operator=(BasicText&& other) noexcept {
    if (this != &other) {
      platform::Release(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~BasicText() { platform::Release(data_); }

  // Room for `size` characters, not cleared, and the terminator.
  static BasicText WithSize(std::size_t size);

  // The parts one after another, nothing added between them.
  static BasicText Join(std::initializer_list<std::basic_string_view<Char>> parts);

  [[nodiscard]] const Char* c_str() const noexcept { return data_ != nullptr ? data_ : kEmpty; }
  [[nodiscard]] Char* data() noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::basic_string_view<Char> view() const noexcept { return {c_str(), size_}; }

  // Shortens the text in place, for buffers filled by the system.
  void Truncate(std::size_t size) noexcept {
    if (size < size_) {
      size_ = size;
      data_[size] = Char{};
    }
  }

 private:
  // One for the whole program, however many files use it.
  static constexpr Char kEmpty[1] = {};  // NOLINT(bugprone-dynamic-static-initializers): constant

  Char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Built once, in text.cpp: inlined, every call would carry a copy.
extern template class BasicText<wchar_t>;
extern template class BasicText<char>;

using Text = BasicText<wchar_t>;
using AnsiText = BasicText<char>;

// The item at `at` of a list whose items each end in a NUL within it (the
// hives, the profiles, the noted copies); `at` moves past that NUL.
std::wstring_view NextItem(std::wstring_view list, std::size_t& at);

// A list of such items that grows at its end: the text is its room, `used`
// how much of it the items fill. The room doubles when an item does not fit,
// so a list of thousands is copied a few times, not once an item.
struct ItemList {
  Text room;
  std::size_t used = 0;
  [[nodiscard]] std::wstring_view view() const noexcept { return {room.c_str(), used}; }
  // Where the next item goes, with room for `chars` characters and its NUL
  // (for an item the system writes there).
  wchar_t* Room(std::size_t chars);
  void Add(std::wstring_view item);
};

}  // namespace rt
