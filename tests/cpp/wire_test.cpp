#include "core/messages.hpp"
#include "core/wire.hpp"

#include <gtest/gtest.h>

#include <exception>
#include <limits>
#include <memory>
#include <random>
#include <vector>

namespace kestrel {
namespace {

using namespace wire;

Bytes B(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Decoded<std::uint64_t> u64(const Bytes& bytes) {
  Reader in(bytes);
  return read_varint64(in);
}

Decoded<std::uint32_t> u32(const Bytes& bytes) {
  Reader in(bytes);
  return read_varint32(in);
}

Bytes varint(std::uint64_t value) {
  Bytes out;
  out.reserve(varint_size(value));
  write_varint(out, value);
  return out;
}

template <class T>
DecodeError error_of(const Decoded<T>& d) {
  EXPECT_FALSE(d.has_value());
  return d.has_value() ? DecodeError(UnexpectedEnd{0}) : d.error();
}

TEST(Varint, EncodesShortestForm) {
  for (std::uint64_t v = 0; v <= 250; ++v) EXPECT_EQ(varint(v), B({static_cast<int>(v)}));
  EXPECT_EQ(varint(251), B({0xFB, 0xFB, 0x00}));
  EXPECT_EQ(varint(65535), B({0xFB, 0xFF, 0xFF}));
  EXPECT_EQ(varint(65536), B({0xFC, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(varint(0xFFFF'FFFF), B({0xFC, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(varint(0x1'0000'0000), B({0xFD, 0, 0, 0, 0, 1, 0, 0, 0}));
}

TEST(Varint, RoundTripsAtEveryWidthBoundary) {
  const std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();
  for (std::uint64_t v :
       std::initializer_list<std::uint64_t>{0, 250, 251, 65535, 65536, 0xFFFF'FFFF, 0x1'0000'0000, max64}) {
    SCOPED_TRACE(v);
    const Bytes bytes = varint(v);
    EXPECT_EQ(bytes.size(), varint_size(v));
    Reader in(bytes);
    auto back = read_varint64(in);
    ASSERT_TRUE(back);
    EXPECT_EQ(back.value(), v);
    EXPECT_EQ(in.consumed(), bytes.size());
    if (v <= 0xFFFF'FFFF) {
      ASSERT_TRUE(u32(bytes));
      EXPECT_EQ(u32(bytes).value(), v);
    } else {
      EXPECT_EQ(error_of(u32(bytes)), DecodeError(InvalidIntegerForm{32, IntegerForm::Bits64}));
    }
    // Every strict prefix is short by exactly the missing bytes.
    for (std::size_t k = 0; k < bytes.size(); ++k) {
      const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(k));
      const std::size_t needed = k == 0 ? 1 : bytes.size() - k;
      EXPECT_EQ(error_of(u64(prefix)), DecodeError(UnexpectedEnd{needed})) << "prefix " << k;
    }
  }
}

TEST(Varint, DecodingAcceptsNarrowFormsAndRejectsWideOnes) {
  EXPECT_EQ(error_of(u64({})), DecodeError(UnexpectedEnd{1}));
  EXPECT_EQ(error_of(u32(B({0xFB}))), DecodeError(UnexpectedEnd{2}));
  EXPECT_EQ(error_of(u32(B({0xFB, 0x01}))), DecodeError(UnexpectedEnd{1}));
  EXPECT_EQ(u32(B({0xFB, 0x05, 0x00})).value(), 5U);  // non-shortest is fine
  EXPECT_EQ(u64(B({0xFC, 0x07, 0, 0, 0})).value(), 7U);
  EXPECT_EQ(u32(B({0x07, 0xFF, 0xFF})).value(), 7U);  // trailing bytes ignored

  const Bytes fd = B({0xFD, 1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(u64(fd).value(), 0x0807060504030201ULL);
  EXPECT_EQ(error_of(u32(fd)), DecodeError(InvalidIntegerForm{32, IntegerForm::Bits64}));
  Bytes fe(17, 0);
  fe[0] = 0xFE;
  EXPECT_EQ(error_of(u32(fe)), DecodeError(InvalidIntegerForm{32, IntegerForm::Bits128}));
  EXPECT_EQ(error_of(u64(fe)), DecodeError(InvalidIntegerForm{64, IntegerForm::Bits128}));
  EXPECT_EQ(error_of(u32(B({0xFF, 0}))), DecodeError(InvalidIntegerForm{32, IntegerForm::Reserved}));
  EXPECT_EQ(error_of(u64(B({0xFF, 0}))), DecodeError(InvalidIntegerForm{64, IntegerForm::Reserved}));
}

TEST(Messages, EncodeToTheirExactBytesInOneExactAllocation) {
  const Bytes join = encode(ClientMessage{Join{GameKind::TicTacToe}});
  EXPECT_EQ(join, B({0x00, 0x00}));
  EXPECT_EQ(join.capacity(), join.size());
  const Bytes move = encode(Cell::C4);
  EXPECT_EQ(move, B({0x04}));
  EXPECT_EQ(move.capacity(), 1U);
  for (std::uint64_t seat : std::initializer_list<std::uint64_t>{0, 1, 300, 0x1'0000'0000}) {
    const Bytes started = encode(ServerMessage{GameStarted{seat}});
    EXPECT_EQ(started.capacity(), started.size());
    auto back = decode<ServerMessage>(started);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::get<GameStarted>(back.value().value).player_id, seat);
  }
  auto joined = decode<ClientMessage>(join);
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined.value(), ClientMessage{Join{GameKind::TicTacToe}});
}

TEST(Messages, DecodeStartMessagesAndMoves) {
  auto seat = [](const Bytes& b) {
    return std::get<GameStarted>(decode<ServerMessage>(b).value().value).player_id;
  };
  EXPECT_EQ(seat(B({0x00, 0x01})), 1U);
  EXPECT_EQ(seat(B({0x00, 0xFB, 0x2C, 0x01})), 300U);
  EXPECT_EQ(error_of(decode<ServerMessage>(B({0x01, 0x00}))),
            DecodeError(UnexpectedVariant{"ServerMessage", 0, 0, 1}));
  EXPECT_EQ(error_of(decode<ServerMessage>(B({0x00}))), DecodeError(UnexpectedEnd{1}));

  EXPECT_EQ(decode<Move>(B({0x08})).value(), Cell::C8);
  EXPECT_EQ(decode<Move>(B({0x04, 0xFF, 0xFF})).value(), Cell::C4);
  EXPECT_EQ(error_of(decode<Move>(B({0x09}))), DecodeError(UnexpectedVariant{"Cell", 0, 8, 9}));
  EXPECT_EQ(error_of(decode<Move>(B({0xFB, 0x00, 0x01}))), DecodeError(UnexpectedVariant{"Cell", 0, 8, 256}));
  EXPECT_EQ(error_of(decode<Move>({})), DecodeError(UnexpectedEnd{1}));
  EXPECT_EQ(error_of(decode<ClientMessage>(B({0x00, 0x02}))),
            DecodeError(UnexpectedVariant{"GameKind", 0, 1, 2}));
}

// Random and truncated inputs, each in a heap buffer of exactly its size so
// that a sanitizer or valgrind flags any read past the end.
TEST(Messages, DecoderSurvivesRandomAndTruncatedInput) {
  std::mt19937 rng(20240611);
  const std::uint8_t interesting[] = {0, 1, 4, 8, 9, 250, 251, 252, 253, 254, 255};
  std::uniform_int_distribution<int> len(0, 20), byte(0, 255), pick(0, 1);
  std::uniform_int_distribution<std::size_t> which(0, std::size(interesting) - 1);

  auto check_all = [](const std::uint8_t* data, std::size_t n) {
    const std::span<const std::uint8_t> bytes(data, n);
    Reader in(bytes);
    if (auto v = read_varint64(in)) {
      EXPECT_TRUE(in.consumed() == 1 || in.consumed() == 3 || in.consumed() == 5 || in.consumed() == 9);
      EXPECT_EQ(u64(varint(v.value())).value(), v.value());
    }
    EXPECT_LE(in.consumed(), n);
    if (auto m = decode<ServerMessage>(bytes)) {
      const Bytes again = encode(m.value());
      EXPECT_EQ(decode<ServerMessage>(again).value(), m.value());
    }
    if (auto c = decode<Move>(bytes)) {
      EXPECT_LT(cell_index(c.value()), 9);
    }
    (void)decode<ClientMessage>(bytes);
  };

  for (int round = 0; round < 20000; ++round) {
    const std::size_t n = static_cast<std::size_t>(len(rng));
    auto buffer = std::make_unique<std::uint8_t[]>(n);
    for (std::size_t i = 0; i < n; ++i) {
      buffer[i] = pick(rng) ? interesting[which(rng)] : static_cast<std::uint8_t>(byte(rng));
    }
    for (std::size_t k = 0; k <= n; ++k) {  // every prefix, exactly sized
      auto prefix = std::make_unique<std::uint8_t[]>(k);
      std::copy_n(buffer.get(), k, prefix.get());
      check_all(prefix.get(), k);
    }
  }
}

}  // namespace
}  // namespace kestrel
