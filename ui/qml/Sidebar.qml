import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The title, one entry per library scope, the NOVA ACCESS card and signing out.
Rectangle {
    id: sidebar
    color: HubTheme.panel

    Rectangle { anchors.right: parent.right; width: 1; height: parent.height; color: HubTheme.edge }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 18
        spacing: 4

        Row {
            spacing: 8
            HubText {
                text: "HALVEX"
                font.family: HubTheme.titleFamily
                font.weight: Font.Bold
                font.pixelSize: 30
                font.letterSpacing: 1
            }
            HubText {
                text: "HUB / 00"
                color: HubTheme.signal
                font.family: HubTheme.monoFamily
                font.pixelSize: 11
                anchors.baseline: parent.children[0].baseline
            }
        }
        HubText {
            text: "LIBRARY"
            color: HubTheme.muted
            font.pixelSize: 11
            font.weight: Font.DemiBold
            font.letterSpacing: 2
            Layout.topMargin: 18
            Layout.bottomMargin: 6
        }

        Repeater {
            model: library.scopes
            delegate: ItemDelegate {
                id: entry
                required property var modelData
                readonly property bool selected: library.scope === modelData.id
                objectName: "scope-" + modelData.id
                Layout.fillWidth: true
                implicitHeight: 44
                hoverEnabled: true
                onClicked: library.scope = modelData.id

                Accessible.role: Accessible.Button
                Accessible.name: modelData.title
                Accessible.description: selected ? "Selected" : modelData.countText
                Accessible.selectable: true
                Accessible.selected: selected

                background: Rectangle {
                    radius: 8
                    color: entry.selected ? HubTheme.raised : (entry.hovered ? Qt.rgba(1, 1, 1, 0.03) : "transparent")
                    border.color: entry.selected ? HubTheme.edge : "transparent"
                    Rectangle {
                        visible: entry.selected
                        width: 3; radius: 2
                        height: parent.height - 16
                        anchors.verticalCenter: parent.verticalCenter
                        anchors.left: parent.left
                        anchors.leftMargin: 2
                        color: HubTheme.signal
                    }
                }
                contentItem: RowLayout {
                    spacing: 10
                    HubIcon {
                        name: entry.modelData.icon
                        color: entry.selected ? HubTheme.signal : HubTheme.muted
                        Layout.preferredWidth: 22
                    }
                    Column {
                        Layout.fillWidth: true
                        HubText {
                            text: entry.modelData.title
                            font.weight: entry.selected ? Font.DemiBold : Font.Normal
                            Accessible.ignored: true
                        }
                        HubText {
                            text: entry.modelData.countText
                            color: HubTheme.muted
                            font.pixelSize: 11
                            Accessible.ignored: true
                        }
                    }
                }
            }
        }

        Item { Layout.fillHeight: true }

        SubscriptionCard { Layout.fillWidth: true }

        HubButton {
            text: "Sign Out"
            compact: true
            iconName: "rectangle.portrait.and.arrow.right"
            Layout.fillWidth: true
            Layout.topMargin: 8
            onClicked: hub.signOut()
        }
    }
}
