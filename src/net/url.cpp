#include "net/url.hpp"

#include "core/text_checks.hpp"
#include "core/texts.hpp"

namespace kestrel::net {

namespace {

constexpr std::size_t kMaxUrlLength = 65534;
constexpr std::size_t kMaxSchemeLength = 64;

TransportError format_error(std::string_view reason) { return {texts::join(texts::kFormatError, reason)}; }

bool is_alnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_scheme_char(unsigned char c) { return is_alnum(c) || c == '+' || c == '-' || c == '.'; }

// Characters an authority may hold besides the delimiters handled apart.
bool is_authority_char(unsigned char c) {
  if (is_alnum(c)) return true;
  return std::string_view("!$&'()*+,-.;=_~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_path_char(unsigned char c) {
  return c == 0x21 || (c >= 0x24 && c <= 0x3B) || c == 0x3D || (c >= 0x40 && c <= 0x5F) ||
         (c >= 0x61 && c <= 0x7A) || c == 0x7C || c == 0x7E || c == '"' || c == '{' || c == '}';
}

bool is_query_char(unsigned char c) {
  return c == 0x21 || (c >= 0x24 && c <= 0x3B) || c == 0x3D || (c >= 0x3F && c <= 0x7E);
}

// A URI split the way an HTTP client library splits it, before any
// WebSocket meaning is given to the parts.
struct RawUri {
  std::optional<std::string> scheme;
  std::string_view authority;  // empty when absent
  std::string_view path_and_query;
};

// Why text is not a URI, in the parser's own words (one of the texts).
struct Reason {
  std::string_view text;
};

// Where the authority at the start of `s` ends, or why it is not one.
Result<std::size_t, Reason> authority_end(std::string_view s) {
  unsigned colons = 0;
  bool open_bracket = false;
  bool close_bracket = false;
  bool percent = false;
  std::size_t end = s.size();
  std::optional<std::size_t> at_sign;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '/' || c == '?' || c == '#') {
      end = i;
      break;
    }
    if (c == ':') {
      if (colons >= 8) return Reason{texts::kInvalidAuthority};
      ++colons;
    } else if (c == '[') {
      if (percent || open_bracket) return Reason{texts::kInvalidAuthority};
      open_bracket = true;
    } else if (c == ']') {
      if (!open_bracket || close_bracket) return Reason{texts::kInvalidAuthority};
      close_bracket = true;
      colons = 0;  // those belonged to the IPv6 literal
      percent = false;
    } else if (c == '@') {
      at_sign = i;
      colons = 0;  // those belonged to the user information
      percent = false;
    } else if (c == '%') {
      percent = true;  // allowed only in user information
    } else if (!is_authority_char(c)) {
      return Reason{texts::kInvalidUriCharacter};
    }
  }
  if (open_bracket != close_bracket) return Reason{texts::kInvalidAuthority};
  if (colons > 1) return Reason{texts::kInvalidAuthority};
  if (end > 0 && at_sign == end - 1) return Reason{texts::kInvalidAuthority};
  if (percent) return Reason{texts::kInvalidAuthority};
  return end;
}

// Path and query with any fragment cut off, or why they are not valid.
Result<std::string_view, Reason> path_and_query(std::string_view s) {
  bool in_query = false;
  bool maybe_not_utf8 = false;
  std::size_t end = s.size();
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '#') {
      end = i;
      break;
    }
    if (!in_query && c == '?') {
      in_query = true;
      continue;
    }
    if (c >= 0x7F) {
      maybe_not_utf8 = true;
      continue;
    }
    if (in_query ? !is_query_char(c) : !is_path_char(c)) return Reason{texts::kInvalidUriCharacter};
  }
  const std::string_view kept = s.substr(0, end);
  if (maybe_not_utf8 && !text_checks::is_utf8(kept)) return Reason{texts::kInvalidUriCharacter};
  return kept;
}

