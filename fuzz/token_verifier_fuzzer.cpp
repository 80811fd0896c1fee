// Tokens from anywhere: the verifier must refuse or accept without crashing, and a payload it returns
// must go through the manifest decoder safely.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/foundation/halvex_error.h"
#include "core/foundation/json_decoding.h"
#include "core/trust/signed_metadata_verifier.h"
#include "platform/p256.h"

namespace {

const halvex::SignedMetadataVerifier& verifier() {
    static const auto instance = halvex::SignedMetadataVerifier(
        halvex::platform::P256PrivateKey::generateCompactRepresentable().publicKey());
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        (void)verifier().verifyReleaseManifest(input);
    } catch (const halvex::HalvexError&) {
    }
    try {
        (void)halvex::json::decodeRecord<halvex::Manifest>(input);
    } catch (const halvex::DecodingError&) {
    }
    return 0;
}
