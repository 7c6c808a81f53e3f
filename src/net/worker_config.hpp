// The runtime's one setting, TOKIO_WORKER_THREADS: how many worker threads
// it runs, and the exact failure for a value that is not a worker count.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kestrel::net {

// The one setting, read once when the runtime is created.
inline constexpr const char* kWorkerThreadsVariable = "TOKIO_WORKER_THREADS";

// Worker count for a raw value of TOKIO_WORKER_THREADS (std::nullopt: not
// set, giving processor_count()). The value is raw bytes; anything that is
// not UTF-8, does not parse as a decimal usize or is 0 throws
// InternalFailure with the exact message that names the variable.
std::size_t worker_count_from(const std::optional<std::string>& value);

// The same for the variable as the environment holds it now.
std::size_t worker_count_from_environment();

}  // namespace kestrel::net
