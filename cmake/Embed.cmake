# embed_text(NAME SOURCE [NO_FINAL_NEWLINE] [DEPENDS files...])
# Turns a page source into a C++ file defining `extern const char NAME[]`,
# NUL-terminated, in the build directory; appends it to EMBEDDED_SOURCES.
set(EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed_file.cmake)

function(embed_text name source)
  cmake_parse_arguments(ARG "NO_FINAL_NEWLINE" "" "DEPENDS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/embedded/${name}.cpp)
  set(trim 0)
  if(ARG_NO_FINAL_NEWLINE)
    set(trim 1)
  endif()
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DNAME=${name} -DSOURCE=${CMAKE_CURRENT_SOURCE_DIR}/${source}
            -DOUTPUT=${out} -DTRIM=${trim} -P ${EMBED_SCRIPT}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${ARG_DEPENDS} ${EMBED_SCRIPT}
    COMMENT "Embedding ${source}"
    VERBATIM)
  set(EMBEDDED_SOURCES ${EMBEDDED_SOURCES} ${out} PARENT_SCOPE)
endfunction()
