#pragma once

// Images made at test time.

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace halvex::test {

// A grey 8-bit PNG of the given size (written fast; the rows compress to almost nothing).
std::string pngImage(unsigned width, unsigned height);
// A PNG of the given layout whose pixel (x, y) is `pixel(x, y)` as RGBA; layouts without colour take its
// red channel as grey, layouts without alpha drop alpha, the palette holds every colour used.
enum class PngLayout { grey, greyAlpha, palette, rgb, rgba, rgb16 };
using Pixel = std::array<std::uint8_t, 4>;
std::string pngImage(unsigned width, unsigned height, PngLayout layout, bool interlaced,
                     const std::function<Pixel(unsigned x, unsigned y)>& pixel);
// A small baseline JPEG.
std::string jpegImage(unsigned width, unsigned height);

}  // namespace halvex::test
