#include "ui/window_services.h"

namespace halvex::ui {

WindowServices& WindowServices::current() {
    static WindowServices services;
    return services;
}

QThreadPool& WindowServices::storefrontWorker() {
    static auto* pool = [] {
        auto* created = new QThreadPool();
        created->setMaxThreadCount(1);
        return created;
    }();
    return *pool;
}

}  // namespace halvex::ui
