// The operating system's randomness, for the keys of the opening handshake
// and the masks of every frame the client sends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::net {

// Fills `out` from the operating system's random source.
void fill_os_random(std::uint8_t* out, std::size_t size);

// Seeds Beast's process-wide generator of handshake and masking keys from
// fill_os_random, once; called before the first stream exists.
void seed_key_generator();

}  // namespace kestrel::net
