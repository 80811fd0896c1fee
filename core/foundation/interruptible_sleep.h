#pragma once

#include <chrono>
#include <stop_token>

namespace halvex {

// Sleeps on the monotonic clock; throws OperationCancelled as soon as `stop` is requested.
void sleepFor(std::chrono::steady_clock::duration duration, std::stop_token stop);

}  // namespace halvex
