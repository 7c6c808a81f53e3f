// Every fixed text the client shows the world: its console lines, the
// descriptions of failed connections and the messages of internal failures.
// This is an external contract: users, their tools and their tests match on
// these texts (some of them name another implementation's runtime on
// purpose), so each stays byte for byte as it is. Change one only on purpose,
// with the tests that pin it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::texts {

// ---- console lines of a session (standard output unless marked) ----

inline std::string connected_to(std::string_view url) { return "Connected to " + std::string(url); }
inline constexpr std::string_view kWaitingForGame = "Waiting for game to start";
inline std::string game_started(std::uint64_t seat) {
  return "Game started, player id: " + std::to_string(seat);
}
// The result line: "Player1 wins!" (seat 0), "Player2 wins!" or "Tie".
inline std::string winner_line(std::string_view player_name) { return std::string(player_name) + " wins!"; }
inline constexpr std::string_view kTie = "Tie";
// Standard error.
inline std::string failed_to_connect(std::string_view url, std::string_view description) {
  return "Failed to connect to " + std::string(url) + ": " + std::string(description);
}
inline constexpr std::string_view kEndedBeforeStart =
    "Connection to the server ended before the game started";
inline constexpr std::string_view kEndedBeforeOver =
    "Connection to the server ended before the game was over";
inline std::string game_not_played(std::uint64_t seat) {
  return "Game not played: the server assigned seat " + std::to_string(seat) + ", which is neither 0 nor 1";
}

// ---- descriptions of transport failures: a fixed prefix, then detail ----

inline constexpr std::string_view kIoError = "IO error: ";
inline constexpr std::string_view kHttpError = "HTTP error: ";
inline constexpr std::string_view kUrlError = "URL error: ";
inline constexpr std::string_view kProtocolError = "WebSocket protocol error: ";
inline constexpr std::string_view kSpaceLimit = "Space limit exceeded: ";
inline constexpr std::string_view kUtf8Error = "UTF-8 encoding error: ";
inline constexpr std::string_view kFormatError = "HTTP format error: ";
inline constexpr std::string_view kClosedNormally = "Connection closed normally";
inline constexpr std::string_view kClosedConnection = "Trying to work with closed connection";

// After kFormatError: why the text is not a URI, in the URI parser's words.
inline constexpr std::string_view kUriTooLong = "uri too long";
inline constexpr std::string_view kEmptyString = "empty string";
inline constexpr std::string_view kSchemeTooLong = "scheme too long";
inline constexpr std::string_view kInvalidFormat = "invalid format";
inline constexpr std::string_view kInvalidAuthority = "invalid authority";
inline constexpr std::string_view kInvalidUriCharacter = "invalid uri character";
inline constexpr std::string_view kInvalidPort = "invalid port";
// After kUrlError.
inline constexpr std::string_view kNoHostName = "No host name in the URL";
inline constexpr std::string_view kEmptyHostName = "URL contains empty host name";
inline constexpr std::string_view kSchemeNotSupported = "URL scheme not supported";
inline constexpr std::string_view kNoTls = "TLS support not compiled in";
// After kIoError.
inline constexpr std::string_view kNoAddress = "could not resolve to any address";
inline constexpr std::string_view kLookupFailed = "failed to lookup address information: ";
// After kProtocolError: the handshake checks, in the order they run.
inline constexpr std::string_view kOldHttpVersion = "HTTP version must be 1.1 or higher";
inline constexpr std::string_view kNoUpgradeHeader = R"(No "Upgrade: websocket" header)";
inline constexpr std::string_view kNoConnectionHeader = R"(No "Connection: upgrade" header)";
inline constexpr std::string_view kKeyMismatch = R"(Key mismatch in "Sec-WebSocket-Accept" header)";
inline constexpr std::string_view kUnaskedSubprotocol =
    "SubProtocol error: Server sent a subprotocol but none was requested";
// After kProtocolError: the connection ended in the wrong place.
inline constexpr std::string_view kHandshakeNotFinished = "Handshake not finished";
inline constexpr std::string_view kResetWithoutClose = "Connection reset without closing handshake";
// After kSpaceLimit: a whole message, or one frame, over its limit.
inline constexpr std::string_view kMessageTooLong = "Message too long: ";
inline std::string message_too_long(std::size_t limit) {
  return std::string(kMessageTooLong) + "more than " + std::to_string(limit) + " bytes";
}
inline std::string frame_too_long(std::size_t limit) {
  return std::string(kMessageTooLong) + "a frame of more than " + std::to_string(limit) + " bytes";
}
inline constexpr std::string_view kReadBufferFull = "Read buffer is full";
inline constexpr std::string_view kResponseTooLarge = "Handshake response too large";
// After kProtocolError, when asked to send a control message.
inline constexpr std::string_view kOnlyDataMessages = "only data messages can be sent";
// After kUtf8Error.
inline constexpr std::string_view kBadUtf8Text = "invalid UTF-8 in a text message";
inline constexpr std::string_view kBadUtf8Close = "invalid UTF-8 in a close reason";

