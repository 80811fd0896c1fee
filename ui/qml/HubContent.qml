import QtQuick

// The window's content, separate from the window so tests and screenshots can host it.
Item {
    id: content
    property string selectedProductId: ""
    signal select(string productId)

    readonly property bool showsLibrary: hub.hasCatalog

    WelcomeScreen {
        objectName: "welcome"
        anchors.fill: parent
        visible: !content.showsLibrary
    }

    LibraryScreen {
        objectName: "library"
        anchors.fill: parent
        visible: content.showsLibrary
        onOpenOverview: (productId) => content.select(productId)
    }

    ProductOverview {
        id: overview
        objectName: "overview"
        productId: content.selectedProductId
        open: content.selectedProductId.length > 0
        onCloseRequested: content.select("")
    }
}
