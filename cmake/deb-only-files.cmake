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
foreach(quorva_pair "${CPACK_QUORVA_CHANGELOG_DEBIAN}|${quorva_root}/${CPACK_QUORVA_DOCDIR}/changelog.Debian"
                    "${CPACK_QUORVA_LINTIAN_OVERRIDES}|${quorva_overrides}/quorva")
  string(REPLACE "|" ";" quorva_pair "${quorva_pair}")
  list(GET quorva_pair 0 quorva_from)
  list(GET quorva_pair 1 quorva_to)
  if(NOT EXISTS "${quorva_from}")
    message(FATAL_ERROR "${quorva_from} is missing: the .deb cannot be made without it")
  endif()
  configure_file("${quorva_from}" "${quorva_to}" COPYONLY)
  file(CHMOD "${quorva_to}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
