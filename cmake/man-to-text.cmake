# Renders a manual page as plain text with CRLF line ends, for the Windows zip, where there is no
# man: cmake -DGROFF=... -DPAGE=quorva.1 -DTEXT=quorva.txt -P man-to-text.cmake, at build time.
# Plain ASCII without overstriking (no bold or underline by backspaces, no terminal escapes); any
# warning of groff stops the build, as a page that renders badly must not be shipped.
execute_process(COMMAND ${GROFF} -man -Tascii -ww -P-c -P-b -P-o -P-u
                INPUT_FILE ${PAGE}
                OUTPUT_VARIABLE quorva_text
                ERROR_VARIABLE quorva_warnings
                RESULT_VARIABLE quorva_status)
if(NOT quorva_status EQUAL 0 OR NOT quorva_warnings STREQUAL "" OR quorva_text STREQUAL "")
  message(FATAL_ERROR "groff could not render ${PAGE} (status ${quorva_status}): ${quorva_warnings}")
endif()
string(REPLACE "\n" "\r\n" quorva_text "${quorva_text}")
file(WRITE ${TEXT} "${quorva_text}")
