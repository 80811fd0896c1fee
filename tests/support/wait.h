#pragma once

// Waiting for something another thread or process does: `condition` is checked until it holds, at most
// for `limit`. The limit only bounds a wait that should end; it never stands for "did not happen".

#include <chrono>
#include <thread>

namespace halvex::test {

template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace halvex::test
