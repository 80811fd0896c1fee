import QtQuick
import QtQuick.Layouts

// Nothing to list: why, and what to do.
ColumnLayout {
    spacing: 8
    HubIcon {
        name: "magnifyingglass"
        size: 40
        color: HubTheme.muted
        Layout.alignment: Qt.AlignHCenter
    }
    HubText {
        objectName: "emptyTitle"
        text: library.emptyTitle
        font.pixelSize: 17
        font.weight: Font.DemiBold
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
        Accessible.role: Accessible.Heading
    }
    HubText {
        objectName: "emptyMessage"
        text: library.emptyMessage
        color: HubTheme.muted
        horizontalAlignment: Text.AlignHCenter
        Layout.fillWidth: true
    }
}
