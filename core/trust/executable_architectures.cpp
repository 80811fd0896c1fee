#include "core/trust/executable_architectures.h"

#include <optional>

#include "platform/mapped_file.h"

namespace halvex {

namespace {

constexpr std::uint32_t machMagic32 = 0xFEEDFACE;
constexpr std::uint32_t machMagic64 = 0xFEEDFACF;
constexpr std::uint32_t fatMagic32 = 0xCAFEBABE;
constexpr std::uint32_t fatMagic64 = 0xCAFEBABF;
constexpr std::uint32_t maximumSlices = 32;
constexpr std::uint16_t elfMachineX86_64 = 62;
constexpr std::uint16_t elfMachineAArch64 = 183;

std::optional<std::uint64_t> readNumber(std::string_view bytes, std::uint64_t offset, int width,
                                        bool bigEndian) {
    if (offset > bytes.size() || bytes.size() - offset < static_cast<std::uint64_t>(width))
        return std::nullopt;
    std::uint64_t value = 0;
    for (int index = 0; index < width; ++index) {
        const auto byte = static_cast<std::uint8_t>(bytes[offset + (bigEndian ? index : width - 1 - index)]);
        value = (value << 8) | byte;
    }
    return value;
}

// A thin Mach-O header whose load commands fit in the file.
std::optional<std::uint32_t> thinCPUType(std::string_view bytes) {
    for (const bool bigEndian : {false, true}) {
        const auto magic = readNumber(bytes, 0, 4, bigEndian);
        if (!magic || (*magic != machMagic32 && *magic != machMagic64)) continue;
        const std::uint64_t headerSize = *magic == machMagic64 ? 32 : 28;
        const auto cpuType = readNumber(bytes, 4, 4, bigEndian);
        const auto commandsSize = readNumber(bytes, 20, 4, bigEndian);
        if (!cpuType || !commandsSize || headerSize + *commandsSize > bytes.size()) return std::nullopt;
        return static_cast<std::uint32_t>(*cpuType);
    }
    return std::nullopt;
}

std::vector<std::uint32_t> universalCPUTypes(std::string_view bytes, bool wide) {
    const auto count = readNumber(bytes, 4, 4, true);
    if (!count || *count == 0 || *count > maximumSlices) return {};
    const std::uint64_t entrySize = wide ? 32 : 20;
    std::vector<std::uint32_t> cpuTypes;
    for (std::uint64_t index = 0; index < *count; ++index) {
        const std::uint64_t entry = 8 + index * entrySize;
        const auto cpuType = readNumber(bytes, entry, 4, true);
        const auto offset = readNumber(bytes, entry + 8, wide ? 8 : 4, true);
        const auto size = readNumber(bytes, entry + (wide ? 16 : 12), wide ? 8 : 4, true);
        if (!cpuType || !offset || !size || *offset > bytes.size() || *size > bytes.size() - *offset)
            return {};
        // Each slice must itself be a Mach-O file of the type the table claims.
        const auto slice = thinCPUType(bytes.substr(*offset, *size));
        if (!slice || *slice != *cpuType) return {};
        cpuTypes.push_back(static_cast<std::uint32_t>(*cpuType));
    }
    return cpuTypes;
}

std::vector<std::uint32_t> elfCPUTypes(std::string_view bytes) {
    if (bytes.size() < 20) return {};
    const auto elfClass = static_cast<std::uint8_t>(bytes[4]);
    const auto encoding = static_cast<std::uint8_t>(bytes[5]);
    if ((elfClass != 1 && elfClass != 2) || (encoding != 1 && encoding != 2)) return {};
    const bool bigEndian = encoding == 2;
    const bool wide = elfClass == 2;
    const std::uint64_t headerSize = wide ? 64 : 52;
    if (bytes.size() < headerSize) return {};
    const auto machine = readNumber(bytes, 18, 2, bigEndian);
    const auto programOffset = readNumber(bytes, wide ? 32 : 28, wide ? 8 : 4, bigEndian);
    const auto programEntrySize = readNumber(bytes, wide ? 54 : 42, 2, bigEndian);
    const auto programCount = readNumber(bytes, wide ? 56 : 44, 2, bigEndian);
    if (!machine || !programOffset || !programEntrySize || !programCount) return {};
    if (*programOffset > bytes.size() || *programEntrySize * *programCount > bytes.size() - *programOffset)
        return {};
    if (*machine == elfMachineX86_64) return {cpuTypeX86_64};
    if (*machine == elfMachineAArch64) return {cpuTypeARM64};
    return {};
}

}  // namespace

std::vector<std::uint32_t> cpuTypesOf(std::string_view bytes) {
    const auto bigMagic = readNumber(bytes, 0, 4, true);
    if (!bigMagic) return {};
    if (*bigMagic == 0x7F454C46) return elfCPUTypes(bytes);  // "\x7FELF"
    if (*bigMagic == fatMagic32) return universalCPUTypes(bytes, false);
    if (*bigMagic == fatMagic64) return universalCPUTypes(bytes, true);
    if (const auto cpuType = thinCPUType(bytes)) return {*cpuType};
    return {};
}

std::vector<std::uint32_t> executableCPUTypes(const std::filesystem::path& executable) {
    // Mapped rather than read: the checks need the file's full extent but touch only a few pages.
    const auto file = platform::MappedFile::open(executable);
    if (!file) return {};
    return cpuTypesOf(file->bytes());
}

}  // namespace halvex
