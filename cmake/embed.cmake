# ws_embed(<input file> <symbol> <output .cpp>)
# Generates a source file that defines
#   extern const char <symbol>[];        the bytes, followed by a NUL
#   extern const unsigned long <symbol>_LEN;   the byte count without the NUL
# The file is regenerated whenever the input changes.
set(WS_EMBED_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/embed_file.cmake")

function(ws_embed input symbol output)
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -DINPUT=${input} -DSYMBOL=${symbol} -DOUTPUT=${output} -P "${WS_EMBED_SCRIPT}"
    DEPENDS "${input}" "${WS_EMBED_SCRIPT}"
    COMMENT "Embedding ${input} as ${symbol}"
    VERBATIM)
endfunction()

# ws_page_template(<page.html> <output> <files it includes...>)
# Generates the stored page template (see page_template.cmake); rebuilt
# whenever page.html or one of the listed files changes.
set(WS_PAGE_TEMPLATE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/page_template.cmake")

function(ws_page_template page output)
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -DPAGE=${page} -DOUTPUT=${output} -P "${WS_PAGE_TEMPLATE_SCRIPT}"
    DEPENDS "${page}" ${ARGN} "${WS_PAGE_TEMPLATE_SCRIPT}"
    COMMENT "Composing the page template from ${page}"
    VERBATIM)
endfunction()
