# Writes a C++ source that holds a file's bytes as an array:
#   cmake -DINPUT=<file> -DOUTPUT=<source> -DSYMBOL=<name> -DHEADER=<include> -P embed_file.cmake
# defines `const unsigned char <name>[]` and `const unsigned int <name>_size`.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes a line.
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line_pattern)
string(REGEX REPLACE "(${line_pattern})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} at build time; do not edit.\n"
  "#include \"${HEADER}\"\n\n"
  "const unsigned char ${SYMBOL}[] = {\n    ${bytes}\n};\n"
  "const unsigned int ${SYMBOL}_size = ${size};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
