// The two memory functions compilers call by themselves for a zeroed array or
// a structure copy. Without a C runtime the program provides them; volatile
// stores keep the compiler from turning these very loops back into calls.
#include <cstddef>

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the names the compiler calls
extern "C" void* memset(void* destination, int value, std::size_t count) {
  auto* out = static_cast<volatile unsigned char*>(destination);
  while (count-- != 0) {
    *out++ = static_cast<unsigned char>(value);
  }
  return destination;
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the names the compiler calls
extern "C" void* memcpy(void* destination, const void* source, std::size_t count) {
  auto* out = static_cast<volatile unsigned char*>(destination);
  const auto* in = static_cast<const unsigned char*>(source);
  while (count-- != 0) {
    *out++ = *in++;
  }
  return destination;
}
