import QtQuick
import QtQuick.Controls

// The hub's one window: the welcome layout until a catalogue is loaded, then the library. Window-local
// state only: the open overview; scope and search text live in `library`.
ApplicationWindow {
    id: window
    width: 1120
    height: 760
    minimumWidth: 900
    minimumHeight: 600
    visible: true
    title: "HALVEX HUB"
    color: HubTheme.shell

    property string selectedProductId: ""

    HubContent {
        anchors.fill: parent
        selectedProductId: window.selectedProductId
        onSelect: (productId) => window.selectedProductId = productId
    }
}
