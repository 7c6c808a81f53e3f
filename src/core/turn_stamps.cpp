#include "core/turn_stamps.hpp"

#if defined(KESTREL_TURN_STAMPS)

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel::stamps {
namespace {

constexpr std::size_t kStages = static_cast<std::size_t>(Stage::count);
constexpr std::size_t kMaxTurns = 1U << 16;

using Record = std::array<std::int64_t, kStages>;

std::int64_t now_ns() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);  // the clock of Python's time.monotonic_ns
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Recorder {
  std::array<std::atomic<std::int64_t>, kStages> current{};
  std::mutex mutex;  // guards `kept`; taken once per turn, after the turn
  std::vector<Record> kept;

  Recorder() {
    kept.reserve(kMaxTurns);
    std::atexit(flush);
  }
};

Recorder& recorder() {
  static Recorder* r = new Recorder;  // never destroyed: workers may stamp during exit
  return *r;
}

}  // namespace

void mark(Stage stage) noexcept {
  Recorder& r = recorder();
  const std::int64_t t = now_ns();
  if (stage == Stage::frame_read) {
    for (auto& slot : r.current) slot.store(0, std::memory_order_relaxed);
  }
  r.current[static_cast<std::size_t>(stage)].store(t, std::memory_order_relaxed);
  if (stage != Stage::written) return;
  Record record{};
  for (std::size_t i = 0; i < kStages; ++i) record[i] = r.current[i].exchange(0, std::memory_order_relaxed);
  if (record[0] == 0) return;  // a write with no move read before it (the join)
  std::lock_guard lock(r.mutex);
  if (r.kept.size() < kMaxTurns) r.kept.push_back(record);
}

void flush() noexcept {
  Recorder& r = recorder();
  const char* path = std::getenv("KESTREL_TURN_STAMPS_FILE");
  std::lock_guard lock(r.mutex);
  if (path == nullptr || r.kept.empty()) return;
  std::FILE* out = std::fopen(path, "a");
  if (out == nullptr) return;
  for (const Record& record : r.kept) {
    std::string line;
    for (std::size_t i = 0; i < kStages; ++i) {
      if (i > 0) line += ' ';
      line += std::to_string(record[i]);
    }
    line += '\n';
    std::fputs(line.c_str(), out);
  }
  std::fclose(out);
  r.kept.clear();
}

}  // namespace kestrel::stamps

#endif
