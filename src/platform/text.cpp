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
  for (std::size_t i = 0; i <= size; ++i) {
    text.data_[i] = Char{};
  }
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

}  // namespace rt
