# Writes a C++ source that holds a file's bytes exactly (no text conversion), as a
# std::string_view of the given name in the global namespace.
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=kName -P EmbedBytes.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# One line per 16 bytes keeps the file readable.
string(REGEX REPLACE "(('[^']*',){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${INPUT} at build time; do not edit.\n"
     "#include <string_view>\n\n"
     "namespace {\n"
     "const char bytes[${size} + 1] = {\n    ${bytes}'\\0'};\n"
     "}  // namespace\n\n"
     "extern const std::string_view ${NAME};\n"
     "const std::string_view ${NAME}(bytes, ${size});\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
