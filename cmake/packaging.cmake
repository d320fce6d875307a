# Install rules and packages: the usual file-system layout with manual pages and a .deb on Linux,
# a flat zip with the two programs and their texts on Windows. The version comes from project().
include(GNUInstallDirs)
# Folders made by the install rules get rwxr-xr-x whatever the umask, as Debian wants them.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Packaged programs must run with nothing but the C library (and, on Windows, the system DLLs):
# the C++ runtime is linked in.
if(CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
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
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quorva_<version>-<release>_<architecture>.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS srecord)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/deb-only-files.cmake
                              ${CMAKE_CURRENT_SOURCE_DIR}/cmake/compress-for-deb.cmake)
  # The architecture is taken from dpkg --print-architecture by CPack itself.
  find_program(QUORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QUORVA_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # libc6 with the lowest version the programs need
  else()
    message(STATUS "dpkg-shlibdeps not found (package dpkg-dev): the .deb depends on libc6 unversioned")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS libc6)
  endif()
endif()

include(CPack)
