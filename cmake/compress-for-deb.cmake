# Run by CPack on the staged files of the .deb: Debian installs manual pages and changelogs
# gzip-compressed, without a name or time stamp in the header (gzip -n), so that a rebuild is
# identical.
file(GLOB_RECURSE quorva_pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1")
list(FILTER quorva_pages INCLUDE REGEX "/man/man1/[^/]+\\.1$")
file(GLOB_RECURSE quorva_changelogs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/changelog*")
list(FILTER quorva_changelogs INCLUDE REGEX "/doc/quorva/changelog(\\.Debian)?$")
if(NOT quorva_pages OR NOT quorva_changelogs)
  message(FATAL_ERROR "no manual pages or changelogs staged under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(quorva_file IN LISTS quorva_pages quorva_changelogs)
  execute_process(COMMAND gzip -9nf "${quorva_file}" RESULT_VARIABLE quorva_gzip_status)
  if(NOT quorva_gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${quorva_file}")
  endif()
endforeach()
