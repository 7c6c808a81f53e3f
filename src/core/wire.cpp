#include "core/wire.hpp"

namespace kestrel::wire {
namespace {

// First bytes that announce a wider form; anything below is the value.
constexpr std::uint8_t kU16 = 251;
constexpr std::uint8_t kU32 = 252;
constexpr std::uint8_t kU64 = 253;
constexpr std::uint8_t kU128 = 254;

void put_le(Bytes& out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t get_le(std::span<const std::uint8_t> bytes) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  return value;
}

// Reads an integer of a field `bits` wide (32 or 64).
Decoded<std::uint64_t> read_varint(Reader& in, unsigned bits) noexcept {
  if (in.remaining() == 0) return UnexpectedEnd{1};
  const std::uint8_t first = in.take(1)[0];
  if (first < kU16) return std::uint64_t{first};
  std::size_t width = 0;
  switch (first) {
    case kU16: width = 2; break;
    case kU32: width = 4; break;
    case kU64:
      if (bits < 64) return InvalidIntegerForm{bits, IntegerForm::Bits64};
      width = 8;
      break;
    case kU128: return InvalidIntegerForm{bits, IntegerForm::Bits128};
    default: return InvalidIntegerForm{bits, IntegerForm::Reserved};
  }
  if (in.remaining() < width) return UnexpectedEnd{width - in.remaining()};
  return get_le(in.take(width));
}

}  // namespace

std::size_t varint_size(std::uint64_t value) noexcept {
  if (value < kU16) return 1;
  if (value <= 0xFFFF) return 3;
  if (value <= 0xFFFF'FFFF) return 5;
  return 9;
}

void write_varint(Bytes& out, std::uint64_t value) {
  if (value < kU16) {
    out.push_back(static_cast<std::uint8_t>(value));
  } else if (value <= 0xFFFF) {
    out.push_back(kU16);
    put_le(out, value, 2);
  } else if (value <= 0xFFFF'FFFF) {
    out.push_back(kU32);
    put_le(out, value, 4);
  } else {
    out.push_back(kU64);
    put_le(out, value, 8);
  }
}

Decoded<std::uint32_t> read_varint32(Reader& in) noexcept {
  auto v = read_varint(in, 32);
  if (!v) return v.error();
  return static_cast<std::uint32_t>(v.value());  // at most 4 payload bytes were read
}

Decoded<std::uint64_t> read_varint64(Reader& in) noexcept { return read_varint(in, 64); }

Decoded<std::uint32_t> read_variant_index(Reader& in, std::string_view type_name,
                                          std::uint32_t allowed_max) noexcept {
  auto index = read_varint32(in);
  if (index && index.value() > allowed_max) {
    return UnexpectedVariant{type_name, 0, allowed_max, index.value()};
  }
  return index;
}

}  // namespace kestrel::wire
