#include "net/message_channel.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <exception>
#include <optional>
#include <vector>

namespace kestrel::net {
namespace {

namespace asio = boost::asio;

Bytes B(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

template <class T>
T run(asio::io_context& io, asio::awaitable<T> task) {
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T v) {
    failure = e;
    result = std::move(v);
  });
  io.restart();
  io.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

TEST(MessageChannel, SendsOneBinaryMessagePerValue) {
  auto [out, wire_side] = make_queue<WsMessage>();
  EXPECT_TRUE(send_message(out, Cell::C4));
  EXPECT_TRUE(send_message(out, ClientMessage{Join{}}));
  out.reset();
  asio::io_context io;
  std::vector<Bytes> sent;
  while (auto item = run(io, wire_side.receive())) sent.push_back(std::get<BinaryMessage>(*item).payload);
  EXPECT_EQ(sent, (std::vector<Bytes>{B({0x04}), B({0x00, 0x00})}));

  auto [closed_out, gone] = make_queue<WsMessage>();
  gone.close();
  EXPECT_FALSE(send_message(closed_out, Cell::C0));  // dropped, nothing else
}

TEST(MessageChannel, ReceiveTakesOneItemAndDropsWhatIsUnusable) {
  auto [in, inbox] = make_queue<WsMessage>();
  in.send(BinaryMessage{B({0x09})});
  in.send(TextMessage{"4"});
  in.send(BinaryMessage{});
  in.send(PingMessage{B({0x04})});
  in.send(BinaryMessage{B({0x04, 0xFF, 0xFF})});
  in.send(BinaryMessage{B({0x08})});
  in.reset();
  asio::io_context io;
  std::vector<std::optional<Cell>> got;
  for (int i = 0; i < 6; ++i) got.push_back(run(io, receive_message<Move>(inbox)));
  EXPECT_EQ(got, (std::vector<std::optional<Cell>>{std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                                   Cell::C4, Cell::C8}));
  for (int i = 0; i < 3; ++i) {  // closed and empty: at once, every time
    auto r = run(io, receive_message_or_closed<Move>(inbox));
    EXPECT_TRUE(r.closed);
    EXPECT_FALSE(r.value);
  }
}

}  // namespace
}  // namespace kestrel::net
