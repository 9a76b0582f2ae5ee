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
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.new"
  "// Generated from ${NAME}; edit the page sources instead.\n"
  "extern const char ${NAME}[];\n"
  "const char ${NAME}[] = {\n${bytes}0x00};\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new" "${OUTPUT}.txt")
