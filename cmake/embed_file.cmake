# Run as a script: cmake -DNAME= -DSOURCE= -DOUTPUT= -DTRIM=0|1 -P embed_file.cmake
#
# In the source, a line `<!-- include: FILE -->` is replaced by the text of
# FILE (beside the source), and `<!-- marker: N -->` by the single byte N
# (1 to 9). With TRIM=1 one final line feed is dropped. The output is a byte
# array, so the text may hold any byte; nothing in it depends on the time.
get_filename_component(dir "${SOURCE}" DIRECTORY)
file(READ "${SOURCE}" text)

string(REGEX MATCHALL "<!-- include: [A-Za-z0-9_.-]+ -->\n" includes "${text}")
foreach(directive IN LISTS includes)
  string(REGEX REPLACE "<!-- include: ([A-Za-z0-9_.-]+) -->\n" "\\1" file "${directive}")
  file(READ "${dir}/${file}" part)
  string(REPLACE "${directive}" "${part}" text "${text}")
endforeach()

string(REGEX MATCHALL "<!-- marker: [1-9] -->" markers "${text}")
foreach(directive IN LISTS markers)
  string(REGEX REPLACE "<!-- marker: ([1-9]) -->" "\\1" code "${directive}")
  string(ASCII ${code} byte)
  string(REPLACE "${directive}" "${byte}" text "${text}")
endforeach()

if(TRIM)
  string(REGEX REPLACE "\n$" "" text "${text}")
endif()

file(WRITE "${OUTPUT}.txt" "${text}")
file(READ "${OUTPUT}.txt" hex HEX)
# Character literals keep bytes above 0x7f free of narrowing conversions.
string(REPEAT "[0-9a-f]" 32 sixteen_bytes)
string(REGEX REPLACE "(${sixteen_bytes})" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUTPUT}.new"
  "// Generated from ${NAME}; edit the page sources instead.\n"
  "extern const char ${NAME}[];\n"
  "const char ${NAME}[] = {\n${bytes}'\\0'};\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new" "${OUTPUT}.txt")
