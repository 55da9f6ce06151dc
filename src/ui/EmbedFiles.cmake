# Writes OUTPUT, a C++ file holding each of FILES (names in INPUT_DIR, separated by ";") as a
# byte array, and the table kVTRStatusPageFiles (ui/VTRStatusPage.h) naming them.
# Run as: cmake -DINPUT_DIR=... -DFILES=a,b -DOUTPUT=... -P EmbedFiles.cmake
string(REPLACE "," ";" FILES "${FILES}")
set(arrays "")
set(entries "")
set(index 0)
foreach(name ${FILES})
  file(READ ${INPUT_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  # One literal per byte ("\x3c" "\x21"...), so that no escape runs into the next byte.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\"\\\\x\\1\"" bytes "${hex}")
  string(REGEX REPLACE "((\"[^\"]*\"){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "constexpr std::string_view kFile${index}(\n    \"\"${bytes}, ${size});\n")
  string(APPEND entries "    {\"${name}\", kFile${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp
  "// Generated at build time from src/ui by EmbedFiles.cmake; do not edit.\n"
  "#include \"ui/VTRStatusPage.h\"\n\nnamespace vtr {\nnamespace {\n\n${arrays}\n}  // namespace\n\n"
  "extern const VTRStatusPageFile kVTRStatusPageFiles[] = {\n${entries}};\n"
  "extern const size_t kVTRStatusPageFileCount = ${index};\n\n}  // namespace vtr\n")
# Unchanged contents keep the file's time, so nothing recompiles.
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
