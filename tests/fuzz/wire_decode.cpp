// Every decoder of the wire encoding on arbitrary bytes. Whatever decodes
// must re-encode to no more bytes than it took and decode back to the same
// value; whatever fails must fail with a reason that matches the bytes.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/messages.hpp"
#include "fuzz_support.hpp"

namespace kestrel::fuzz {
namespace {

using wire::Codec;
using wire::Decoded;
using wire::DecodeError;
using wire::Reader;
using Input = std::span<const std::uint8_t>;

// require(), naming the decoder; the text is built only on failure.
void require_of(std::string_view decoder, bool holds, std::string_view what) {
  if (!holds) fail(std::string(decoder).append(": ").append(what));
}

template <class T>
struct Outcome {
  Decoded<T> value;
  std::size_t consumed;  // where the reader stopped, on success or failure
  std::size_t remaining;
};

// One decoder under test: how it reads, writes and sizes its values, and the
// enumeration names its failures may carry.
template <class T, class Read, class Write, class Size>
struct Decoder {
  std::string_view name;
  Read read;
  Write write;
  Size size;
  std::initializer_list<std::string_view> variant_names;

  Outcome<T> run(Input bytes) const {
    Reader in(bytes);
    Decoded<T> value = read(in);
    return {std::move(value), in.consumed(), in.remaining()};
  }
};

template <class T, class Read, class Write, class Size>
Decoder<T, Read, Write, Size> decoder(std::string_view name, Read read, Write write, Size size,
                                      std::initializer_list<std::string_view> variant_names) {
  return {name, read, write, size, variant_names};
}

template <class T, class Read, class Write, class Size>
void check_failure(const Decoder<T, Read, Write, Size>& d, Input bytes, const Outcome<T>& out) {
  const DecodeError& error = out.value.error();
  require_of(d.name, out.consumed + out.remaining == bytes.size(), "reader lost track of the input");
  if (const auto* end = std::get_if<wire::UnexpectedEnd>(&error)) {
    // Only a truncated integer form ends early: what is missing plus what
    // is left is one form's payload width (or the lone first byte).
    const std::size_t form = end->needed + out.remaining;
    require_of(d.name, end->needed >= 1, "unexpected end needing nothing");
    require_of(d.name, form == 1 || form == 2 || form == 4 || form == 8,
               "unexpected end with a width no form has");
    require_of(d.name, form != 1 || out.remaining == 0, "unexpected end before the input was used up");
    // The missing bytes, supplied, carry the decode past that point.
    std::vector<std::uint8_t> longer(bytes.begin(), bytes.end());
    longer.resize(bytes.size() + end->needed, 0);
    const Outcome<T> again = d.run(longer);
    if (!again.value.has_value() && std::holds_alternative<wire::UnexpectedEnd>(again.value.error())) {
      require_of(d.name, again.consumed > out.consumed, "supplying the missing bytes made no progress");
    }
  } else if (const auto* form = std::get_if<wire::InvalidIntegerForm>(&error)) {
    require_of(d.name, out.consumed >= 1, "invalid integer form before any byte");
    const std::uint8_t first = bytes[out.consumed - 1];
    require_of(d.name, form->expected_bits == 32 || form->expected_bits == 64,
               "invalid form names an odd width");
    switch (form->found) {
      case wire::IntegerForm::Bits64:
        require_of(d.name, first == 253 && form->expected_bits == 32, "64-bit form refused wrongly");
        break;
      case wire::IntegerForm::Bits128: require_of(d.name, first == 254, "128-bit form misread"); break;
      case wire::IntegerForm::Reserved: require_of(d.name, first == 255, "reserved form misread"); break;
    }
  } else {
    const auto& variant = std::get<wire::UnexpectedVariant>(error);
    require_of(d.name, variant.allowed_min == 0 && variant.found > variant.allowed_max,
               "variant refused inside its range");
    bool known = false;
    for (std::string_view n : d.variant_names) known = known || n == variant.type_name;
    require_of(d.name, known, "unexpected variant names a type this decoder does not read");
  }
}

template <class T, class Read, class Write, class Size>
void check_success(const Decoder<T, Read, Write, Size>& d, Input bytes, const Outcome<T>& out) {
  const T& value = out.value.value();
  require_of(d.name, out.consumed >= 1 && out.consumed <= bytes.size(),
             "value consumed an impossible length");

  // Trailing bytes are ignored, and every consumed byte was needed.
  const Outcome<T> exact = d.run(bytes.first(out.consumed));
  require_of(d.name, exact.value.has_value() && exact.value.value() == value && exact.remaining == 0,
             "trailing bytes changed the value");
  const Outcome<T> short_one = d.run(bytes.first(out.consumed - 1));
  require_of(
      d.name,
      !short_one.value.has_value() && std::holds_alternative<wire::UnexpectedEnd>(short_one.value.error()),
      "value decoded from fewer bytes than it took");

  // Re-encoding takes the shortest form and reads back to the same value.
  Bytes encoded;
  d.write(encoded, value);
  require_of(d.name, encoded.size() == d.size(value), "size() disagrees with what write() wrote");
  require_of(d.name, encoded.size() <= out.consumed, "re-encoding is longer than the input");
  const Outcome<T> back = d.run(encoded);
  require_of(d.name, back.value.has_value() && back.value.value() == value && back.remaining == 0,
             "re-encoded value does not decode to itself");
  if (encoded.size() == out.consumed) {
    require_of(d.name, std::equal(encoded.begin(), encoded.end(), bytes.begin()),
               "shortest input re-encoded differently");
  }
}

template <class T, class Read, class Write, class Size>
Outcome<T> check(const Decoder<T, Read, Write, Size>& d, Input bytes) {
  Outcome<T> out = d.run(bytes);
  if (out.value.has_value()) {
    check_success(d, bytes, out);
  } else {
    check_failure(d, bytes, out);
  }
  return out;
}

template <class T>
auto codec_decoder(std::string_view name, std::initializer_list<std::string_view> variant_names) {
  return decoder<T>(
      name, [](Reader& in) { return Codec<T>::read(in); },
      [](Bytes& out, const T& v) { Codec<T>::write(out, v); }, [](const T& v) { return Codec<T>::size(v); },
      variant_names);
}

void run(Input bytes) {
  auto varint_size = [](std::uint64_t v) { return wire::varint_size(v); };
  auto write_varint = [](Bytes& out, std::uint64_t v) { wire::write_varint(out, v); };
  const auto v32 =
      check(decoder<std::uint32_t>("varint32", wire::read_varint32, write_varint, varint_size, {}), bytes);
  const auto v64 =
      check(decoder<std::uint64_t>("varint64", wire::read_varint64, write_varint, varint_size, {}), bytes);
  // A 32-bit field reads exactly what a 64-bit one does, minus the 64-bit form.
  if (v32.value.has_value()) {
    require(v64.value.has_value() && v64.value.value() == v32.value.value() && v64.consumed == v32.consumed,
            "32-bit and 64-bit fields disagree");
  } else if (v64.value.has_value()) {
    require(bytes[0] == 253, "a 64-bit field took what a 32-bit one refused, not in the 64-bit form");
  }

  check(codec_decoder<GameKind>("GameKind", {"GameKind"}), bytes);
  check(codec_decoder<ClientMessage>("ClientMessage", {"ClientMessage", "GameKind"}), bytes);
  const auto server = check(codec_decoder<ServerMessage>("ServerMessage", {"ServerMessage"}), bytes);
  const auto cell = check(codec_decoder<Cell>("Cell", {"Cell"}), bytes);
  if (cell.value.has_value()) require(cell_index(cell.value.value()) < kCellCount, "cell off the board");

  // The same through the entry point the session and the game use.
  const auto start = wire::decode<ServerMessage>(bytes);
  require(start.has_value() == server.value.has_value(), "decode() and Codec::read() disagree");
  const auto move = wire::decode<Move>(bytes);
  require(move.has_value() == cell.value.has_value(), "decode<Move> and Codec<Cell> disagree");
}

}  // namespace
}  // namespace kestrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrel::fuzz::run(std::span<const std::uint8_t>(data, size));
  return 0;
}
