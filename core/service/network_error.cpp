#include "core/service/network_error.h"

namespace halvex {

NetworkError::NetworkError(Kind kind, int curlCode, const std::string& text)
    : std::runtime_error(text), kind_(kind), curlCode_(curlCode) {}

}  // namespace halvex
