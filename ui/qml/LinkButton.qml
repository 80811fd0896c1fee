import QtQuick
import QtQuick.Controls

// A plain, underlined text button in the muted colour.
AbstractButton {
    id: control
    property string help
    property int size: 11
    property string iconName
    hoverEnabled: true
    implicitWidth: row.implicitWidth
    implicitHeight: row.implicitHeight + 4

    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.description: help
    HubToolTip {
        visible: control.help.length > 0 && control.hovered
        text: control.help
    }

    contentItem: Item {}
    Row {
        id: row
        spacing: 4
        anchors.verticalCenter: parent.verticalCenter
        Text {
            text: control.text
            font.family: HubTheme.textFamily
            font.pixelSize: control.size
            font.underline: true
            color: control.hovered ? HubTheme.ink : HubTheme.muted
            textFormat: Text.PlainText
            Accessible.ignored: true
        }
        HubIcon {
            visible: control.iconName.length > 0
            name: control.iconName
            size: control.size + 2
            color: control.hovered ? HubTheme.ink : HubTheme.muted
        }
    }
}
