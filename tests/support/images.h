#pragma once

// Images made at test time.

#include <string>

namespace halvex::test {

// A grey 8-bit PNG of the given size (written fast; the rows compress to almost nothing).
std::string pngImage(unsigned width, unsigned height);
// A small baseline JPEG.
std::string jpegImage(unsigned width, unsigned height);

}  // namespace halvex::test
