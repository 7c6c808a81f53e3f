#include "server/dropper.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/console.hpp"

namespace kestrel::server {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

DropPlanner::DropPlanner(double share, std::optional<std::uint64_t> seed)
    : share_(share), rng_(seed ? *seed : std::random_device{}()) {}

std::optional<DropPlan> DropPlanner::next() {
  if (share_ <= 0.0) return std::nullopt;
  if (!(std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < share_)) return std::nullopt;
  DropPlan plan;
  plan.when = static_cast<DropPlan::When>(std::uniform_int_distribution<int>(0, 3)(rng_));
  plan.delay = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 10'000)(rng_));
  plan.reset = std::bernoulli_distribution(0.5)(rng_);
  return plan;
}

Dropper::Dropper(std::optional<DropPlan> plan, tcp::socket& socket, const std::string& peer, bool quiet)
    : plan_(plan), socket_(socket), peer_(peer), quiet_(quiet) {}

asio::awaitable<bool> Dropper::cut_at(Stage stage) {
  if (!plan_ || plan_->when != stage) co_return false;
  asio::steady_timer timer(socket_.get_executor(), plan_->delay);
  co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
  cut();
  co_return true;
}

bool Dropper::arm(Stage stage, std::weak_ptr<const void> owner) {
  if (!plan_ || plan_->when != stage) return false;
  timer_.emplace(socket_.get_executor(), plan_->delay);
  // `this` lives as long as the owner; it is touched only once the owner is
  // known to be alive.
  timer_->async_wait([this, owner = std::move(owner)](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto alive = owner.lock()) cut();
  });
  return true;
}

void Dropper::cut() {
  if (ended_ || !socket_.is_open()) return;  // gone by itself first
  boost::system::error_code ignored;
  if (plan_->reset) {
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
  } else {
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
  }
  // Pending reads and writes end with an error; the reader then takes the
  // same path as for a client that disconnected.
  socket_.close(ignored);
  if (!quiet_) {
    console::err_line("dropped " + peer_ + " " + std::string(stage_name()) + " (" +
                      (plan_->reset ? "RST" : "FIN") + ")");
  }
}

std::string_view Dropper::stage_name() const {
  if (closing_) return "while closing";
  switch (plan_->when) {
    case Stage::Handshake: return "during the handshake";
    case Stage::AfterHandshake: return "after the handshake";
    case Stage::Waiting: return "while waiting for a partner";
    case Stage::Playing: return "mid-game";
  }
  return "";
}

}  // namespace kestrel::server
