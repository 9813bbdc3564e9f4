# Script mode: cmake -DINPUT=... -DSYMBOL=... -DOUTPUT=... -P embed_file.cmake
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "cannot embed ${INPUT}: file is missing")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR byte_len "${hex_len} / 2")
# Sixteen bytes per line keeps the generated file readable by compilers and diff tools.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} at build time; do not edit.\n"
  "extern const char ${SYMBOL}[];\n"
  "extern const unsigned long ${SYMBOL}_LEN;\n"
  "const char ${SYMBOL}[] = {\n${bytes}\n0x00};\n"
  "const unsigned long ${SYMBOL}_LEN = ${byte_len}UL;\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
