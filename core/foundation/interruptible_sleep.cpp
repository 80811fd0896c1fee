#include "core/foundation/interruptible_sleep.h"

#include <condition_variable>
#include <mutex>

#include "core/foundation/operation_cancelled.h"

namespace halvex {

void sleepFor(std::chrono::steady_clock::duration duration, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    std::unique_lock lock(mutex);
    wakeUp.wait_for(lock, stop, duration, [] { return false; });
    if (stop.stop_requested()) throw OperationCancelled();
}

}  // namespace halvex
