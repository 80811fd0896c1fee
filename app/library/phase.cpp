#include "app/library/phase.h"

namespace halvex::app {

std::string Phase::name() const {
    switch (kind_) {
        case Kind::loading:
            return "loading";
        case Kind::signedOut:
            return "signedOut";
        case Kind::authorizing:
            return "authorizing";
        case Kind::updating:
            return "updating";
        case Kind::blocked:
            return "blocked";
        case Kind::ready:
            return "ready";
    }
    return {};
}

}  // namespace halvex::app
