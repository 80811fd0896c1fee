#pragma once

#include <functional>
#include <string>

#include "core/foundation/halvex_error.h"

namespace halvex::test {

// The user-facing text of the HalvexError an action throws, or "(passed)" when it throws none.
inline std::string errorText(const std::function<void()>& action) {
    try {
        action();
    } catch (const HalvexError& error) {
        return error.errorDescription();
    }
    return "(passed)";
}

}  // namespace halvex::test
