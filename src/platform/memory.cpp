// The memory function clang calls by itself to zero a structure or an array.
// Without a C runtime the program provides it; volatile stores keep the
// compiler from turning this very loop back into a call. Any other such call
// fails the link, which has no default libraries.
#include <cstddef>

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the name the compiler calls
extern "C" void* memset(void* destination, int value, std::size_t count) {
  auto* out = static_cast<volatile unsigned char*>(destination);
  while (count-- != 0) {
    *out++ = static_cast<unsigned char>(value);
  }
  return destination;
}
