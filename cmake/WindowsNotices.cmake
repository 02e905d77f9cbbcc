# Install script of the Windows build (cmake/Packaging.cmake): puts the
# licence notices of the runtime libraries that are linked statically into
# qvm7316-update.exe next to it, as licences/*.txt, and a NOTICE.txt that
# names each library and its notice.
#
# The notices are the copyright files Debian ships with the packages the
# libraries came from, found when the package is made: each library is
# looked up where the cross-compiler (QVM7316_CXX_COMPILER) takes it from,
# `dpkg -S` names its package, and /usr/share/doc/<package>/copyright is
# its notice. A library or notice that cannot be found stops the packaging:
# a zip without its notices must not be made. QVM7316_NOTICE_WORK is the
# build folder where they are gathered first. nlohmann/json, header-only, is
# compiled into the program too: QVM7316_JSON_HEADER is the header the build
# took it from.

if(NOT QVM7316_CXX_COMPILER OR NOT QVM7316_NOTICE_WORK OR NOT QVM7316_JSON_HEADER)
  message(FATAL_ERROR
    "WindowsNotices.cmake: QVM7316_CXX_COMPILER, QVM7316_NOTICE_WORK and QVM7316_JSON_HEADER must be set")
endif()

# The file the toolchain links a library from: "libgcc" asks for libgcc's
# own path, any other name is a file in the library search path; a full
# path (a header compiled in) is that file.
function(qvm7316_library_file name out)
  if(IS_ABSOLUTE "${name}")
    file(REAL_PATH "${name}" path)
    set(${out} "${path}" PARENT_SCOPE)
    return()
  elseif(name STREQUAL "libgcc")
    set(args -print-libgcc-file-name)
  else()
    set(args -print-file-name=${name})
  endif()
  execute_process(COMMAND ${QVM7316_CXX_COMPILER} ${args} OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "The Windows compiler does not link ${name} from a file: '${path}'")
  endif()
  file(REAL_PATH "${path}" path)
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# The Debian package that installed a file, and its version.
function(qvm7316_owning_package file out_name out_version)
  execute_process(COMMAND dpkg-query -S "${file}" OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0 OR NOT owner MATCHES "^([^:, ]+)(:[^:, ]+)?: ")
    message(FATAL_ERROR "No Debian package owns ${file}: its licence notice cannot be found")
  endif()
  set(package "${CMAKE_MATCH_1}")
  execute_process(COMMAND dpkg-query -W -f=\${Version} "${package}" OUTPUT_VARIABLE version
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${out_name} "${package}" PARENT_SCOPE)
  set(${out_version} "${version}" PARENT_SCOPE)
endfunction()

# Each library linked statically, as "<what it is>|<file the linker takes>".
set(components
    "the mingw-w64 runtime: start-up code and C runtime support|crt2.o"
    "the mingw-w64 runtime: C library additions|libmingwex.a"
    "winpthreads: POSIX threads, under std::thread and std::mutex|libwinpthread.a"
    "libstdc++: the GNU C++ library|libstdc++.a"
    "libgcc: the GCC runtime library|libgcc"
    "nlohmann/json: JSON for Modern C++, which writes the report (header-only)|${QVM7316_JSON_HEADER}")

set(work "${QVM7316_NOTICE_WORK}")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}/licences")
set(notice "The licences of the libraries in qvm7316-update.exe

qvm7316-update.exe is linked statically: these libraries are part of the
program file. Their copyright and licence notices are in the folder
licences/, as the Debian packages they were built from ship them.

")
set(gcc_exception FALSE)
foreach(component IN LISTS components)
  string(REPLACE "|" ";" component "${component}")
  list(GET component 0 what)
  list(GET component 1 name)
  qvm7316_library_file(${name} file)
  qvm7316_owning_package("${file}" package version)
  set(copyright "/usr/share/doc/${package}/copyright")
  if(NOT EXISTS "${copyright}")
    message(FATAL_ERROR "${copyright} is missing: the licence notice of ${name} (${package})")
  endif()
  # Packages built from one source (g++ and gcc) ship the same notice: one
  # copy is enough.
  file(SHA256 "${copyright}" digest)
  if(DEFINED notice_${digest})
    set(target "${notice_${digest}}")
  else()
    set(target "licences/${package}.txt")
    set(notice_${digest} "${target}")
    configure_file("${copyright}" "${work}/${target}" COPYONLY)
  endif()
  get_filename_component(linked "${file}" NAME)
  string(APPEND notice "- ${what}
  (${linked}, Debian package ${package} ${version}):
  ${target}
")
  file(READ "${copyright}" text)
  if(text MATCHES "GCC RUNTIME LIBRARY EXCEPTION" AND name MATCHES "^lib(stdc\\+\\+|gcc)")
    set(gcc_exception TRUE)
  endif()
endforeach()

if(NOT gcc_exception)
  message(FATAL_ERROR "The GCC Runtime Library Exception is not in the notices of libstdc++ and libgcc")
endif()
# libstdc++ and libgcc are under the GPL version 3 with the GCC Runtime
# Library Exception, whose text is in their notice; the GPL's text is where
# that notice points, in Debian's common licences.
configure_file(/usr/share/common-licenses/GPL-3 "${work}/licences/GPL-3.txt" COPYONLY)
string(APPEND notice "
libstdc++ and libgcc are under the GNU General Public License version 3
(licences/GPL-3.txt) with the GCC Runtime Library Exception version 3.1,
whose text is in their notice. winpthreads' notice is the section
\"mingw-w64-libraries/winpthreads\" of the mingw-w64 notice.

FTD2XX.dll, FTDI's D2XX driver, is not part of this package: the driver's
installer puts it into the Windows system folder.
")
file(WRITE "${work}/NOTICE.txt" "${notice}")

file(INSTALL "${work}/NOTICE.txt" DESTINATION "${CMAKE_INSTALL_PREFIX}")
file(INSTALL "${work}/licences" DESTINATION "${CMAKE_INSTALL_PREFIX}")
