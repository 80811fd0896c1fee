#pragma once

// A product's accent colour: the catalogue's discovery accent when it has one, else a colour chosen by
// slug from a built-in table, else the hub's own accent. Pure; any thread.

#include <cstdint>
#include <string_view>

#include "core/service/catalog.h"

namespace halvex::app {

inline constexpr std::uint32_t defaultAccentRGB = 0x4FD1C5;

std::uint32_t accentRGB(std::string_view slug);
std::uint32_t accentRGB(const Product& product);

}  // namespace halvex::app
