import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One library row: icon, name, category and status on the left, the product action on the right. The
// row itself opens the product's overview.
AbstractButton {
    id: row
    required property string productId
    required property string name
    required property string category
    required property string status
    required property bool privateBeta
    required property string iconUrl
    required property color accent
    required property string actionKind
    required property string actionTitle
    required property bool actionEnabled
    required property string actionReleaseId
    required property string linkTitle
    required property string linkHelp
    required property string linkReleaseId
    required property var progress

    signal openOverview(string productId)

    objectName: "row-" + productId
    implicitHeight: Math.max(76, content.implicitHeight + 24)
    hoverEnabled: true
    onClicked: openOverview(productId)

    Accessible.role: Accessible.Button
    Accessible.name: name + ". View overview"
    Accessible.description: status

    background: Rectangle {
        radius: HubTheme.radius
        color: row.hovered ? HubTheme.raised : HubTheme.panel
        border.color: HubTheme.edge
        Rectangle {
            width: 3
            radius: 2
            height: parent.height - 24
            anchors.left: parent.left
            anchors.leftMargin: 1
            anchors.verticalCenter: parent.verticalCenter
            color: row.accent
            opacity: 0.9
        }
    }
    contentItem: Item {}

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.leftMargin: 16
        anchors.rightMargin: 12
        anchors.topMargin: 12
        anchors.bottomMargin: 12
        spacing: 14

        CatalogIcon { url: row.iconUrl; size: 48 }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            RowLayout {
                spacing: 8
                Layout.fillWidth: true
                HubText {
                    text: row.name
                    font.pixelSize: 15
                    font.weight: Font.DemiBold
                    elide: Text.ElideRight
                    wrapMode: Text.NoWrap
                    // Its natural width (rounded up: the layout rounds, and a fraction less elides), shrunk
                    // and elided only when the row is narrow, so a long name cannot push the action out.
                    Layout.fillWidth: true
                    Layout.maximumWidth: Math.ceil(implicitWidth)
                    Layout.minimumWidth: 40
                }
                Rectangle {
                    id: badge
                    visible: row.privateBeta
                    radius: 4
                    color: "transparent"
                    border.color: HubTheme.warning
                    implicitWidth: badgeText.implicitWidth + 10
                    implicitHeight: badgeText.implicitHeight + 4
                    HubText {
                        id: badgeText
                        anchors.centerIn: parent
                        text: "PRIVATE BETA"
                        color: HubTheme.warning
                        font.pixelSize: 9
                        font.weight: Font.Bold
                        font.letterSpacing: 1
                    }
                }
                Item { Layout.fillWidth: true }
            }
            HubText {
                text: row.category
                color: row.accent
                font.pixelSize: 11
                font.weight: Font.DemiBold
                font.letterSpacing: 1
                font.capitalization: Font.AllUppercase
                Layout.fillWidth: true
            }
            HubText {
                objectName: "status"
                text: row.status
                color: HubTheme.muted
                font.pixelSize: 12
                elide: Text.ElideRight
                wrapMode: Text.NoWrap
                Layout.fillWidth: true
            }
        }

        ProductActionView {
            productId: row.productId
            productName: row.name
            actionKind: row.actionKind
            actionTitle: row.actionTitle
            actionEnabled: row.actionEnabled
            actionReleaseId: row.actionReleaseId
            linkTitle: row.linkTitle
            linkHelp: row.linkHelp
            linkReleaseId: row.linkReleaseId
            progress: row.progress
            Layout.alignment: Qt.AlignVCenter | Qt.AlignRight
        }

        HubIcon { name: "chevron.right"; color: HubTheme.muted; Layout.alignment: Qt.AlignVCenter }
    }
}
