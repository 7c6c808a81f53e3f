// JSON text built by appending to a string: what the spectator feed and the
// game reports write. Values only; the caller writes the punctuation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::server::json {

// `text` as a JSON string, quotes included; control characters escaped.
void append_string(std::string& out, std::string_view text);
void append_number(std::string& out, std::int64_t n);
// A name that may be absent: empty is null.
void append_name(std::string& out, std::string_view name);

}  // namespace kestrel::server::json
