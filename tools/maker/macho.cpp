#include <stdexcept>

#include "tools/maker/maker.h"

namespace halvex::maker {

namespace {

void putLittle32(std::string& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void putBig32(std::string& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// mach_header_64 with no load commands, followed by the payload.
std::string thinExecutable(std::uint32_t cpuType, const std::string& payload) {
    std::string bytes;
    putLittle32(bytes, 0xFEEDFACF);  // MH_MAGIC_64
    putLittle32(bytes, cpuType);
    putLittle32(bytes, cpuType == cpuTypeARM64 ? 0 : 3);  // cpusubtype ALL
    putLittle32(bytes, 2);                                // MH_EXECUTE
    putLittle32(bytes, 0);                                // ncmds
    putLittle32(bytes, 0);                                // sizeofcmds
    putLittle32(bytes, 0);                                // flags
    putLittle32(bytes, 0);                                // reserved
    return bytes + payload;
}

}  // namespace

std::uint32_t cpuTypeNamed(const std::string& name) {
    if (name == "arm64") return cpuTypeARM64;
    if (name == "x86_64") return cpuTypeX86_64;
    throw std::invalid_argument("unknown architecture " + name);
}

std::string machOExecutable(const std::vector<std::uint32_t>& cpuTypes, const std::string& payload) {
    if (cpuTypes.empty()) throw std::invalid_argument("at least one architecture is needed");
    if (cpuTypes.size() == 1) return thinExecutable(cpuTypes.front(), payload);

    constexpr std::uint32_t alignment = 12;  // 4 KiB
    std::string header;
    putBig32(header, 0xCAFEBABE);  // FAT_MAGIC
    putBig32(header, static_cast<std::uint32_t>(cpuTypes.size()));
    std::vector<std::string> slices;
    std::uint32_t offset = 1u << alignment;
    for (const auto cpuType : cpuTypes) {
        slices.push_back(thinExecutable(cpuType, payload));
        putBig32(header, cpuType);
        putBig32(header, cpuType == cpuTypeARM64 ? 0 : 3);
        putBig32(header, offset);
        putBig32(header, static_cast<std::uint32_t>(slices.back().size()));
        putBig32(header, alignment);
        const auto size = static_cast<std::uint32_t>(slices.back().size());
        offset += ((size + (1u << alignment) - 1) >> alignment) << alignment;
    }
    std::string bytes = header;
    for (const auto& slice : slices) {
        bytes.resize(((bytes.size() + (1u << alignment) - 1) >> alignment) << alignment, '\0');
        bytes += slice;
    }
    return bytes;
}

}  // namespace halvex::maker
