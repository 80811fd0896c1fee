#pragma once

// The hidden names of the hub's work items: the writers that create them and recovery, which sweeps them
// once no journal owns them, read them from here. Any thread may use these.

#include <array>
#include <filesystem>
#include <span>
#include <string_view>

namespace halvex::platform::work {

inline constexpr std::string_view next = ".hvx-next-";          // a new item waiting beside its destination
inline constexpr std::string_view rollback = ".hvx-rollback-";  // a replaced item waiting for the outcome
inline constexpr std::string_view discard = ".hvx-discard-";    // an item on its way out
inline constexpr std::string_view exchange = ".hvx-exchange-";  // the aside item of a two-rename exchange
// The hub's own bundle beside the installed one (kept as earlier versions named them).
inline constexpr std::string_view hubUpdate = ".HALVEX-HUB-update-";
inline constexpr std::string_view hubRollback = ".HALVEX-HUB-rollback-";

// Every name a swap leaves beside a destination: swept from the plugin and application folders once every
// journal is settled.
inline constexpr std::array swapPrefixes = {next, rollback, discard, exchange, hubUpdate, hubRollback};

// `folder`/<prefix><random UUID><suffix>.
std::filesystem::path hiddenName(const std::filesystem::path& folder, std::string_view prefix,
                                 std::string_view suffix = {});

// Removes the entries of `folder` whose names start with one of `prefixes` (an empty prefix: every entry).
// Only for names no live work owns: recovery calls it once every journal is settled, under the update
// lock. A missing folder is fine; an entry that cannot be removed stays for the next sweep.
void sweep(const std::filesystem::path& folder, std::span<const std::string_view> prefixes);
void sweepHidden(const std::filesystem::path& folder);  // every name starting with "."
void sweepAll(const std::filesystem::path& folder);     // every entry

}  // namespace halvex::platform::work
