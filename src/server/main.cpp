// kestrel-server: a WebSocket match server for kestrel tic-tac-toe clients.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/console.hpp"
#include "server/accept.hpp"
#include "server/control.hpp"
#include "server/control_reader.hpp"
#include "server/player_session.hpp"
#include "server/server_state.hpp"
#include "server/web.hpp"

namespace kestrel::server {
namespace {

std::string url_of(const tcp::endpoint& ep, std::string_view scheme = "ws") {
  const auto address = ep.address();
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return std::string(scheme) + "://" + host + ":" + std::to_string(ep.port());
}

void listen_on(tcp::acceptor& acceptor, const tcp::endpoint& endpoint, boost::system::error_code& ec) {
  if (acceptor.open(endpoint.protocol(), ec); !ec) {
#if !defined(_WIN32)
    // A restarted server takes its port back at once. Windows lets a
    // listener do that anyway, and there SO_REUSEADDR would let a second
    // server bind the port a first one already listens on.
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    ec.clear();
#endif
    acceptor.bind(endpoint, ec);
  }
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
}

int run(const Options& options) {
  asio::io_context io(static_cast<int>(options.threads));
  ServerState server(io, options);
  if (!options.report.empty() && !server.reports.open(options.report)) {
    console::err_line("kestrel-server: cannot open --report \"" + options.report +
                      "\": " + std::strerror(errno));
    return 1;
  }

  boost::system::error_code ec;
  tcp::resolver resolver(io);
  auto resolve = [&](const std::string& host, std::uint16_t port, std::string_view option) {
    const auto found = resolver.resolve(host, std::to_string(port),
                                        tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty()) {
      console::err_line("kestrel-server: cannot resolve " + std::string(option) + " \"" + host +
                        "\": " + (ec ? ec.message() : "no address"));
      return std::optional<tcp::endpoint>();
    }
    return std::optional<tcp::endpoint>(found.begin()->endpoint());
  };
  const auto game_endpoint = resolve(options.host, options.port, "--host");
  if (!game_endpoint) return 2;
  const tcp::endpoint endpoint = *game_endpoint;
  std::optional<tcp::endpoint> web_endpoint;
  if (options.web_port) {
    web_endpoint = resolve(options.web_host, *options.web_port, "--web-host");
    if (!web_endpoint) return 2;
  }
  // The accept loop and the close at shutdown share the acceptor's strand:
  // with several threads running `io`, a signal handled on one of them must
  // not close the acceptor while another starts an accept on it.
  tcp::acceptor acceptor(asio::make_strand(io));
  listen_on(acceptor, endpoint, ec);
  if (ec) {
    console::err_line("kestrel-server: cannot listen on " + url_of(endpoint) + ": " + ec.message());
    return 1;
  }
  // Spectators have a listener of their own: the game port stays a
  // WebSocket endpoint where every connection is a player.
  tcp::acceptor web(asio::make_strand(io));
  if (web_endpoint) {
    listen_on(web, *web_endpoint, ec);
    if (ec) {
      console::err_line("kestrel-server: cannot listen on " + url_of(*web_endpoint, "http") + ": " +
                        ec.message());
      return 1;
    }
  }
  // Installed before the listening line, so a signal sent as soon as that
  // line appears still stops the server cleanly.
  asio::signal_set signals(acceptor.get_executor(), SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& error, int) {
    if (error) return;
    boost::system::error_code ignored;
    acceptor.close(ignored);
    io.stop();
  });

  // The parent's commands; its end (the parent has gone, however it went)
  // stops the server as a signal would, so no server outlives its arena.
  std::unique_ptr<ControlReader> control;
  if (options.control) {
    control = std::make_unique<ControlReader>(
        [targets = ControlTargets{server.seating, server.feed, server.reports}](std::string_view line) {
          apply_control_line(line, targets);
        },
        [&] {
          asio::post(acceptor.get_executor(), [&] {
            boost::system::error_code ignored;
            acceptor.close(ignored);
            io.stop();
          });
        });
  }

  console::out_line("kestrel-server listening on " + url_of(acceptor.local_endpoint()));
  if (web.is_open()) {
    console::out_line("kestrel-server spectators on " + url_of(web.local_endpoint(), "http") + "/");
    asio::co_spawn(web.get_executor(),
                   accept_loop(web, io, "spectator port",
                               [&server](tcp::socket socket) { start_spectator(std::move(socket), server); }),
                   asio::detached);
  }

  asio::co_spawn(
      acceptor.get_executor(),
      accept_loop(acceptor, io, "game port",
                  [&server](tcp::socket socket) {
                    boost::system::error_code ignored;
                    socket.set_option(tcp::no_delay(true), ignored);  // one small message per move
                    std::make_shared<PlayerSession>(std::move(socket), server, server.drops.next())->start();
                  }),
      asio::detached);

  // Joined by hand: libc++ 16, like the standard library of older macOS
  // releases, has no std::jthread.
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < options.threads; ++i) threads.emplace_back([&io] { io.run(); });
  io.run();
  for (std::thread& thread : threads) thread.join();
  control.reset();  // before what its callbacks use goes
  return 0;
}

}  // namespace
}  // namespace kestrel::server

int main(int argc, char** argv) {
  using namespace kestrel::server;
#if !defined(_WIN32)
  // A report reader that has gone must not end the server: the write fails
  // instead (EPIPE), and the reports stop.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_options(args);
  if (std::holds_alternative<ShowHelp>(parsed)) {
    kestrel::console::out_text(kUsage);
    return 0;
  }
  if (std::holds_alternative<ShowVersion>(parsed)) {
    kestrel::console::out_text("kestrel-server " KESTREL_VERSION "\n");
    return 0;
  }
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    kestrel::console::err_line("kestrel-server: " + error->message);
    kestrel::console::err_line("Try 'kestrel-server --help' for more information.");
    return 2;
  }
  try {
    return run(std::get<Options>(parsed));
  } catch (const std::exception& e) {
    kestrel::console::err_line(std::string("kestrel-server: ") + e.what());
    return 1;
  }
}
