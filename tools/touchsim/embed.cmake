# Writes a C++ source that holds a text file as a string constant.
# Usage: cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DNAME=<qualified name> -P embed.cmake
file(READ "${INPUT}" content)
file(WRITE "${OUTPUT}.tmp"
    "// Generated from ${INPUT}; do not edit.\n"
    "#include \"tools/touchsim/app.hpp\"\n"
    "const char* const ${NAME} = R\"tsim_json(${content})tsim_json\";\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
