#pragma once

// The calling operation's stop token was triggered. What the operation had written stays as it was when
// it noticed (a partial download, for instance); nothing is rolled back on its account.

#include <stdexcept>

namespace halvex {

class OperationCancelled : public std::runtime_error {
  public:
    OperationCancelled() : std::runtime_error("The operation was cancelled.") {}
};

}  // namespace halvex
