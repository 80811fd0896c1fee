import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The subscription's details.
Popup {
    id: popover
    property bool grace: false
    property string accessUntil
    property bool hasProductPage: false
    width: 360
    padding: 18
    modal: false
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent

    background: HubPanel { emphasised: true }

    contentItem: ColumnLayout {
        spacing: 10
        HubText {
            text: "HALVEX NOVA ACCESS"
            font.family: HubTheme.titleFamily
            font.weight: Font.Bold
            font.pixelSize: 20
            Layout.fillWidth: true
            Accessible.role: Accessible.Heading
        }
        RowLayout {
            spacing: 6
            HubIcon {
                name: popover.grace ? "exclamationmark.circle" : "checkmark.circle.fill"
                color: popover.grace ? HubTheme.warning : HubTheme.signal
                size: 16
            }
            HubText {
                text: popover.grace ? "Payment needs attention" : "Subscription access is active"
                font.weight: Font.DemiBold
                Layout.fillWidth: true
            }
        }
        HubText {
            visible: popover.grace
            text: "Temporary payment grace is keeping your plugins available. Check your subscription payment to continue access."
            color: HubTheme.muted
            Layout.fillWidth: true
        }
        RowLayout {
            HubText { text: "Paid access through"; color: HubTheme.muted; Layout.fillWidth: true }
            HubText { text: popover.accessUntil; font.family: HubTheme.monoFamily; font.pixelSize: 12 }
        }
        Rectangle { height: 1; color: HubTheme.edge; Layout.fillWidth: true }
        HubText {
            text: "Every released NOVA SERIES plugin, including future NOVA SERIES releases, is available while subscribed. ATELIER SERIES plugins are sold separately and are not included."
            color: HubTheme.muted
            font.pixelSize: 12
            Layout.fillWidth: true
        }
        HubText {
            text: "Purchased plugins stay yours independently of NOVA ACCESS. Private betas require a separate invitation."
            color: HubTheme.muted
            font.pixelSize: 12
            Layout.fillWidth: true
        }
        LinkButton {
            visible: popover.hasProductPage
            text: "View NOVA ACCESS"
            iconName: "arrow.up.right"
            size: 12
            onClicked: library.openSubscriptionPage()
        }
    }
}
