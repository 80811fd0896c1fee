// Catalogue answers from the service: decoding must refuse or accept without crashing, and a decoded
// catalogue must survive its own encoding unchanged (the receipts and pending records rely on that).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/foundation/json_decoding.h"
#include "core/service/catalog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    try {
        const auto catalog = halvex::json::decodeRecord<halvex::Catalog>(body);
        const auto again = halvex::json::decodeRecord<halvex::Catalog>(catalog.encode().dump());
        if (!(again == catalog)) std::abort();
        for (const auto& product : catalog.products) {
            (void)catalog.installableRelease(product);
            (void)catalog.testRelease(product);
            (void)catalog.updateRelease(product, "1.0.0", "stable");
            (void)catalog.updateRelease(product, std::nullopt, std::nullopt);
        }
    } catch (const halvex::DecodingError&) {
    }
    return 0;
}
