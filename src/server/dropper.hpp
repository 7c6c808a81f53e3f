// Fault injection (--drop): the server cuts chosen connections abruptly, so
// that clients, tests and the soak meet every kind of early end a real
// network brings. A connection only reports the stages it reaches; what
// happens there is decided here.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace kestrel::server {

// Where in a connection's life the server cuts it, after how long, and how.
struct DropPlan {
  enum class When { Handshake, AfterHandshake, Waiting, Playing };
  When when = When::Handshake;
  std::chrono::microseconds delay{0};  // counted from reaching `when`
  bool reset = false;                  // RST (linger 0) rather than FIN
};

// Decides, connection by connection, whether and how each is to be cut.
// Called by the accept loop only, so one seed gives one sequence of plans.
class DropPlanner {
 public:
  // `share`: the fraction of connections cut; `seed` unset: a fresh one.
  DropPlanner(double share, std::optional<std::uint64_t> seed);

  std::optional<DropPlan> next();

 private:
  double share_;
  std::mt19937_64 rng_;
};

// Carries out one connection's plan, if it has one. Runs on the
// connection's strand, like every call its connection makes.
class Dropper {
 public:
  using Stage = DropPlan::When;

  // `socket` and `peer` belong to the connection, which outlives this.
  Dropper(std::optional<DropPlan> plan, boost::asio::ip::tcp::socket& socket, const std::string& peer,
          bool quiet);

  // For the stages the reader passes by itself (the handshake, then the join
  // request): with a plan for `stage`, waits out the delay, cuts, and says
  // true, so that the reader stops and the client waits for an answer that
  // never comes.
  boost::asio::awaitable<bool> cut_at(Stage stage);

  // For the stages other events bring (the lobby, the game): with a plan for
  // `stage`, the cut comes once the delay is over, and this says true.
  // Weak `owner`: a connection that ends by itself first is not kept alive
  // for its cut.
  bool arm(Stage stage, std::weak_ptr<const void> owner);

  // The connection has begun its closing handshake: a later cut says so.
  void closing() noexcept { closing_ = true; }
  // The reader has ended: the connection goes by itself, with no cut.
  void ended() noexcept { ended_ = true; }

 private:
  void cut();
  std::string_view stage_name() const;

  std::optional<DropPlan> plan_;
  boost::asio::ip::tcp::socket& socket_;
  const std::string& peer_;
  bool quiet_;
  bool closing_ = false;
  bool ended_ = false;
  std::optional<boost::asio::steady_timer> timer_;
};

}  // namespace kestrel::server
