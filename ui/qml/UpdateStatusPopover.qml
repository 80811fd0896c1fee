import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// What the background service did last and whether it runs.
Popup {
    id: popover
    readonly property var summary: library.summary
    readonly property var status: hub.backgroundStatus
    width: 340
    padding: 16
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent
    background: HubPanel { emphasised: true }

    contentItem: ColumnLayout {
        spacing: 8
        RowLayout {
            spacing: 8
            HubIcon { name: popover.summary.icon; color: HubTheme.role(popover.summary.colour) }
            HubText {
                text: popover.summary.title
                font.weight: Font.DemiBold
                font.pixelSize: 15
                Layout.fillWidth: true
                Accessible.role: Accessible.Heading
            }
        }
        HubText {
            text: hub.backgroundServiceState === "active"
                  ? "The background service checks for plugin and HUB updates while this window is closed."
                  : hub.backgroundServiceState === "requiresApproval"
                    ? "The background service is registered but not allowed to start. Allow it in your login items."
                    : (popover.summary.serviceMessage || "The background service is not running.")
            color: HubTheme.muted
            font.pixelSize: 12
            Layout.fillWidth: true
        }
        Rectangle { height: 1; color: HubTheme.edge; Layout.fillWidth: true }
        HubText {
            text: popover.status.checkedAt !== undefined
                  ? "Last check: " + Qt.formatDateTime(popover.status.checkedAt, "d MMM yyyy, HH:mm")
                  : "No background check has run yet."
            color: HubTheme.muted
            font.pixelSize: 12
            Layout.fillWidth: true
        }
        HubText {
            visible: text.length > 0
            text: popover.summary.message
            font.pixelSize: 12
            Layout.fillWidth: true
        }
        HubText {
            visible: text.length > 0
            text: popover.summary.error
            color: HubTheme.warning
            font.pixelSize: 12
            Layout.fillWidth: true
        }
    }
}
