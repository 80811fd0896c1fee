import QtQuick
import QtQuick.Layouts

// A newer HUB: its version and the button that installs it and reopens the HUB. The update message
// (progress or a failed check) shows under it, and alone when no newer HUB is known.
ColumnLayout {
    spacing: 6
    readonly property bool hasRelease: hub.hubReleaseVersion.length > 0
    visible: hasRelease || hub.hubUpdateMessage.length > 0

    HubPanel {
        objectName: "hubUpdatePanel"
        visible: parent.hasRelease
        emphasised: true
        Layout.fillWidth: true
        implicitHeight: row.implicitHeight + 28
        border.color: Qt.rgba(0.31, 0.82, 0.77, 0.4)
        RowLayout {
            id: row
            anchors.fill: parent
            anchors.margins: 14
            spacing: 12
            HubIcon { name: "arrow.down.app"; color: HubTheme.signal; size: 24 }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 2
                HubText {
                    text: "HUB " + hub.hubReleaseVersion + " is available"
                    font.weight: Font.DemiBold
                    font.pixelSize: 15
                    Layout.fillWidth: true
                }
                HubText {
                    text: "Install the update and the HUB will reopen automatically."
                    color: HubTheme.muted
                    Layout.fillWidth: true
                }
            }
            HubButton {
                text: "Install and Restart"
                iconName: "arrow.down.app"
                prominent: true
                enabled: !hub.installingHubUpdate
                busy: hub.installingHubUpdate
                onClicked: hub.installHubUpdate()
            }
        }
    }
    HubText {
        objectName: "hubUpdateMessage"
        visible: text.length > 0
        text: hub.hubUpdateMessage
        color: HubTheme.muted
        font.pixelSize: 12
        Layout.fillWidth: true
        Layout.leftMargin: 4
    }
}
