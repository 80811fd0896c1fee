#pragma once

// The desktop entry format as the hub writes and reads its own entries: the application-menu entry and
// the background agent's autostart entry. Both run an executable inside the bundle, and the bundle may
// sit below any folder name, so an Exec value is written one way only, here.
//
// Exec takes two layers of escapes, as desktop environments read the key: each argument is
// quoted with `"`, `` ` ``, `$` and `\` escaped by a backslash and `%` doubled; then the string escapes
// of every value (`\\` for a backslash) apply to the whole line. A literal backslash in a path therefore
// takes four.
//
// Plain functions without state; any thread.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::app::desktop_entry {

// Whether `text` can be written into an entry at all: well-formed UTF-8 without control characters.
bool canHold(std::string_view text);

// A value of type string (TryExec, Path, ...) with its string escapes; `text` must satisfy canHold.
std::string stringValue(std::string_view text);

// The Exec value that runs `arguments` (program first), every argument quoted; absent when an argument
// fails canHold.
std::optional<std::string> execValue(const std::vector<std::string>& arguments);

// The arguments an Exec value runs, read as a desktop would: the string escapes first, then the quoting,
// then `%%`. Absent for a malformed value or one with a field code (%f, %u, ...), which the hub never
// writes.
std::optional<std::vector<std::string>> execArguments(std::string_view value);

// The keys of the [Desktop Entry] group with their values as written (escapes kept; the first of a
// repeated key counts); absent when the text has no such group.
std::optional<std::map<std::string, std::string>> entryKeys(std::string_view text);

}  // namespace halvex::app::desktop_entry
