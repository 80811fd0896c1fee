import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A product's one primary action and its secondary link, as the presentation rules chose them; the live
// progress and cancel control while it installs.
ColumnLayout {
    id: view
    property string productId
    property string productName
    property string actionKind
    property string actionTitle
    property bool actionEnabled: true
    property string actionReleaseId
    property string linkTitle
    property string linkHelp
    property string linkReleaseId
    property var progress
    spacing: 4

    readonly property bool hasProgress: progress !== undefined && progress !== null && progress.bytesTotal > 0
    readonly property string progressText: progress ? progress.text : "Preparing\u2026"

    HubButton {
        visible: view.actionKind === "purchase"
        text: "Purchase"
        compact: true
        enabled: view.actionEnabled
        Layout.alignment: Qt.AlignRight
        onClicked: hub.purchase(view.productId)
    }
    HubButton {
        visible: view.actionKind === "install"
        objectName: "primaryAction"
        text: view.actionTitle
        prominent: true
        compact: true
        Layout.alignment: Qt.AlignRight
        onClicked: hub.performInstall(view.actionReleaseId)
    }
    HubButton {
        visible: view.actionKind === "releaseHold"
        objectName: "releaseHold"
        text: view.actionTitle
        help: "Let automatic updates include " + view.productName + " again"
        compact: true
        Layout.alignment: Qt.AlignRight
        onClicked: hub.releaseHold(view.productId)
    }
    HubText {
        visible: view.actionKind === "restartDAW"
        text: "Restart DAW"
        color: HubTheme.signal
        font.weight: Font.DemiBold
        Layout.alignment: Qt.AlignRight
    }
    HubText {
        visible: view.actionKind === "releasePending"
        text: "Release pending"
        color: HubTheme.muted
        Layout.alignment: Qt.AlignRight
    }
    Row {
        visible: view.actionKind === "installed"
        spacing: 6
        Layout.alignment: Qt.AlignRight
        HubIcon { name: "checkmark.circle.fill"; color: HubTheme.signal; size: 16 }
        HubText { text: view.actionTitle; color: HubTheme.signal; anchors.verticalCenter: parent.verticalCenter }
    }

    RowLayout {
        visible: view.actionKind === "installing"
        spacing: 8
        Layout.alignment: Qt.AlignRight
        ColumnLayout {
            spacing: 4
            ProgressBar {
                id: bar
                objectName: "installProgress"
                Layout.preferredWidth: 200
                from: 0
                to: 1
                value: view.hasProgress ? view.progress.fraction : 0
                indeterminate: !view.hasProgress
                Accessible.role: Accessible.ProgressBar
                Accessible.name: "Installing " + view.productName
                Accessible.description: view.progressText
                background: Rectangle { implicitHeight: 6; radius: 3; color: HubTheme.recess; border.color: HubTheme.edge }
                contentItem: Item {
                    implicitHeight: 6
                    clip: true
                    property real slide: 0
                    NumberAnimation on slide {
                        running: bar.indeterminate && bar.visible
                        from: -0.3
                        to: 1
                        duration: 1400
                        loops: Animation.Infinite
                    }
                    Rectangle {
                        width: bar.indeterminate ? parent.width * 0.3 : bar.visualPosition * parent.width
                        x: bar.indeterminate ? parent.slide * parent.width : 0
                        height: parent.height
                        radius: 3
                        color: HubTheme.signal
                    }
                }
            }
            HubText {
                text: view.progressText
                color: HubTheme.muted
                font.family: HubTheme.monoFamily
                font.pixelSize: 11
                wrapMode: Text.NoWrap
                Layout.preferredWidth: 200
                horizontalAlignment: Text.AlignRight
            }
        }
        AbstractButton {
            objectName: "cancelInstall"
            width: 28
            height: 28
            visible: !view.hasProgress || view.progress.step === "downloading"
            onClicked: hub.cancelInstall()
            Accessible.role: Accessible.Button
            Accessible.name: "Cancel installation"
            contentItem: HubIcon { name: "xmark.circle.fill"; color: HubTheme.muted; size: 18 }
            background: Item {}
        }
    }

    LinkButton {
        visible: view.linkTitle.length > 0 && view.actionKind !== "installing"
        text: view.linkTitle
        help: view.linkHelp
        Layout.alignment: Qt.AlignRight
        onClicked: hub.performInstall(view.linkReleaseId)
    }
}
