import QtQuick
import QtQuick.Layouts

// Shown while the background service needs attention.
HubPanel {
    id: panel
    objectName: "backgroundServicePanel"
    visible: hub.backgroundNeedsAttention
    implicitHeight: visible ? column.implicitHeight + 28 : 0
    border.color: Qt.rgba(0.95, 0.7, 0.31, 0.45)

    readonly property string explanation: hub.backgroundServiceState === "requiresApproval"
        ? "Background updates are switched off. Allow the HALVEX HUB background service in your login items so your plugins and the HUB stay current while this window is closed."
        : (hub.backgroundServiceMessage.length > 0 ? hub.backgroundServiceMessage
                                                   : "The HALVEX background service is not running, so updates only happen while this window is open.")

    RowLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 14
        spacing: 12
        HubIcon { name: "exclamationmark.triangle.fill"; color: HubTheme.warning; size: 22; Layout.alignment: Qt.AlignTop }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 10
            HubText { text: panel.explanation; Layout.fillWidth: true }
            RowLayout {
                spacing: 8
                HubButton { text: "Open Login Items"; compact: true; onClicked: library.openLoginItems() }
                HubButton { text: "Retry Background Service"; compact: true; onClicked: hub.ensureBackgroundService() }
            }
        }
    }
}
