// The compact binary encoding of every payload exchanged with the match
// server: little-endian variable-length integers and enumerations written as
// their variant index followed by their fields, with no framing or padding.
//
// Encoding sizes the output first and allocates once. Decoding reads the
// caller's bytes in place through a cursor, never allocates, stops after the
// value (trailing bytes are not examined) and reports failures as values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "core/bytes.hpp"
#include "core/result.hpp"

namespace kestrel::wire {

// Failure kinds of a decode, with what a reader of a bug report needs.
struct UnexpectedEnd {
  std::size_t needed;  // how many more bytes the value required
  friend bool operator==(const UnexpectedEnd&, const UnexpectedEnd&) = default;
};

enum class IntegerForm { Bits64, Bits128, Reserved };

struct InvalidIntegerForm {
  unsigned expected_bits;  // width of the field being read: 32 or 64
  IntegerForm found;       // the form its first byte announced
  friend bool operator==(const InvalidIntegerForm&, const InvalidIntegerForm&) = default;
};

struct UnexpectedVariant {
  std::string_view type_name;  // always a string literal
  std::uint32_t allowed_min;
  std::uint32_t allowed_max;
  std::uint32_t found;
  friend bool operator==(const UnexpectedVariant&, const UnexpectedVariant&) = default;
};

using DecodeError = std::variant<UnexpectedEnd, InvalidIntegerForm, UnexpectedVariant>;

// A decoded value or the reason there is none.
template <class T>
using Decoded = Result<T, DecodeError>;

// Read position over borrowed bytes.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) noexcept : rest_(bytes) {}

  std::size_t remaining() const noexcept { return rest_.size(); }
  std::size_t consumed() const noexcept { return consumed_; }
  // Returns the next n bytes and moves past them; n <= remaining().
  std::span<const std::uint8_t> take(std::size_t n) noexcept {
    auto head = rest_.first(n);
    rest_ = rest_.subspan(n);
    consumed_ += n;
    return head;
  }

 private:
  std::span<const std::uint8_t> rest_;
  std::size_t consumed_ = 0;
};

// Variable-length unsigned integers. The shortest form is written; on read
// every form no wider than the field is accepted, even a non-shortest one.
std::size_t varint_size(std::uint64_t value) noexcept;
void write_varint(Bytes& out, std::uint64_t value);
Decoded<std::uint32_t> read_varint32(Reader& in) noexcept;
Decoded<std::uint64_t> read_varint64(Reader& in) noexcept;

// An enumeration index, checked against the type's variants before any
// field is read.
Decoded<std::uint32_t> read_variant_index(Reader& in, std::string_view type_name,
                                          std::uint32_t allowed_max) noexcept;

// Specialised for every encodable type:
//   static std::size_t size(const T&) noexcept;   exact encoded length
//   static void write(Bytes&, const T&);          appends the encoding
//   static Decoded<T> read(Reader&) noexcept;
template <class T>
struct Codec;

template <class T>
Bytes encode(const T& value) {
  Bytes out;
  out.reserve(Codec<T>::size(value));
  Codec<T>::write(out, value);
  return out;
}

// Decodes one T from the front of `bytes`; what follows it is ignored.
template <class T>
Decoded<T> decode(std::span<const std::uint8_t> bytes) noexcept {
  Reader in(bytes);
  return Codec<T>::read(in);
}

}  // namespace kestrel::wire
