// The byte strings of encoded payloads and message bodies.
#pragma once

#include <cstdint>
#include <vector>

namespace kestrel {

using Bytes = std::vector<std::uint8_t>;

}  // namespace kestrel
