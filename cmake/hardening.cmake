# The hardening Debian builds its packages with (what `dpkg-buildflags` hands out, plus
# immediate binding), for the optimised build types of a Linux build. Debug builds do without:
# _FORTIFY_SOURCE needs optimisation. The sanitizer and fuzz builds do without too: their
# interceptors take the place of the fortified functions, and they are never shipped. The
# Windows cross build keeps its own static runtime, which has no stack protector library.
option(KOVA_HARDENING "Build with Debian's hardening flags (optimised Linux builds)" ON)

if(KOVA_HARDENING
   AND NOT WIN32
   AND NOT MSVC
   AND NOT KOVA_SANITIZE
   AND NOT KOVA_FUZZ)
  set(kova_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
  # Undefined first, in case the compiler already sets a level of its own.
  add_compile_options("$<${kova_optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>"
                      "$<${kova_optimised}:-fstack-protector-strong>"
                      "$<${kova_optimised}:-Wformat;-Werror=format-security>")
  add_link_options("$<${kova_optimised}:LINKER:-z,relro;LINKER:-z,now>")
  # Position-independent executables, so that the program's own code moves with ASLR too.
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  unset(kova_optimised)
endif()
