#pragma once

// The check behind a thread rule: an object that lives on one thread holds a SequenceChecker (bound to the
// thread that builds it) and checks it at the top of each method that rule covers. In builds with thread
// checks (every build but release packages, HALVEX_THREAD_CHECKS) a call from another thread ends the
// process at once with the name of the call, so a test fails loudly at the first wrong call instead of
// racing quietly. Any thread may call check(); that is the point.

#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <thread>

namespace halvex::app {

class SequenceChecker {
  public:
    void check(std::source_location where = std::source_location::current()) const {
#if HALVEX_THREAD_CHECKS
        if (std::this_thread::get_id() == owner_) return;
        std::fprintf(stderr, "thread rule broken: %s called on another thread than its object's (%s:%u)\n",
                     where.function_name(), where.file_name(), static_cast<unsigned>(where.line()));
        std::abort();
#else
        (void)where;
#endif
    }

  private:
    std::thread::id owner_ = std::this_thread::get_id();
};

}  // namespace halvex::app