// ---- internal failures of the background runtime ----

// TOKIO_WORKER_THREADS: each message starts with the variable's name quoted.
inline constexpr std::string_view kWorkersZero = "\"TOKIO_WORKER_THREADS\" cannot be set to 0";
inline std::string workers_not_usize(std::string_view error, std::string_view value) {
  return "\"TOKIO_WORKER_THREADS\" must be usize, error: " + std::string(error) +
         ", value: " + std::string(value);
}
inline std::string workers_not_unicode(std::string_view shown) {
  return "\"TOKIO_WORKER_THREADS\" must be valid unicode, error: " + std::string(shown);
}
// Why a value is not a decimal usize.
inline constexpr std::string_view kEmptyInteger = "cannot parse integer from empty string";
inline constexpr std::string_view kInvalidDigit = "invalid digit found in string";
inline constexpr std::string_view kIntegerTooLarge = "number too large to fit in target type";
// Creating the runtime.
inline constexpr std::string_view kRuntimeBuildFailed = "Unable to build Tokio runtime: ";
inline constexpr std::string_view kNoThread = "OS can't spawn worker thread: ";
inline constexpr std::string_view kRuntimePoisoned =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
// The report of any internal failure on standard error:
//   thread '<name>' panicked at <file>:<line>:<column>:\n<message>\n
inline std::string panic_report(std::string_view thread, std::string_view where, std::string_view message) {
  return "thread '" + std::string(thread) + "' panicked at " + std::string(where) + ":\n" +
         std::string(message) + "\n";
}
// The message of a failure that carried none.
inline constexpr std::string_view kNoMessage = "Box<dyn Any>";

// ---- what Python sees of an internal failure ----

// The message of RustPanic: this prefix, then the failure's message (or
// kUnknownError when it had none).
inline constexpr std::string_view kFuturePanicked = "rust future panicked: ";
inline constexpr std::string_view kUnknownError = "unknown error";
// handle_turn's answer: a Python error (then its PyErr rendering) or a
// number that is no cell.
inline constexpr std::string_view kUnwrapErr = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";
// Creating the module's classes and exceptions.
inline constexpr std::string_view kTypeCreationFailed = "failed to create type object for ";
inline constexpr std::string_view kExceptionCreationFailed = "Failed to initialize new exception type.";
inline constexpr std::string_view kAllAppendFailed = "could not append __name__ to __all__";
// Exceptions raised straight from a call into the module.
// "'int' object cannot be converted to 'PyString'": an argument of the wrong
// type, named by the type the binding wanted.
inline std::string cannot_convert(std::string_view type_name, std::string_view wanted) {
  return "'" + std::string(type_name) + "' object cannot be converted to '" + std::string(wanted) + "'";
}
// The same about one argument: "argument 'url': ...".
inline std::string in_argument(std::string_view name, std::string_view message) {
  return "argument '" + std::string(name) + "': " + std::string(message);
}
inline constexpr std::string_view kNoSubinterpreters = "kestrel does not support sub-interpreters";
inline constexpr std::string_view kNoConstructor = "No constructor defined";
// Arguments that do not fit a method's parameters, in the interpreter's own
// words, so that a wrong call reads as it would for any Python function.
inline std::string duplicate_argument(std::string_view function, std::string_view name) {
  return std::string(function) + " got multiple values for argument '" + std::string(name) + "'";
}
inline std::string unexpected_keyword(std::string_view function, std::string_view name) {
  return std::string(function) + " got an unexpected keyword argument '" + std::string(name) + "'";
}
inline std::string too_many_positional(std::string_view function, std::size_t count, std::size_t given) {
  return std::string(function) + " takes " + std::to_string(count) + " positional arguments but " +
         std::to_string(given) + (given == 1 ? " was" : " were") + " given";
}
// `missing`: the parameters' names, in their order.
inline std::string missing_arguments(std::string_view function, const std::vector<std::string>& missing) {
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
    list += "'" + missing[i] + "'";
  }
  return std::string(function) + " missing " + std::to_string(missing.size()) +
         " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + list;
}
// Written on standard error before the process aborts.
inline constexpr std::string_view kPanicAtBoundary = "uncaught panic at ffi boundary";

template <class... Parts>
std::string join(const Parts&... parts) {
  std::string out;
  (out.append(parts), ...);
  return out;
}

}  // namespace kestrel::texts
