# Installation and the Debian package (`cpack -G DEB` in the build directory): the program,
# the virtual panel, their manual pages, the desktop entry, the AppStream metadata, the icons,
# the Python package and the schemas, the licence and the changelog.
# On Windows the installer and the zip are made by scripts/package-windows.sh instead.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-package.cmake)
  return()
endif()
include(GNUInstallDirs)

set(KOVA_PACKAGE kova-en)
set(KOVA_MAINTAINER "The KOVA_EN developers <maintainers@kova-en.example.org>")
set(KOVA_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)
set(KOVA_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${KOVA_PACKAGE})

install(TARGETS kova_en RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET kova_sim)
  install(TARGETS kova_sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The changelog's top entry must be this release: its date is the release date AppStream shows.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog kova_changelog)
list(GET kova_changelog 0 kova_top_entry)
if(NOT kova_top_entry MATCHES "^${KOVA_PACKAGE} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${kova_top_entry}'; "
                      "give version ${PROJECT_VERSION} an entry at the top")
endif()
foreach(line IN LISTS kova_changelog)
  if(line MATCHES "^ -- .*  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    set(kova_day ${CMAKE_MATCH_1})
    set(kova_year ${CMAKE_MATCH_3})
    set(KOVA_MONTHS Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(FIND KOVA_MONTHS "${CMAKE_MATCH_2}" kova_month)
    math(EXPR kova_month "${kova_month} + 1" OUTPUT_FORMAT DECIMAL)
    string(LENGTH "${kova_month}" kova_month_digits)
    if(kova_month_digits EQUAL 1)
      set(kova_month 0${kova_month})
    endif()
    set(KOVA_RELEASE_DATE ${kova_year}-${kova_month}-${kova_day})
    break()
  endif()
endforeach()
if(NOT KOVA_RELEASE_DATE)
  message(FATAL_ERROR "packaging/changelog: the top entry has no trailer line with a date")
endif()

# The Python package for the system's Python (Debian's python3 reads /usr/lib/python3/dist-packages),
# with the metadata that lets pytest find its plugin by itself; and the schemas of the reports
# and of the serve lines. The package's version is the program's: checked here, like the changelog.
file(STRINGS ${PROJECT_SOURCE_DIR}/python/pyproject.toml kova_py_version REGEX "^version = ")
if(NOT kova_py_version STREQUAL "version = \"${PROJECT_VERSION}\"")
  message(FATAL_ERROR "python/pyproject.toml says '${kova_py_version}'; give it version ${PROJECT_VERSION}")
endif()
set(KOVA_PYTHON_DIR lib/python3/dist-packages CACHE STRING "where the Python package kova is installed, under the prefix")
file(GLOB kova_py_files ${PROJECT_SOURCE_DIR}/python/kova/*.py)
install(FILES ${kova_py_files} ${PROJECT_SOURCE_DIR}/python/kova/py.typed DESTINATION ${KOVA_PYTHON_DIR}/kova)
set(kova_dist_info ${KOVA_PACKAGING_DIR}/kova-${PROJECT_VERSION}.dist-info)
file(WRITE ${kova_dist_info}/METADATA "Metadata-Version: 2.1\nName: kova\nVersion: ${PROJECT_VERSION}\n"
     "Summary: Drive a KOVA operator panel from Python through kova_en --serve, with a pytest plugin\n")
file(WRITE ${kova_dist_info}/entry_points.txt "[pytest11]\nkova.pytest_plugin = kova.pytest_plugin\n")
file(WRITE ${kova_dist_info}/top_level.txt "kova\n")
file(WRITE ${kova_dist_info}/INSTALLER "dpkg\n")
install(DIRECTORY ${kova_dist_info} DESTINATION ${KOVA_PYTHON_DIR})
install(DIRECTORY schemas/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kova_en/schemas FILES_MATCHING PATTERN "*.json")

install(FILES packaging/${KOVA_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(packaging/${KOVA_APP_ID}.metainfo.xml.in ${KOVA_PACKAGING_DIR}/${KOVA_APP_ID}.metainfo.xml @ONLY)
install(FILES ${KOVA_PACKAGING_DIR}/${KOVA_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Each icon in the folder of its size: the two small ones drawn pixel by pixel, the larger ones
# as vectors, 256 pixels under the name the program itself uses.
foreach(size 16 32 48 64 128)
  install(FILES res/icon_${size}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME kova_en.png)
endforeach()
install(FILES res/kova_en.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)

# Files the package installs compressed, the way Debian keeps them: gzip -9 without a name or
# time stamp, so that the same input gives the same bytes.
find_program(KOVA_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT ${KOVA_PACKAGING_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/changelog ${KOVA_PACKAGING_DIR}/changelog
  COMMAND ${KOVA_GZIP} -9 -n -f ${KOVA_PACKAGING_DIR}/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
set(kova_packaging_outputs ${KOVA_PACKAGING_DIR}/changelog.gz)
install(FILES ${KOVA_PACKAGING_DIR}/changelog.gz packaging/copyright DESTINATION ${KOVA_PACKAGE_DOCDIR})

# The manual pages, made by help2man from each program's --help and --version, with the
# sections --help cannot hold (configuration, files, exit status) from packaging/*.h2m. Made
# from the programs just built, so an option added to --help is in the manual at once. Not in
# the sanitizer, fuzz and cross builds, which never ship.
find_program(KOVA_HELP2MAN help2man)
if(NOT KOVA_HELP2MAN)
  message(STATUS "help2man not found: no manual pages (apt-get install help2man)")
elseif(NOT CMAKE_CROSSCOMPILING
       AND NOT KOVA_SANITIZE
       AND NOT KOVA_FUZZ)
  set(kova_man_name_kova_en "test and demonstration program for the KOVA operator panel")
  set(kova_man_name_kova_sim "virtual KOVA operator panel on a pseudo-terminal")
  foreach(program kova_en kova_sim)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${KOVA_PACKAGING_DIR}/${program}.1)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ${KOVA_HELP2MAN} --no-info
              "--name=${kova_man_name_${program}}" --version-string=${PROJECT_VERSION}
              --include=${PROJECT_SOURCE_DIR}/packaging/${program}.h2m --output=${page} $<TARGET_FILE:${program}>
      COMMAND ${KOVA_GZIP} -9 -n -f ${page}
      DEPENDS ${program} ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
      COMMENT "Manual page ${program}(1)"
      VERBATIM)
    list(APPEND kova_packaging_outputs ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
endif()
add_custom_target(kova_packaging_files ALL DEPENDS ${kova_packaging_outputs})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KOVA_PACKAGE})
set(CPACK_PACKAGE_VENDOR "The KOVA_EN developers")
set(CPACK_PACKAGE_CONTACT ${KOVA_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KOVA_MAINTAINER})
set(CPACK_PACKAGE_HOMEPAGE_URL ${KOVA_HOMEPAGE})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test and demonstration program for the KOVA operator panel")
set(CPACK_PACKAGE_DESCRIPTION
    "KOVA_EN shows a picture of the KOVA handheld operator panel (twelve keys
with LEDs, two twelve-position selector switches, an LCD of 8 rows of 15
characters) and mirrors its state over a serial line. With the mouse one
switches LEDs on, off or to flashing, writes the LCD, runs the endurance
test and chooses port and baud rate. Without a panel it runs in
demonstration mode.

The package also holds kova_sim, a virtual panel on a pseudo-terminal, so
that the program can be tried without hardware.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Qt and C++ libraries come from shlibdeps. The LCD font is named in the program, which
# shlibdeps cannot see; the xcb platform plugin ships in libqt6gui6. On Wayland the program
# runs natively with the Wayland plugin, and through XWayland without it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
# The Python package kova runs on the system's Python; its plugin on Debian's pytest.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, python3-pytest")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped binaries: the package is a twentieth of the size. No debug-symbols package: the one
# CPack 3.25 writes (CPACK_DEBIAN_DEBUGINFO_PACKAGE) lists build-tree paths in its md5sums and
# has no copyright, which dpkg and lintian reject.
set(CPACK_STRIP_FILES ON)
include(CPack)
