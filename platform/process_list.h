#pragma once

// The running processes as the system lists them. Processes come and go while they are read: every
// answer is a snapshot, and a process that ended meanwhile simply has no executable or arguments.
// Any thread may call these.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/process_signal.h"

namespace halvex::platform {

// Every process identifier, at most `capacity`.
std::vector<ProcessID> listProcessIDs(std::size_t capacity);

// The executable a process runs; absent when it ended or may not be examined.
std::optional<std::filesystem::path> processExecutable(ProcessID pid);

// The arguments a process was started with, the program name first; empty when it ended or may not be
// examined.
std::vector<std::string> processArguments(ProcessID pid);

// A process that has ended but was not reaped yet (it still answers a probe and is still listed).
bool isZombie(ProcessID pid);

}  // namespace halvex::platform
