import QtQuick
import QtQuick.Controls

// The hub's button: `prominent` fills it with the signal colour, `compact` makes it smaller; a disabled
// button dims. `help` is shown as a tooltip and read as the accessible description.
Button {
    id: control
    property bool prominent: false
    property bool compact: false
    property string iconName
    property string help
    property bool busy: false
    property color tint: HubTheme.signal

    implicitHeight: compact ? 28 : 36
    leftPadding: compact ? 10 : 16
    rightPadding: compact ? 10 : 16
    font.family: HubTheme.textFamily
    font.pixelSize: compact ? 12 : 13
    font.weight: Font.DemiBold
    hoverEnabled: true

    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.description: help

    HubToolTip {
        visible: control.help.length > 0 && control.hovered
        text: control.help
    }

    contentItem: Row {
        spacing: 6
        opacity: control.enabled ? 1 : 0.45
        BusyIndicator {
            visible: control.busy
            running: control.busy
            width: control.compact ? 14 : 16
            height: width
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: control.text
            font: control.font
            color: control.prominent ? HubTheme.signalInk : HubTheme.ink
            textFormat: Text.PlainText
            anchors.verticalCenter: parent.verticalCenter
            Accessible.ignored: true
        }
        HubIcon {
            visible: control.iconName.length > 0
            name: control.iconName
            size: control.compact ? 14 : 16
            color: control.prominent ? HubTheme.signalInk : HubTheme.ink
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    background: Rectangle {
        radius: 8
        color: control.prominent ? (control.down ? Qt.darker(control.tint, 1.2) : control.tint)
                                 : (control.down ? HubTheme.recess : (control.hovered ? HubTheme.edge : HubTheme.raised))
        border.color: control.prominent ? "transparent" : HubTheme.edge
        opacity: control.enabled ? 1 : 0.55
    }
}
