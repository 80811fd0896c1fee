// Seal texts from anywhere: parsing must refuse or accept without crashing.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/bundle_seal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)halvex::platform::parseSealJSON(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
