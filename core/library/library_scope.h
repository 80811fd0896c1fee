#pragma once

// The five views of the library, and which products each includes.

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/service/catalog.h"

namespace halvex {

enum class LibraryScope { all, access, purchased, installed, discover };

inline constexpr std::array<LibraryScope, 5> allLibraryScopes = {
    LibraryScope::all, LibraryScope::access, LibraryScope::purchased, LibraryScope::installed,
    LibraryScope::discover};

std::string_view rawValue(LibraryScope scope);
// Exactly one of the five raw values, case-sensitive.
std::optional<LibraryScope> libraryScope(std::string_view raw);
std::string_view title(LibraryScope scope);
// `installed` holds product identifiers.
bool includes(LibraryScope scope, const Product& product, const std::set<std::string>& installed);

}  // namespace halvex
