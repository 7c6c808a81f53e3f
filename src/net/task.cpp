#include "net/task.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/system_error.hpp>
#include <string>

#include "core/texts.hpp"
#include "core/failure.hpp"
#include "net/panic.hpp"
#include "net/runtime.hpp"

namespace kestrel::net {
namespace asio = boost::asio;

namespace task_detail {

asio::any_io_executor new_task_strand() {
  return asio::any_io_executor(asio::make_strand(background_runtime().context()));
}

void launch(const std::shared_ptr<TaskControl>& control, asio::awaitable<void> body) {
  // Posting first keeps a task spawned from a worker from running inline
  // inside the spawning call; the strand then orders any later cancel after
  // the start.
  asio::post(control->strand, [control, body = std::move(body)]() mutable {
    asio::co_spawn(control->strand, std::move(body),
                   asio::bind_cancellation_slot(control->signal.slot(),
                                                // Keeps the signal alive while the task runs.
                                                [control](std::exception_ptr) {}));
  });
}

void request_cancel(const std::shared_ptr<TaskControl>& control) {
  asio::post(control->strand, [control] {
    if (control->finished) return;
    control->cancel_requested = true;
    control->signal.emit(asio::cancellation_type::terminal);
  });
}

std::variant<TaskFailure, TaskCancelled> end_by_exception(std::exception_ptr error, bool cancel_requested,
                                                          const std::source_location& spawn_site) {
  try {
    std::rethrow_exception(error);
  } catch (const TaskAbandoned&) {
    return TaskCancelled{};
  } catch (const InternalFailure& failure) {
    report_panic(&failure.where(), failure.what());
    return TaskFailure{failure.what()};
  } catch (const boost::system::system_error& e) {
    if (cancel_requested && e.code() == asio::error::operation_aborted) return TaskCancelled{};
    report_panic(&spawn_site, e.what());
    return TaskFailure{e.what()};
  } catch (const std::exception& e) {
    report_panic(&spawn_site, e.what());
    return TaskFailure{e.what()};
  } catch (...) {
    report_panic(&spawn_site, texts::kNoMessage);
    return TaskFailure{std::nullopt};
  }
}

}  // namespace task_detail
}  // namespace kestrel::net
