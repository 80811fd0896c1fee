#pragma once

// Pictures for the demo service, drawn from a product's accent colour: a 256×256 icon and a 960×600
// plugin interface. `seed` varies knob positions and levels between products. Any thread.

#include <cstdint>
#include <string>

namespace halvex::maker {

// PNG bytes.
std::string demoIcon(std::uint32_t accentRGB, unsigned seed);
std::string demoInterface(std::uint32_t accentRGB, unsigned seed);

}  // namespace halvex::maker
