#include "server/json_writer.hpp"

namespace kestrel::server::json {

void append_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out.append("\\u00").append(1, kHex[byte >> 4]).append(1, kHex[byte & 0xF]);
    } else {
      out += c;
    }
  }
  out += '"';
}

void append_number(std::string& out, std::int64_t n) { out += std::to_string(n); }

void append_name(std::string& out, std::string_view name) {
  if (name.empty()) {
    out += "null";
  } else {
    append_string(out, name);
  }
}

}  // namespace kestrel::server::json
