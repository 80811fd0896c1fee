#include "core/library/library_scope.h"

namespace halvex {

std::string_view rawValue(LibraryScope scope) {
    switch (scope) {
        case LibraryScope::all:
            return "all";
        case LibraryScope::access:
            return "access";
        case LibraryScope::purchased:
            return "purchased";
        case LibraryScope::installed:
            return "installed";
        case LibraryScope::discover:
            return "discover";
    }
    return {};
}

std::optional<LibraryScope> libraryScope(std::string_view raw) {
    for (const auto scope : allLibraryScopes) {
        if (rawValue(scope) == raw) return scope;
    }
    return std::nullopt;
}

std::string_view title(LibraryScope scope) {
    switch (scope) {
        case LibraryScope::all:
            return "All plugins";
        case LibraryScope::access:
            return "My access";
        case LibraryScope::purchased:
            return "Purchased";
        case LibraryScope::installed:
            return "Installed";
        case LibraryScope::discover:
            return "Discover";
    }
    return {};
}

bool includes(LibraryScope scope, const Product& product, const std::set<std::string>& installed) {
    switch (scope) {
        case LibraryScope::all:
            return true;
        case LibraryScope::access:
            return product.owned;
        case LibraryScope::purchased:
            return product.isPurchased();
        case LibraryScope::installed:
            return installed.contains(product.productID);
        case LibraryScope::discover:
            return !product.owned;
    }
    return false;
}

}  // namespace halvex
