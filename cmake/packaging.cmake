# Install rules and packages: the usual file-system layout with manual pages and a .deb on Linux,
# a flat zip with the two programs and their texts on Windows. The version comes from project().
include(GNUInstallDirs)
# Folders made by the install rules get rwxr-xr-x whatever the umask, as Debian wants them.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Packaged programs must run with nothing but the C library (and, on Windows, the system DLLs):
# the C++ runtime is linked in.
# QUORVA_STATIC=ON builds the programs of a release archive with no shared library at all, not
# even the C library, so that they run on any x86 Linux of their architecture whatever its libc.
# They are static-pie where the toolchain makes a real one: a probe linked with -static-pie must
# come out position independent with neither an interpreter nor a needed library. Otherwise they
# are plain -static. The C++ runtime comes in with the rest: -static-libstdc++ would switch the
# linker back to shared libraries for the C library after it, the program would need libc.so.6.
option(QUORVA_STATIC "Link quorva and quorva-sim statically, for the release archive" OFF)
if(QUORVA_STATIC)
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    message(FATAL_ERROR "QUORVA_STATIC builds the Linux release archive only")
  endif()
  set(quorva_probe ${CMAKE_BINARY_DIR}/static-pie-probe)
  file(WRITE ${quorva_probe}/probe.cpp "#include <cstdio>\n#include <string>\n"
       "int main(int argc, char **argv) { std::printf(\"%s\\n\", std::string(argv[0], argc).c_str()); }\n")
  try_compile(quorva_probe_links ${quorva_probe}/build ${quorva_probe}/probe.cpp
              COMPILE_DEFINITIONS -fPIE LINK_OPTIONS -static-pie
              COPY_FILE ${quorva_probe}/probe)
  set(quorva_probe_elf "")
  if(quorva_probe_links AND CMAKE_READELF)
    execute_process(COMMAND ${CMAKE_READELF} -h -l -d ${quorva_probe}/probe
                    OUTPUT_VARIABLE quorva_probe_elf ERROR_QUIET)
  endif()
  if(quorva_probe_elf MATCHES "Type: +DYN" AND NOT quorva_probe_elf MATCHES "INTERP|NEEDED")
    set(quorva_static -static-pie)
    set(quorva_static_compile -fPIE)
  else()
    set(quorva_static -static)
    set(quorva_static_compile "")
  endif()
  message(STATUS "quorva and quorva-sim are linked with ${quorva_static}")
  foreach(quorva_target quorva quorva-sim quorva_core quorva_sim_board quorva_decisions)
    target_compile_options(${quorva_target} PRIVATE ${quorva_static_compile})
  endforeach()
  foreach(quorva_program quorva quorva-sim)
    target_link_options(${quorva_program} PRIVATE ${quorva_static})
  endforeach()
