// Owned text: built once here, for wide and narrow characters.
#include "platform/text.h"

namespace rt {

template <class Char>
BasicText<Char> BasicText<Char>::WithSize(std::size_t size) {
  BasicText text;
  text.data_ = static_cast<Char*>(platform::Allocate((size + 1) * sizeof(Char)));
  if (text.data_ == nullptr) {
    OutOfMemory();
  }
  text.size_ = size;
  // Every caller fills the characters: a joined text, or a buffer the system
  // writes into (some of 64 KiB, where clearing each would cost more than
  // the call).
  text.data_[size] = Char{};
  return text;
}

template <class Char>
BasicText<Char> BasicText<Char>::Join(std::initializer_list<std::basic_string_view<Char>> parts) {
  std::size_t total = 0;
  for (const auto part : parts) {
    total += part.size();
  }
  BasicText text = WithSize(total);
  Char* out = text.data_;
  for (const auto part : parts) {
    for (const Char c : part) {
      *out++ = c;
    }
  }
  return text;
}

template class BasicText<wchar_t>;
template class BasicText<char>;

std::wstring_view NextItem(std::wstring_view list, std::size_t& at) {
  const std::size_t start = at;
  while (list[at] != L'\0') {
    ++at;
  }
  return {list.data() + start, at++ - start};
}

wchar_t* ItemList::Room(std::size_t chars) {
  if (room.size() - used <= chars) {
    Text grown = Text::WithSize(2 * room.size() + chars + 1);
    for (std::size_t at = 0; at < used; ++at) {
      // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.Assign): the items added
      grown.data()[at] = room.c_str()[at];
    }
    room = std::move(grown);
  }
  return room.data() + used;
}

void ItemList::Add(std::wstring_view item) {
  wchar_t* out = Room(item.size());
  for (const wchar_t c : item) {
    *out++ = c;
  }
  *out = L'\0';
  used += item.size() + 1;
}

}  // namespace rt
