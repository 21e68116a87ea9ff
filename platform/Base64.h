#pragma once

// Standard base64 (RFC 4648 alphabet, with padding): data in analytics lines
// and printed replies, and the memory-pressure trigger the service manager
// passes.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace platform::base64 {

// The text of `data`, padded with "=" to a multiple of four characters.
std::string encode(const Data& data);

// The bytes of `text`, read up to its first "=" (or its end); nullopt when a
// character before that is outside the alphabet (whitespace included).
std::optional<std::string> decode(std::string_view text);

}  // namespace platform::base64
