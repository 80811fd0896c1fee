#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halvex::platform {

// Standard alphabet (RFC 4648) with "=" padding and no line breaks.
std::string base64Encode(std::string_view bytes);
// Absent for anything that is not canonical padded standard Base64.
std::optional<std::string> base64Decode(std::string_view text);

// The URL-safe alphabet without padding, as compact tokens use it.
std::string base64URLEncode(std::string_view bytes);
std::optional<std::string> base64URLDecode(std::string_view text);

}  // namespace halvex::platform
