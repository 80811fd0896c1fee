#pragma once

// Images the hub may show: PNG or JPEG, at most 10 MiB, both dimensions from 1 to 8192 pixels (read from
// the header before anything is decoded). Decoding goes row by row, so memory stays bounded whatever the
// file claims: checking an image holds one row, decoding it to fit a box holds the result (and its sums).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace halvex::platform {

inline constexpr std::size_t maximumImageBytes = 10 * 1024 * 1024;
inline constexpr unsigned maximumImageSide = 8192;

// Whether the bytes are such an image and its first image decodes.
bool validImage(std::string_view bytes);

// 8-bit RGBA pixels with premultiplied alpha, row after row without padding.
struct DecodedImage {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<std::uint8_t> pixels;
};

// The image of `bytes` (as validImage would accept it) scaled down, never up, to fit within the box with
// its aspect ratio kept; each pixel is the average of the pixels it covers. A box side below 16 counts
// as 16. Absent for anything validImage refuses.
std::optional<DecodedImage> decodeImageToFit(std::string_view bytes, unsigned boxWidth, unsigned boxHeight);

}  // namespace halvex::platform
