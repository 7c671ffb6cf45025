# Cross build of the link library and its tests for 64-bit Windows with Debian's MinGW-w64,
# run under Wine:
#   cmake -S . -B build-windows-link -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The whole program is built against Qt for Windows instead (`make windows`).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-compilers.cmake)

# Static runtime libraries: the executables run under Wine without MinGW DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs every test binary through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# No Qt on this target: the link library and its tests only.
set(KOVA_LINK_ONLY ON CACHE BOOL "" FORCE)
set(KOVA_BUILD_BENCH OFF CACHE BOOL "" FORCE)
