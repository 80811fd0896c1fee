#pragma once

// The primary-strength search key of UTF-8 text: canonical decomposition with the combining marks dropped,
// then case folding. On Latin text this compares as a collator at primary strength does, at a fraction of
// its cost. Pure; any thread.

#include <string>
#include <string_view>

namespace halvex {

// Appends the key of `text` to `key`, so a caller can reuse one buffer across many texts.
void appendSearchKey(std::string_view text, std::u32string& key);
std::u32string searchKey(std::string_view text);

}  // namespace halvex
