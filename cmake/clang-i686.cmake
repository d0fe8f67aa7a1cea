# Cross-build for 32-bit Windows with Debian's clang and lld, against the
# MinGW-w64 headers and import libraries; Wine runs what CTest starts.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(triple i686-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
# llvm-windres ignores the script's #pragma code_page: name it here.
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_RC_FLAGS "--target=${triple} --codepage=65001")
set(CMAKE_SYSROOT /usr/i686-w64-mingw32)

# clang looks for the default (win32 threads) MinGW folder; the C++ headers
# are taken from the posix one, as the MinGW preset's compiler does.
set(mingw_gcc /usr/lib/gcc/i686-w64-mingw32/12-posix)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${mingw_gcc}/include/c++ -isystem ${mingw_gcc}/include/c++/i686-w64-mingw32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${mingw_gcc}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${mingw_gcc}")

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run)