// Splits `s` into scheme, authority and path with query.
Result<RawUri, Reason> parse_uri(std::string_view s) {
  if (s.size() > kMaxUrlLength) return Reason{texts::kUriTooLong};
  if (s.empty()) return Reason{texts::kEmptyString};
  if (s[0] == '/') {
    auto pq = path_and_query(s);
    if (!pq) return pq.error();
    return RawUri{std::nullopt, {}, pq.value()};
  }
  if (s == "*") return RawUri{std::nullopt, {}, s};

  std::optional<std::string> scheme;
  std::string_view rest = s;
  // substr clips at the end, so a shorter text just compares unequal.
  if (text_checks::ascii_iequals(s.substr(0, 7), "http://")) {
    scheme = "http";
    rest = s.substr(7);
  } else if (text_checks::ascii_iequals(s.substr(0, 8), "https://")) {
    scheme = "https";
    rest = s.substr(8);
  } else {
    for (std::size_t i = 0; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c == ':') {
        if (s.substr(i + 1, 2) != "//") break;
        if (i > kMaxSchemeLength) return Reason{texts::kSchemeTooLong};
        scheme = std::string(s.substr(0, i));
        rest = s.substr(i + 3);
        break;
      }
      if (!is_scheme_char(c)) break;
    }
  }

  auto end_or = authority_end(rest);
  if (!end_or) return end_or.error();
  const std::size_t end = end_or.value();
  if (!scheme) {
    // Without a scheme the whole text must be an authority.
    if (end != rest.size()) return Reason{texts::kInvalidFormat};
    return RawUri{std::nullopt, rest, {}};
  }
  if (end == 0) return Reason{texts::kInvalidFormat};
  auto pq = path_and_query(rest.substr(end));
  if (!pq) return pq.error();
  return RawUri{std::move(scheme), rest.substr(0, end), pq.value()};
}

}  // namespace

TransportError url_error(std::string_view reason) { return {texts::join(texts::kUrlError, reason)}; }

Result<WsUrl, TransportError> parse_ws_url(std::string_view url) {
  auto raw_or = parse_uri(url);
  if (!raw_or) return format_error(raw_or.error().text);
  const RawUri& raw = raw_or.value();

  // The port is part of the URI's syntax, so a bad one is a format error.
  std::string_view host_port = raw.authority;
  if (auto at = host_port.rfind('@'); at != std::string_view::npos) host_port.remove_prefix(at + 1);
  std::string_view host = host_port;
  std::optional<std::string_view> port_text;
  if (!host_port.empty() && host_port[0] == '[') {
    const std::size_t close = host_port.find(']');
    if (close == std::string_view::npos) return format_error(texts::kInvalidAuthority);
    host = host_port.substr(1, close - 1);
    std::string_view after = host_port.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return format_error(texts::kInvalidAuthority);
      port_text = after.substr(1);
    }
  } else if (auto colon = host_port.find(':'); colon != std::string_view::npos) {
    host = host_port.substr(0, colon);
    port_text = host_port.substr(colon + 1);
  }
  std::optional<std::uint16_t> port;
  if (port_text && !port_text->empty()) {
    std::uint32_t value = 0;
    for (char c : *port_text) {
      if (c < '0' || c > '9') return format_error(texts::kInvalidPort);
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
      if (value > 65535) return format_error(texts::kInvalidPort);
    }
    port = static_cast<std::uint16_t>(value);
  }

  if (raw.authority.empty()) return url_error(texts::kNoHostName);
  if (host_port.empty() || host.empty()) return url_error(texts::kEmptyHostName);

  WsUrl out;
  out.scheme = raw.scheme;
  out.host_header = std::string(host_port);
  out.host = std::string(host);
  out.port = port;
  if (raw.path_and_query.empty()) {
    out.target = "/";
  } else if (raw.path_and_query[0] == '?') {
    // An origin-form target always starts with a slash.
    out.target = "/" + std::string(raw.path_and_query);
  } else {
    out.target = std::string(raw.path_and_query);
  }
  return out;
}

Result<std::uint16_t, TransportError> choose_port(const WsUrl& url) {
  if (url.port) return *url.port;
  if (url.scheme == "ws") return std::uint16_t{80};
  if (url.scheme == "wss") return std::uint16_t{443};
  return url_error(texts::kSchemeNotSupported);
}

}  // namespace kestrel::net
