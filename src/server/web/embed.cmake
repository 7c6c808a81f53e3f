# Writes OUTPUT: a C++ source defining kestrel::server::kWebPage as the bytes
# of INPUT, so the server carries its page and needs no files at run time.
# Run as `cmake -DINPUT=... -DOUTPUT=... -P embed.cmake`.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}"
  "// Generated from src/server/web/index.html by src/server/web/embed.cmake.\n"
  "#include <string_view>\n"
  "namespace kestrel::server {\n"
  "namespace {\n"
  "const unsigned char kBytes[] = {\n${bytes}0x00};\n"
  "}  // namespace\n"
  "extern const std::string_view kWebPage;\n"
  "const std::string_view kWebPage(reinterpret_cast<const char*>(kBytes), sizeof kBytes - 1);\n"
  "}  // namespace kestrel::server\n")
