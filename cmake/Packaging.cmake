# What `cmake --install` puts where, and the packages CPack makes of it: a
# Debian package from a Linux build, a zip from a Windows build. Included
# last by the top CMakeLists.txt, once every program target exists. Only the
# programs people run and their documents are installed: never the tests,
# the benchmarks, the fuzz targets or the stand-in FTD2XX.dll.

set(QVM7316_PACKAGE_NAME qvm7316-update)
set(CPACK_PACKAGE_NAME ${QVM7316_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the QVM7316 USB device")
set(QVM7316_MAINTAINER "QVM7316 updater developers <qvm7316-update@example.org>"
    CACHE STRING "The packages' maintainer, as \"Name <address>\"")
set(CPACK_PACKAGE_CONTACT ${QVM7316_MAINTAINER})
set(CPACK_STRIP_FILES TRUE)

if(NOT WIN32)
  # Linux: the console program, its manual page, the udev rule that lets a
  # user reach the device without root, and the documents with the sample
  # images (enough to rehearse an update with --simulate).
  include(GNUInstallDirs)
  set(QVM7316_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
      "Where the udev rule goes, under the install prefix (udev reads /usr/lib/udev/rules.d and /etc/udev/rules.d)")
  set(QVM7316_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QVM7316_PACKAGE_NAME})

  install(TARGETS qvm7316-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES packaging/qvm7316-update.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/60-qvm7316.rules DESTINATION ${QVM7316_UDEV_RULES_DIR})
  install(FILES README.md DESTINATION ${QVM7316_DOC_DIR})
  install(DIRECTORY docs/ DESTINATION ${QVM7316_DOC_DIR} FILES_MATCHING PATTERN "*.md" PATTERN "*.schema.json")
  install(FILES samples/gen.hex samples/genprom.hex samples/GEN.dat DESTINATION ${QVM7316_DOC_DIR}/samples)
  # nlohmann/json, header-only, is compiled into the program: its copyright
  # and licence notice, as Debian ships it, go with it.
  set(QVM7316_JSON_NOTICE /usr/share/doc/nlohmann-json3-dev/copyright)
  if(NOT EXISTS ${QVM7316_JSON_NOTICE})
    message(FATAL_ERROR "${QVM7316_JSON_NOTICE} is missing: the licence notice of nlohmann/json (nlohmann-json3-dev)")
  endif()
  install(FILES ${QVM7316_JSON_NOTICE} DESTINATION ${QVM7316_DOC_DIR}/licences RENAME nlohmann-json.txt)

  # The Debian package. The program loads libftdi1 at run time (dlopen), so
  # dpkg-shlibdeps cannot see it: it is named here; the C and C++ runtimes
  # the binary links come from dpkg-shlibdeps where it is installed.
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_NAME ${QVM7316_PACKAGE_NAME})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libftdi1-2")
  find_program(QVM7316_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QVM7316_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libftdi1-2, libc6, libgcc-s1, libstdc++6")
  endif()
  # The summary above is the package's one-line synopsis; this is the rest.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "qvm7316-update programs a QVM7316, a USB device reached through an FTDI
chip: the processor firmware (gen.hex), the PROM (genprom.hex) and the gate
array (GEN.dat), read from the working directory and checked before the
device is touched. It reaches the device through libftdi1 (or FTDI's D2XX
library) and can rehearse a whole update against an emulated device.
.
The package holds a udev rule that gives the logged-in user and the plugdev
group access to the device, a manual page, and sample images.")
else()
  # Windows: the dialog program, the README, and the licence notices of the
  # runtime libraries linked statically into it, gathered when the package
  # is made (cmake/WindowsNotices.cmake).
  install(TARGETS qvm7316-update RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(CODE "set(QVM7316_CXX_COMPILER \"${CMAKE_CXX_COMPILER}\")
set(QVM7316_NOTICE_WORK \"${CMAKE_BINARY_DIR}/windows-notices\")
set(QVM7316_JSON_HEADER \"${QVM7316_JSON_ROOT}/nlohmann/json.hpp\")")
  install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/WindowsNotices.cmake)

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME ${QVM7316_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME ${QVM7316_PACKAGE_NAME}-${PROJECT_VERSION}-win32)
  endif()
endif()

include(CPack)
