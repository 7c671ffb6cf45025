# Cross build for 64-bit Windows with Debian's MinGW-w64, run under Wine.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The posix thread model is the one whose C++ library has std::mutex and std::thread, which
# GoogleTest needs; the win32 model has neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KOVA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KOVA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOVA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KOVA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KOVA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime libraries: the executables run under Wine without MinGW DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs every test binary through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# No Qt on this target: the link library and its tests only.
set(KOVA_LINK_ONLY ON CACHE BOOL "" FORCE)
set(KOVA_BUILD_BENCH OFF CACHE BOOL "" FORCE)
