import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Search, the combined Update All / Refresh button, and the background updates' status button.
RowLayout {
    id: toolbar
    spacing: 10

    // The combined button's state from the model's flags: "refreshing", "updating", "updateAll" or
    // "refresh".
    function actionState(refreshingCatalog, checkingHubUpdate, updatesAvailable, updatingAll) {
        if (refreshingCatalog || checkingHubUpdate) return "refreshing"
        if (updatesAvailable) return updatingAll ? "updating" : "updateAll"
        return "refresh"
    }
    readonly property string state_: actionState(hub.refreshingCatalog, hub.checkingHubUpdate,
                                                 hub.availableUpdates.length > 0, hub.updatingAll)

    TextField {
        id: search
        objectName: "searchField"
        Layout.fillWidth: true
        implicitHeight: 36
        leftPadding: 36
        rightPadding: 34
        placeholderText: "Search plugins by name, category or artist"
        placeholderTextColor: HubTheme.muted
        color: HubTheme.ink
        font.family: HubTheme.textFamily
        font.pixelSize: 13
        selectByMouse: true
        text: library.query
        onTextEdited: library.query = text
        Accessible.role: Accessible.EditableText
        Accessible.name: "Search plugins by name, category or artist"
        background: Rectangle {
            radius: 8
            color: HubTheme.recess
            border.color: search.activeFocus ? HubTheme.signal : HubTheme.edge
        }
        HubIcon {
            name: "magnifyingglass"
            color: HubTheme.muted
            anchors.left: parent.left
            anchors.leftMargin: 10
            anchors.verticalCenter: parent.verticalCenter
        }
        AbstractButton {
            objectName: "clearSearch"
            visible: library.query.length > 0
            width: 28
            height: 28
            anchors.right: parent.right
            anchors.rightMargin: 4
            anchors.verticalCenter: parent.verticalCenter
            onClicked: library.query = ""
            Accessible.role: Accessible.Button
            Accessible.name: "Clear search"
            contentItem: HubIcon { name: "xmark.circle.fill"; color: HubTheme.muted; size: 16 }
            background: Item {}
        }
    }

    HubButton {
        id: action
        objectName: "libraryAction"
        readonly property bool offersUpdates: toolbar.state_ === "updateAll" || toolbar.state_ === "updating"
        text: toolbar.state_ === "refreshing" ? "Refreshing"
              : toolbar.state_ === "updating" ? "Updating"
              : toolbar.state_ === "updateAll" ? "Update All" : "Refresh"
        help: offersUpdates ? "Update installed plugins on their current public or test channel" : "Check for updates"
        busy: toolbar.state_ === "refreshing" || toolbar.state_ === "updating"
        prominent: offersUpdates
        enabled: !hub.busy && !hub.refreshingCatalog && !hub.checkingHubUpdate
        onClicked: offersUpdates ? hub.updateAll() : hub.refreshAll()
    }

    HubButton {
        id: statusButton
        objectName: "updateStatus"
        readonly property var summary: library.summary
        text: summary.title
        iconName: summary.icon
        Accessible.name: summary.accessibleName
        onClicked: statusPopover.visible ? statusPopover.close() : statusPopover.open()
        contentItem: Row {
            spacing: 6
            HubIcon {
                name: statusButton.summary.icon
                color: HubTheme.role(statusButton.summary.colour)
                size: 16
                anchors.verticalCenter: parent.verticalCenter
            }
            Text {
                text: statusButton.text
                font: statusButton.font
                color: HubTheme.role(statusButton.summary.colour)
                textFormat: Text.PlainText
                anchors.verticalCenter: parent.verticalCenter
                Accessible.ignored: true
            }
        }
        UpdateStatusPopover {
            id: statusPopover
            objectName: "updateStatusPopover"
            x: parent.width - width
            y: parent.height + 6
        }
    }
}
