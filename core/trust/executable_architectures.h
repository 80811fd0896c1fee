#pragma once

// The processor architectures of an executable, read from its own headers: Mach-O thin (32/64-bit,
// either byte order), Mach-O universal (32- and 64-bit tables, one entry per slice) and ELF (one
// architecture). CPU types use the Mach-O numbering; ELF x86-64 and AArch64 map onto it. Every read is
// bounded by the file size; a truncated or inconsistent header yields no architectures.

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace halvex {

inline constexpr std::uint32_t cpuTypeARM64 = 0x0100000C;
inline constexpr std::uint32_t cpuTypeX86_64 = 0x01000007;

// Empty when the file cannot be read or is not an executable this reader understands.
std::vector<std::uint32_t> executableCPUTypes(const std::filesystem::path& executable);

// The same over a whole file's bytes.
std::vector<std::uint32_t> cpuTypesOf(std::string_view bytes);

}  // namespace halvex