elseif(CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
  foreach(quorva_program quorva quorva-sim)
    target_link_options(${quorva_program} PRIVATE -static-libstdc++ -static-libgcc)
  endforeach()
endif()

if(WIN32)
  # A zip unpacks into one folder: the programs and their texts side by side.
  install(TARGETS quorva quorva-sim RUNTIME DESTINATION .)
  # Their texts with CRLF line ends: the Notepad of older Windows shows an LF file as one line.
  # The licence gets the extension .txt, which Windows opens with a double click.
  foreach(quorva_text README.md docs/PROTOCOL.md packaging/PORT-ACCESS.txt LICENSE)
    get_filename_component(quorva_name ${quorva_text} NAME)
    if(quorva_name STREQUAL "LICENSE")
      set(quorva_name LICENSE.txt)
    endif()
    configure_file(${quorva_text} crlf/${quorva_name} @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/crlf/${quorva_name} DESTINATION .)
  endforeach()
  # Windows has no man: the two manual pages go into the zip as plain text (quorva.txt,
  # quorva-sim.txt), rendered by groff at build time. Without groff the zip cannot be made whole,
  # so the configure step stops rather than leave the manual out.
  find_program(QUORVA_GROFF groff)
  if(NOT QUORVA_GROFF)
    message(FATAL_ERROR "groff not found (package groff-base): the Windows zip's manual, quorva.txt, "
                        "is rendered with it from man/quorva.1.in")
  endif()
  set(quorva_manual_texts "")
  foreach(quorva_page quorva quorva-sim)
    configure_file(man/${quorva_page}.1.in man/${quorva_page}.1 @ONLY)
    set(quorva_manual_text ${CMAKE_CURRENT_BINARY_DIR}/crlf/${quorva_page}.txt)
    add_custom_command(OUTPUT ${quorva_manual_text}
      COMMAND ${CMAKE_COMMAND} -DGROFF=${QUORVA_GROFF} -DPAGE=${CMAKE_CURRENT_BINARY_DIR}/man/${quorva_page}.1
              -DTEXT=${quorva_manual_text} -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/man-to-text.cmake
      DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/man/${quorva_page}.1 ${CMAKE_CURRENT_SOURCE_DIR}/cmake/man-to-text.cmake
      COMMENT "Rendering ${quorva_page}(1) as ${quorva_page}.txt for the zip")
    list(APPEND quorva_manual_texts ${quorva_manual_text})
    install(FILES ${quorva_manual_text} DESTINATION .)
  endforeach()
  add_custom_target(quorva_manual_texts ALL DEPENDS ${quorva_manual_texts})
elseif(QUORVA_STATIC)
  # The release archive unpacks into one folder: the programs, their manual pages and texts.
  install(TARGETS quorva quorva-sim RUNTIME DESTINATION .)
  foreach(quorva_page quorva.1 quorva-sim.1)
    configure_file(man/${quorva_page}.in man/${quorva_page} @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${quorva_page} DESTINATION .)
  endforeach()
  install(FILES README.md docs/PROTOCOL.md LICENSE DESTINATION .)
else()
  install(TARGETS quorva quorva-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  foreach(quorva_page quorva.1 quorva-sim.1)
    configure_file(man/${quorva_page}.in man/${quorva_page} @ONLY)  # the footer shows the version
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${quorva_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  # The user's README and the board's wire protocol, the licence as Debian's machine-readable
  # copyright file and the upstream changelog (compressed for the .deb by compress-for-deb.cmake).
  install(FILES README.md docs/PROTOCOL.md packaging/changelog packaging/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The Debian changelog and the lintian override of a tag that only a package uploaded to Debian
  # can satisfy belong to the .deb alone: deb-only-files.cmake adds them to its staged files.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  configure_file(packaging/debian/changelog.Debian.in changelog.Debian @ONLY)
  set(CPACK_QUORVA_CHANGELOG_DEBIAN ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian)
  set(CPACK_QUORVA_LINTIAN_OVERRIDES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/lintian-overrides)
  set(CPACK_QUORVA_DOCDIR ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_QUORVA_DATADIR ${CMAKE_INSTALL_DATADIR})
endif()

set(CPACK_PACKAGE_NAME quorva)
set(CPACK_PACKAGE_VENDOR "Quorva")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorva developers <eproms@quorva.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "download tool for an EPROM emulator board on the PC parallel port")
# Debian shows the description in 80 columns: its lines stay below that.
set(CPACK_PACKAGE_DESCRIPTION
    "quorva sends a raw binary image of up to 64 KiB into an EPROM emulator board\n\
on a PC parallel port, one byte at a time with a strobe/busy handshake, through\n\
x86 in/out instructions or the kernel's parallel-port device. quorva-sim is the\n\
same tool over a simulated board, for dry runs.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "quorva-${PROJECT_VERSION}-win32")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
elseif(QUORVA_STATIC)
  set(CPACK_GENERATOR TGZ)
  if(quorva_cpu MATCHES "^(i[3-6]86|x86)$")
    set(CPACK_PACKAGE_FILE_NAME "quorva-${PROJECT_VERSION}-linux-i386")
  else()
    set(CPACK_PACKAGE_FILE_NAME "quorva-${PROJECT_VERSION}-linux-x86_64")
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quorva_<version>-<release>_<architecture>.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS srecord)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/deb-only-files.cmake
                              ${CMAKE_CURRENT_SOURCE_DIR}/cmake/compress-for-deb.cmake)
  # The architecture is taken from dpkg --print-architecture by CPack itself, except in the
  # cross build for 32-bit Linux.
  if(CMAKE_CROSSCOMPILING AND quorva_cpu MATCHES "^(i[3-6]86|x86)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  endif()
  find_program(QUORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QUORVA_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # libc6 with the lowest version the programs need
  else()
    message(STATUS "dpkg-shlibdeps not found (package dpkg-dev): the .deb depends on libc6 unversioned")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS libc6)
  endif()
endif()

include(CPack)
