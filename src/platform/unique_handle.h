// One owner for every kind of handle, on any platform: move-only, closes once.
#pragma once

#include <utility>

namespace rt {

template <class Handle, class Closer>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(std::exchange(other.handle_, Handle{}));
    return *this;
  }
  ~UniqueHandle() { reset(); }

  [[nodiscard]] Handle get() const noexcept { return handle_; }
  void reset(Handle handle = Handle{}) noexcept {
    if (handle_ != Handle{}) {
      Closer{}(handle_);
    }
    handle_ = handle;
  }
  void swap(UniqueHandle& other) noexcept { std::swap(handle_, other.handle_); }
  // Where a call that opens something puts its handle; only on an empty owner.
  Handle* receive() noexcept { return &handle_; }
  // Gives the handle up unclosed, to what still uses it.
  Handle release() noexcept { return std::exchange(handle_, Handle{}); }

 private:
  Handle handle_{};
};

}  // namespace rt
