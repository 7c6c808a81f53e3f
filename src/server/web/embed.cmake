# Writes OUTPUT: a C++ source defining kestrel::server::kWebPage as the bytes
# of INPUT, so the server carries its page and needs no files at run time,
# and kWebPageScriptHashes / kWebPageStyleHashes, the page's inline <script>
# and <style> blocks as Content-Security-Policy sources ('sha256-...'), so
# the policy follows every edit of the page without anyone updating it.
# Run as `cmake -DINPUT=... -DOUTPUT=... -P embed.cmake`.

# Base64 of the bytes spelled by the hex digits in `hex`, padded with '='.
function(hex_to_base64 hex out)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${hex}" length)
  set(result "")
  set(at 0)
  while(at LESS length)
    math(EXPR left "${length} - ${at}")
    if(left GREATER 6)
      set(left 6)
    endif()
    string(SUBSTRING "${hex}" ${at} ${left} group)
    # A short last group is filled with zero bytes; each missing byte
    # turns one output character into '='.
    set(missing 0)
    while(left LESS 6)
      string(APPEND group "00")
      math(EXPR left "${left} + 2")
      math(EXPR missing "${missing} + 1")
    endwhile()
    math(EXPR value "0x${group}")
    set(chars "")
    foreach(shift 18 12 6 0)
      math(EXPR index "(${value} >> ${shift}) & 63")
      string(SUBSTRING "${alphabet}" ${index} 1 char)
      string(APPEND chars "${char}")
    endforeach()
    if(missing GREATER 0)
      math(EXPR kept "4 - ${missing}")
      string(SUBSTRING "${chars}" 0 ${kept} chars)
      foreach(unused RANGE 1 ${missing})
        string(APPEND chars "=")
      endforeach()
    endif()
    string(APPEND result "${chars}")
    math(EXPR at "${at} + 6")
  endwhile()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# The CSP sources of every <TAG ...>...</TAG> block of `text`, space-separated;
# the hash covers exactly the bytes between the tags, as the browser hashes them.
function(inline_hashes text tag out)
  set(hashes "")
  set(rest "${text}")
  while(TRUE)
    string(FIND "${rest}" "<${tag}" start)
    if(start EQUAL -1)
      break()
    endif()
    string(SUBSTRING "${rest}" ${start} -1 rest)
    string(FIND "${rest}" ">" open_end)
    math(EXPR body_start "${open_end} + 1")
    string(SUBSTRING "${rest}" ${body_start} -1 rest)
    string(FIND "${rest}" "</${tag}>" end)
    if(end EQUAL -1)
      message(FATAL_ERROR "${INPUT}: <${tag}> without </${tag}>")
    endif()
    string(SUBSTRING "${rest}" 0 ${end} body)
    string(SHA256 digest "${body}")
    hex_to_base64("${digest}" encoded)
    if(hashes)
      string(APPEND hashes " ")
    endif()
    string(APPEND hashes "'sha256-${encoded}'")
    string(SUBSTRING "${rest}" ${end} -1 rest)
  endwhile()
  set(${out} "${hashes}" PARENT_SCOPE)
endfunction()

file(READ "${INPUT}" page)
inline_hashes("${page}" script script_hashes)
inline_hashes("${page}" style style_hashes)

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
  "extern const std::string_view kWebPageScriptHashes;\n"
  "const std::string_view kWebPageScriptHashes = \"${script_hashes}\";\n"
  "extern const std::string_view kWebPageStyleHashes;\n"
  "const std::string_view kWebPageStyleHashes = \"${style_hashes}\";\n"
  "}  // namespace kestrel::server\n")
