#pragma once

// Whether bytes are an image the hub may show: PNG or JPEG, at most 10 MiB, both dimensions from 1 to
// 8192 pixels (read from the header before anything is decoded), and the first image decodes. Decoding
// goes row by row, so memory stays bounded whatever the file claims.

#include <cstddef>
#include <string_view>

namespace halvex::platform {

inline constexpr std::size_t maximumImageBytes = 10 * 1024 * 1024;
inline constexpr unsigned maximumImageSide = 8192;

bool validImage(std::string_view bytes);

}  // namespace halvex::platform
