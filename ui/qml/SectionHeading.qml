import QtQuick
import QtQuick.Layouts

// A section's title with its count and total, right-aligned.
RowLayout {
    property string title
    property string countText
    spacing: 8
    Accessible.role: Accessible.Heading
    Accessible.name: title + ", " + countText

    HubText {
        text: parent.title
        font.pixelSize: 17
        font.weight: Font.DemiBold
        Layout.fillWidth: true
        Accessible.ignored: true
    }
    HubText {
        text: parent.countText
        color: HubTheme.muted
        font.family: HubTheme.monoFamily
        font.pixelSize: 11
        Accessible.ignored: true
    }
}
