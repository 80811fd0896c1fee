#pragma once

// How the model's operations look at a failure they caught: its text for the user and the cases they
// branch on. Main thread (the model's files only).

#include <exception>
#include <string>

#include "core/foundation/halvex_error.h"
#include "core/foundation/operation_cancelled.h"

namespace halvex::app {

inline std::string userFacingMessage(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return failure.what();
    }
}

inline bool isHalvexError(std::exception_ptr error, HalvexError::Case kind, int status = 0) {
    try {
        std::rethrow_exception(error);
    } catch (const HalvexError& failure) {
        return failure.is(kind) && (status == 0 || failure.status() == status);
    } catch (const std::exception&) {
        return false;
    }
}

// The service no longer accepts the stored sign-in.
inline bool isUnauthorized(std::exception_ptr error) {
    return isHalvexError(error, HalvexError::Case::server, 401);
}

inline bool isCancellation(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const OperationCancelled&) {
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace halvex::app
