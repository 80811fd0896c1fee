import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// NOVA ACCESS in the sidebar: the active subscription (pressing it shows the details), or the offer.
Item {
    id: card
    readonly property var info: library.subscription
    readonly property bool subscribed: info.kind === "active" || info.kind === "grace"
    readonly property bool grace: info.kind === "grace"
    visible: info.kind !== "none"
    implicitHeight: visible ? (subscribed ? accessButton.implicitHeight : offer.implicitHeight) : 0

    AbstractButton {
        id: accessButton
        visible: card.subscribed
        width: parent.width
        implicitHeight: accessRow.implicitHeight + 24
        hoverEnabled: true
        onClicked: details.visible ? details.close() : details.open()

        Accessible.role: Accessible.Button
        Accessible.name: (card.grace ? "PAYMENT GRACE. Payment grace. Payment needs attention." : "NOVA ACCESS. Active.")
                         + " NOVA ACCESS subscription."
        Accessible.description: "Show access details"

        background: HubPanel { emphasised: accessButton.hovered }
        contentItem: Item {}
        RowLayout {
            id: accessRow
            anchors.fill: parent
            anchors.margins: 12
            spacing: 10
            CatalogIcon { url: card.info.iconUrl || ""; size: 34 }
            Column {
                Layout.fillWidth: true
                spacing: 2
                HubText {
                    text: card.grace ? "PAYMENT GRACE" : "NOVA ACCESS"
                    color: card.grace ? HubTheme.warning : HubTheme.signal
                    font.weight: Font.Bold
                    font.pixelSize: 12
                    font.letterSpacing: 1
                    Accessible.ignored: true
                }
                HubText {
                    width: parent.width
                    text: card.grace ? "Payment grace. Payment needs attention." : "Active."
                    color: HubTheme.muted
                    font.pixelSize: 11
                    Accessible.ignored: true
                }
            }
        }
        AccessDetailsPopover {
            id: details
            objectName: "accessDetails"
            x: parent.width + 8
            y: parent.height - height
            grace: card.grace
            accessUntil: card.info.accessUntil || ""
            hasProductPage: card.info.hasProductPage === true
        }
    }

    HubPanel {
        id: offer
        visible: card.info.kind === "offer"
        width: parent.width
        implicitHeight: offerColumn.implicitHeight + 24
        Accessible.role: Accessible.Grouping
        Accessible.name: "Get HALVEX NOVA ACCESS. View subscription in store"
        ColumnLayout {
            id: offerColumn
            anchors.fill: parent
            anchors.margins: 12
            spacing: 8
            RowLayout {
                spacing: 10
                CatalogIcon { url: card.info.iconUrl || ""; size: 30 }
                HubText {
                    text: "GET NOVA ACCESS"
                    color: HubTheme.signal
                    font.weight: Font.Bold
                    font.pixelSize: 12
                    font.letterSpacing: 1
                    Layout.fillWidth: true
                }
            }
            HubButton {
                text: "Explore the subscription"
                iconName: "square.stack.3d.up"
                compact: true
                Layout.fillWidth: true
                onClicked: hub.purchaseAllAccess()
            }
        }
    }
}
