// Content-Range headers of resumed downloads: an accepted header must name exactly the requested offset.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/service/content_range.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::int64_t offset = 0;
    if (size >= sizeof offset) {
        std::memcpy(&offset, data, sizeof offset);
        data += sizeof offset;
        size -= sizeof offset;
    }
    const std::string_view header(reinterpret_cast<const char*>(data), size);
    if (!halvex::continuesAt(header, offset)) return 0;

    if (offset < 1 || !header.starts_with("bytes ")) std::abort();
    const auto digits = header.substr(6, header.find('-', 6) - 6);
    if (digits.empty() || digits.size() > 19 || digits.front() == '0') std::abort();
    if (std::to_string(offset) != digits) std::abort();
    if (halvex::continuesAt(std::nullopt, offset)) std::abort();
    return 0;
}
