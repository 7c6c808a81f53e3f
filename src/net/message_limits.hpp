// The sizes a connection works within: what it accepts from the server and
// the buffers it keeps per connection.
#pragma once

#include <cstddef>

namespace kestrel::net {

// Largest incoming message and frame; larger ones fail the read.
inline constexpr std::size_t kMaxMessageSize = 64U * 1024U * 1024U;
inline constexpr std::size_t kMaxFrameSize = 16U * 1024U * 1024U;

// Per-connection buffers: the masking buffer for outgoing frames and the
// first read of each incoming message (later reads of a long message grow).
inline constexpr std::size_t kWriteBufferBytes = 256;
inline constexpr std::size_t kFirstReadBytes = 64;

}  // namespace kestrel::net
