// Per-turn timing for latency work: with the build option
// KESTREL_TURN_STAMPS on, KESTREL_STAMP(stage) notes the monotonic clock at
// each step of one local turn, from the opponent's move arriving to ours
// leaving. Off (the default), the macros expand to an empty expression and
// none of this is compiled in.
//
// The stamps describe one turn at a time: they are meant for one session
// playing alone (bench/turn_budget.py), not for many at once. A turn is kept
// when its move has been written; the turns kept are appended, one line each,
// to the file named by KESTREL_TURN_STAMPS_FILE at exit (or at
// KESTREL_STAMPS_FLUSH() for a program that ends with _Exit).
#pragma once

#include <cstddef>

namespace kestrel::stamps {

// In the order a turn passes them. A C++ strategy leaves the Python stages
// unset.
enum class Stage : std::size_t {
  frame_read,      // Beast has read and decoded the opponent's move (reader, connection strand)
  inbox,           // the reader coroutine has it, about to hand it to the Inbox
  game_loop,       // the session coroutine has it (session strand)
  lock_taken,      // the worker holds the interpreter lock
  turn_called,     // state built, handle_turn returned its coroutine
  scheduled,       // call_soon_threadsafe returned
  lock_released,   // the worker let go of the lock
  loop_callback,   // PyEnsureFuture runs on the loop thread
  task_created,    // ensure_future returned
  callback_added,  // add_done_callback returned
  completer,       // PyTaskCompleter runs (the coroutine has finished)
  answer_ready,    // the answer is read, about to go into the completion channel
  worker_resumed,  // the session coroutine has the answer again
  move_sending,    // the move is applied, about to be encoded into the Outbox
  writer_awake,    // the writer coroutine has it (connection strand)
  written,         // the socket took the frame
  count,
};

void mark(Stage stage) noexcept;
void flush() noexcept;

}  // namespace kestrel::stamps

#if defined(KESTREL_TURN_STAMPS)
#define KESTREL_STAMP(stage) ::kestrel::stamps::mark(::kestrel::stamps::Stage::stage)
#define KESTREL_STAMPS_FLUSH() ::kestrel::stamps::flush()
#else
#define KESTREL_STAMP(stage) static_cast<void>(0)
#define KESTREL_STAMPS_FLUSH() static_cast<void>(0)
#endif
