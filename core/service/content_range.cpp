#include "core/service/content_range.h"

#include <string>

namespace halvex {

bool continuesAt(const std::optional<std::string_view>& contentRange, std::int64_t offset) {
    if (offset < 1 || !contentRange) return false;
    return contentRange->starts_with("bytes " + std::to_string(offset) + "-");
}

}  // namespace halvex
