#pragma once

// What the window's components share across the process: the model, the storefront screenshot store
// with the one worker thread it runs on, and the folder of the built-in interface images. Set up once by
// the window (or a test or fixture harness) before QML loads; main thread only.

#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <memory>

#include "app/model/hub_model.h"
#include "core/library/storefront_artwork_store.h"

namespace halvex::ui {

struct WindowServices {
    QPointer<app::HubModel> hub;
    std::shared_ptr<StorefrontArtworkStore> storefront;
    // Absolute folder holding "<slug>-interface.png"; empty when unknown.
    QString interfaceImages;

    static WindowServices& current();
    // The store's calls wait on the network: they run here, one at a time, never on the main thread.
    static QThreadPool& storefrontWorker();
};

}  // namespace halvex::ui
