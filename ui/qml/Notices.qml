import QtQuick
import QtQuick.Layouts

// The model's error and notice messages, each in its own panel.
ColumnLayout {
    spacing: 8
    visible: hub.errorMessage.length > 0 || hub.noticeMessage.length > 0

    Repeater {
        model: [
            { kind: "error", text: hub.errorMessage, icon: "exclamationmark.circle" },
            { kind: "notice", text: hub.noticeMessage, icon: "info.circle" }
        ]
        delegate: HubPanel {
            id: notice
            required property var modelData
            objectName: modelData.kind + "Notice"
            visible: modelData.text.length > 0
            Layout.fillWidth: true
            implicitHeight: message.implicitHeight + 22
            border.color: modelData.kind === "error" ? Qt.rgba(0.95, 0.45, 0.45, 0.45) : HubTheme.edge
            RowLayout {
                anchors.fill: parent
                anchors.margins: 11
                spacing: 10
                HubIcon {
                    name: notice.modelData.icon
                    color: notice.modelData.kind === "error" ? HubTheme.error : HubTheme.signal
                    Layout.alignment: Qt.AlignTop
                }
                HubText {
                    id: message
                    text: notice.modelData.text
                    Layout.fillWidth: true
                }
            }
        }
    }
}
