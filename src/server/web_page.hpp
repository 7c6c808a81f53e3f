// The spectator page: src/server/web/index.html, compiled in, and the CSP
// sources of its inline <script> and <style> blocks, hashed from it at build
// time (src/server/web/embed.cmake writes the definitions).
#pragma once

#include <string_view>

namespace kestrel::server {

extern const std::string_view kWebPage;
extern const std::string_view kWebPageScriptHashes;
extern const std::string_view kWebPageStyleHashes;

}  // namespace kestrel::server
