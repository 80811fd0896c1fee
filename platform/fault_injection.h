#pragma once

// A test seam at every file operation of a transaction (installations, hub installations, pending-update
// saves): copy, rename, exchange, write, fsync, remove. Without a hook, a fault point costs one relaxed
// atomic load. A hook may throw (to simulate a failing disk) or end the process (to simulate a crash).
//
// Any thread may pass a fault point; install a hook only while no transaction runs.

#include <atomic>
#include <filesystem>

namespace halvex::platform {

enum class FileOperation { copy, rename, exchange, write, fsync, remove, createFolder };

using FaultHook = void (*)(FileOperation operation, const std::filesystem::path& path);

inline std::atomic<FaultHook> faultHook{nullptr};

inline void setFaultHook(FaultHook hook) {
    faultHook.store(hook, std::memory_order_release);
}

inline void faultPoint(FileOperation operation, const std::filesystem::path& path) {
    if (const auto hook = faultHook.load(std::memory_order_relaxed)) hook(operation, path);
}

}  // namespace halvex::platform
