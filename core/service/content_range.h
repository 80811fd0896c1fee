#pragma once

// Whether a 206 answer continues a partial download where it stopped. Pure; any thread.

#include <cstdint>
#include <optional>
#include <string_view>

namespace halvex {

// True when `offset` is above 0 and the Content-Range header is present and begins with
// "bytes " + offset + "-". The body's length is bounded by the download itself, not by this header.
bool continuesAt(const std::optional<std::string_view>& contentRange, std::int64_t offset);

}  // namespace halvex
