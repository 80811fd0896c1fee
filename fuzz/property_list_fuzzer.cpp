// Property lists from bundles: parsing must refuse or accept without crashing, and whatever parses must
// serialise in both forms.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace halvex::platform;
    try {
        const auto value = parsePropertyList(std::string_view(reinterpret_cast<const char*>(data), size));
        (void)value.stringMember("CFBundleIdentifier");
        (void)parsePropertyList(binaryPropertyList(value));
        (void)xmlPropertyList(value);
    } catch (const PropertyListError&) {
    }
    return 0;
}
