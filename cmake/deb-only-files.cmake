# Run by CPack on the staged files before the .deb is made: the files that belong to the Debian
# package alone (its changelog and the lintian override) are added here, so that neither a plain
# `cmake --install` nor any other package carries them.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(quorva_root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(quorva_overrides "${quorva_root}/${CPACK_QUORVA_DATADIR}/lintian/overrides")
foreach(quorva_dir "${quorva_root}/${CPACK_QUORVA_DATADIR}/lintian" "${quorva_overrides}")
  file(MAKE_DIRECTORY "${quorva_dir}")
  file(CHMOD "${quorva_dir}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(quorva_changelog "${quorva_root}/${CPACK_QUORVA_DOCDIR}/changelog.Debian")
foreach(quorva_from "${CPACK_QUORVA_CHANGELOG_DEBIAN}" "${CPACK_QUORVA_LINTIAN_OVERRIDES}")
  if(NOT EXISTS "${quorva_from}")
    message(FATAL_ERROR "${quorva_from} is missing: the .deb cannot be made without it")
  endif()
endforeach()
configure_file("${CPACK_QUORVA_CHANGELOG_DEBIAN}" "${quorva_changelog}" COPYONLY)
configure_file("${CPACK_QUORVA_LINTIAN_OVERRIDES}" "${quorva_overrides}/quorva" COPYONLY)
file(CHMOD "${quorva_changelog}" "${quorva_overrides}/quorva"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
