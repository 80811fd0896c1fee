#include "app/model/phase.h"

namespace halvex::app {

QString Phase::name() const {
    switch (kind_) {
        case Kind::loading:
            return QStringLiteral("loading");
        case Kind::signedOut:
            return QStringLiteral("signedOut");
        case Kind::authorizing:
            return QStringLiteral("authorizing");
        case Kind::updating:
            return QStringLiteral("updating");
        case Kind::blocked:
            return QStringLiteral("blocked");
        case Kind::ready:
            return QStringLiteral("ready");
    }
    return {};
}

}  // namespace halvex::app
