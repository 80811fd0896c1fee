#pragma once

// What every host of the window's QML shares (the application, the screenshot tool, the QML tests): the
// fonts and style, the image provider, and the objects QML reads as `hub` and `library`. Main thread.

#include <QQmlEngine>

#include "app/model/hub_model.h"
#include "ui/library_presenter.h"

namespace halvex::ui {

// Style and fonts; call after the QGuiApplication exists and before any engine loads QML.
void prepareApplication();
// Registers the image provider and exposes `hub` and `library` to the engine's root context.
void prepareEngine(QQmlEngine& engine, app::HubModel* hub, LibraryPresenter* library);

// The built-in interface images of a bundle: <bundle>/Contents/Resources/ProductImages.
QString interfaceImagesFolder();

}  // namespace halvex::ui
