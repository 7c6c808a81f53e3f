// Small checks on bytes that claim to be text, shared by every part that
// receives text from outside (URLs, WebSocket text messages, environment
// values).
#pragma once

#include <string_view>

namespace kestrel::text_checks {

// True when `s` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short.
bool is_utf8(std::string_view s) noexcept;

// Equal ignoring ASCII case (other bytes compare exactly).
bool ascii_iequals(std::string_view a, std::string_view b) noexcept;

}  // namespace kestrel::text_checks
