// Choosing a frame decoder by the parameter file's protocol selector.
#pragma once

#include <cstdint>
#include <memory>

#include "protocol.h"

namespace nervlane_comm {

// A new decoder for `selector` (kTextProtocol, kBinaryProtocol or
// kEncryptedProtocol), or nullptr for any other selector, which keeps the
// decoder already in use. Throws std::bad_alloc.
std::unique_ptr<Protocol> make_protocol(std::int32_t selector);

}  // namespace nervlane_comm
