# What goes beside kova_en.exe on Windows, as `cmake --install` lays it out: the program, Qt's
# three libraries, the windows platform and Vista style plugins in the folders Qt looks for
# them beside the program, MinGW's C and C++ runtime libraries, and the licence.
# scripts/package-windows.sh strips these files and makes the zip and the installer of them.
# A cross build has no windeployqt; this list is the one place that says what ships, and
# tests/windows/check-dll-imports.sh checks that it holds every library the program imports.
install(TARGETS kova_en kova_en_console RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets> DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)

# Qt was built against MinGW's shared runtime, so its libraries need these beside them; the
# program takes the same ones rather than a second, static copy.
foreach(dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll} OUTPUT_VARIABLE path
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "MinGW's ${dll} not found (${CMAKE_CXX_COMPILER} -print-file-name said '${path}')")
  endif()
  install(FILES ${path} DESTINATION .)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

# What scripts/package-windows.sh needs to name and label the packages, from the one version
# source and the one maker's name.
file(WRITE ${PROJECT_BINARY_DIR}/windows-package.txt "${PROJECT_VERSION}\n${KOVA_COMPANY}\n")

# The report and serve-line schemas, for a station that files the reports.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/schemas/ DESTINATION schemas FILES_MATCHING PATTERN "*.json")
