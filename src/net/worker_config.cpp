#include "net/worker_config.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "core/failure.hpp"
#include "core/result.hpp"
#include "core/text_checks.hpp"
#include "core/texts.hpp"
#include "net/os_thread.hpp"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kestrel::net {

namespace {

// Shows a value that is not text, escaping every byte outside printable ASCII.
std::string describe_non_text(std::string_view s) {
  std::string out = "NotUnicode(\"";
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F && c != '"' && c != '\\') {
      out.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
      out += escaped;
    }
  }
  return out + "\")";
}

// Decimal usize: one optional leading '+', then digits only. The first
// problem met from left to right decides the description.
Result<std::uint64_t, std::string_view> parse_usize(std::string_view s) {
  if (s.empty()) return texts::kEmptyInteger;
  if (s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return texts::kInvalidDigit;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (const char c : s) {
    if (c < '0' || c > '9') return texts::kInvalidDigit;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return texts::kIntegerTooLarge;
    value = value * 10 + digit;
  }
  return value;
}

// The variable's value as bytes. On Windows the UTF-16 value is turned into
// UTF-8, keeping an unpaired surrogate in its (invalid) three-byte form so
// the text check rejects it just as it rejects bad bytes on POSIX.
std::optional<std::string> read_environment(const char* name) {
#if defined(_WIN32)
  std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  const DWORD needed = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (needed == 0) return std::nullopt;
  std::wstring value(needed, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), needed);
  value.resize(length);
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    std::uint32_t cp = static_cast<std::uint16_t>(value[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < value.size()) {
      const std::uint32_t next = static_cast<std::uint16_t>(value[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      }
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
#else
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
#endif
}

}  // namespace

std::size_t worker_count_from(const std::optional<std::string>& value) {
  if (!value) return processor_count();
  if (!text_checks::is_utf8(*value))
    throw InternalFailure(texts::workers_not_unicode(describe_non_text(*value)));
  const auto parsed = parse_usize(*value);
  if (!parsed) throw InternalFailure(texts::workers_not_usize(parsed.error(), *value));
  if (parsed.value() == 0) throw InternalFailure(std::string(texts::kWorkersZero));
  if (parsed.value() > std::numeric_limits<std::size_t>::max()) {
    throw InternalFailure(texts::workers_not_usize(texts::kIntegerTooLarge, *value));
  }
  return static_cast<std::size_t>(parsed.value());
}

std::size_t worker_count_from_environment() {
  return worker_count_from(read_environment(kWorkerThreadsVariable));
}

}  // namespace kestrel::net
