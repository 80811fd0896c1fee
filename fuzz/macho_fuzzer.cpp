// Executable headers from anywhere: reading their architectures must never read past the input.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/trust/executable_architectures.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly `size` bytes lets AddressSanitizer catch any read past the end.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    (void)halvex::cpuTypesOf(bytes);
    return 0;
}
