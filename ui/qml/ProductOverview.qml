import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The product overview sheet: identity, interface, status and action, compatibility and the store link.
Popup {
    id: sheet
    property string productId
    property bool open: false
    signal closeRequested()

    // Re-read whenever the library changes, so a product that leaves the catalogue shows as gone.
    readonly property var info: { library.revision; return productId.length > 0 ? library.overview(productId) : ({ present: false }) }
    readonly property color accent: info.present ? info.accent : HubTheme.signal

    visible: open
    modal: true
    dim: true
    anchors.centerIn: Overlay.overlay
    width: Math.min(parent ? parent.width - 80 : 760, 760)
    height: Math.min(parent ? parent.height - 60 : 700, info.present ? 820 : 200)
    padding: 0
    closePolicy: Popup.CloseOnEscape
    onClosed: if (open) closeRequested()
    onAboutToHide: confirmation.close()

    Overlay.modal: Rectangle { color: Qt.rgba(0, 0, 0, 0.6) }

    // The control waiting for the user's confirmation.
    property var pending: null

    function act(control) {
        const id = sheet.info.productId
        if (control.kind === "revert") hub.revertProduct(id)
        else if (control.kind === "hold") hub.holdProduct(id)
        else if (control.kind === "releaseHold") hub.releaseHold(id)
        else if (control.kind === "uninstall") hub.uninstallProduct(id)
    }
    function request(control) {
        if (control.confirmationButton.length === 0) {
            act(control)
            return
        }
        pending = control
        confirmation.open()
    }

    Popup {
        id: confirmation
        objectName: "confirmation"
        parent: Overlay.overlay
        anchors.centerIn: parent
        width: 420
        modal: true
        padding: 20
        closePolicy: Popup.CloseOnEscape
        onClosed: sheet.pending = null
        background: HubPanel { emphasised: true }

        contentItem: ColumnLayout {
            objectName: "confirmationContent"
            spacing: 12
            Accessible.role: Accessible.Dialog
            Accessible.name: sheet.pending ? sheet.pending.confirmationTitle : ""
            HubText {
                objectName: "confirmationTitle"
                text: sheet.pending ? sheet.pending.confirmationTitle : ""
                font.weight: Font.Bold
                font.pixelSize: 16
                Layout.fillWidth: true
                Accessible.role: Accessible.Heading
            }
            HubText {
                objectName: "confirmationMessage"
                text: sheet.pending ? sheet.pending.confirmationMessage : ""
                Layout.fillWidth: true
            }
            RowLayout {
                Layout.alignment: Qt.AlignRight
                spacing: 8
                HubButton {
                    objectName: "confirmationCancel"
                    text: "Cancel"
                    compact: true
                    onClicked: confirmation.close()
                }
                HubButton {
                    objectName: "confirmationConfirm"
                    text: sheet.pending ? sheet.pending.confirmationButton : ""
                    prominent: true
                    compact: true
                    onClicked: {
                        const control = sheet.pending
                        confirmation.close()
                        if (control) sheet.act(control)
                    }
                }
            }
        }
    }
    background: HubPanel { emphasised: false }

    contentItem: ColumnLayout {
        spacing: 0

        // A product that left the catalogue keeps only its sentence and Close.
        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 16
            HubText {
                visible: sheet.info.present
                text: "PLUGIN OVERVIEW / HVX"
                color: HubTheme.muted
                font.family: HubTheme.monoFamily
                font.pixelSize: 11
                font.letterSpacing: 2
                Layout.fillWidth: true
            }
            Item { visible: !sheet.info.present; Layout.fillWidth: true }
            HubButton {
                objectName: "closeOverview"
                text: "Close"
                compact: true
                onClicked: sheet.closeRequested()
            }
        }
        Rectangle { visible: sheet.info.present; height: 1; color: HubTheme.edge; Layout.fillWidth: true }

        HubText {
            objectName: "noLongerInCatalog"
            visible: !sheet.info.present
            text: "This plugin is no longer in your catalog."
            color: HubTheme.muted
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            Layout.fillWidth: true
            Layout.fillHeight: true
        }

        Flickable {
            id: scroller
            objectName: "overviewScroller"
            visible: sheet.info.present
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            contentHeight: body.implicitHeight + 40
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}

            ColumnLayout {
                id: body
                x: 24
                y: 20
                width: scroller.width - 48
                spacing: 16

                RowLayout {
                    spacing: 16
                    Layout.fillWidth: true
                    CatalogIcon { url: sheet.info.iconUrl || ""; size: 80; Layout.alignment: Qt.AlignTop }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 4
                        HubText {
                            text: sheet.info.category || ""
                            color: sheet.accent
                            font.pixelSize: 11
                            font.weight: Font.DemiBold
                            font.letterSpacing: 1
                            font.capitalization: Font.AllUppercase
                            Layout.fillWidth: true
                        }
                        RowLayout {
                            spacing: 10
                            Layout.fillWidth: true
                            HubText {
                                objectName: "overviewName"
                                text: sheet.info.name || ""
                                font.family: HubTheme.titleFamily
                                font.weight: Font.Bold
                                font.pixelSize: 30
                                // A long name wraps within the sheet rather than running past it.
                                Layout.fillWidth: true
                                Layout.maximumWidth: Math.ceil(implicitWidth)
                                Accessible.role: Accessible.Heading
                            }
                            Rectangle {
                                visible: sheet.info.privateBeta === true
                                radius: 4
                                color: "transparent"
                                border.color: HubTheme.warning
                                implicitWidth: privateText.implicitWidth + 10
                                implicitHeight: privateText.implicitHeight + 4
                                HubText {
                                    id: privateText
                                    anchors.centerIn: parent
                                    text: "PRIVATE BETA"
                                    color: HubTheme.warning
                                    font.pixelSize: 9
                                    font.weight: Font.Bold
                                    font.letterSpacing: 1
                                }
                            }
                        }
                        HubText {
                            text: sheet.info.tagline || ""
                            color: sheet.accent
                            font.pixelSize: 15
                            Layout.fillWidth: true
                        }
                        HubText {
                            visible: (sheet.info.artist || "").length > 0
                            text: "Artist: " + (sheet.info.artist || "")
                            color: HubTheme.muted
                            font.pixelSize: 12
                            Layout.fillWidth: true
                        }
                    }
                }

                HubText {
                    text: sheet.info.overview || ""
                    color: HubTheme.ink
                    Layout.fillWidth: true
                }
                Flow {
                    Layout.fillWidth: true
                    spacing: 8
                    Repeater {
                        model: sheet.info.features || []
                        delegate: Rectangle {
                            required property string modelData
                            radius: 12
                            color: "transparent"
                            border.color: Qt.rgba(sheet.accent.r, sheet.accent.g, sheet.accent.b, 0.6)
                            implicitWidth: feature.implicitWidth + 20
                            implicitHeight: feature.implicitHeight + 8
                            HubText {
                                id: feature
                                anchors.centerIn: parent
                                text: parent.modelData
                                color: sheet.accent
                                font.pixelSize: 12
                                wrapMode: Text.NoWrap
                            }
                        }
                    }
                }

                ProductScreenshot {
                    Layout.fillWidth: true
                    slug: sheet.info.slug || ""
                    storePage: sheet.info.hasStorePage === true
                    testReleaseId: sheet.info.testReleaseId || ""
                    testVersion: sheet.info.testVersion || ""
                    accent: sheet.accent
                }

                HubPanel {
                    Layout.fillWidth: true
                    implicitHeight: statusRow.implicitHeight + 28
                    RowLayout {
                        id: statusRow
                        anchors.fill: parent
                        anchors.margins: 14
                        spacing: 12
                        HubText {
                            objectName: "overviewStatus"
                            text: sheet.info.status || ""
                            color: HubTheme.muted
                            Layout.fillWidth: true
                        }
                        ProductActionView {
                            productId: sheet.info.productId || ""
                            productName: sheet.info.name || ""
                            actionKind: sheet.info.actionKind || ""
                            actionTitle: sheet.info.actionTitle || ""
                            actionEnabled: sheet.info.actionEnabled !== false
                            actionReleaseId: sheet.info.actionReleaseId || ""
                            linkTitle: sheet.info.linkTitle || ""
                            linkHelp: sheet.info.linkHelp || ""
                            linkReleaseId: sheet.info.linkReleaseId || ""
                            progress: hub.installProgress[sheet.info.productId || ""]
                        }
                    }
                }

                // What is on this computer: revert, hold or release, uninstall. Every control but Release
                // asks first, in the presentation rules' words.
                ColumnLayout {
                    objectName: "manageSection"
                    visible: (sheet.info.controls || []).length > 0
                    Layout.fillWidth: true
                    spacing: 6
                    HubText {
                        text: "ON THIS COMPUTER"
                        color: HubTheme.muted
                        font.pixelSize: 11
                        font.weight: Font.DemiBold
                        font.letterSpacing: 2
                        Accessible.role: Accessible.Heading
                    }
                    Flow {
                        objectName: "manageControls"
                        Layout.fillWidth: true
                        spacing: 8
                        Repeater {
                            model: sheet.info.controls || []
                            delegate: HubButton {
                                required property var modelData
                                objectName: "manage-" + modelData.kind
                                text: modelData.title
                                enabled: modelData.enabled
                                compact: true
                                onClicked: sheet.request(modelData)
                            }
                        }
                    }
                }

                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 6
                    HubText {
                        text: "COMPATIBILITY"
                        color: HubTheme.muted
                        font.pixelSize: 11
                        font.weight: Font.DemiBold
                        font.letterSpacing: 2
                        Accessible.role: Accessible.Heading
                    }
                    HubText {
                        visible: text.length > 0
                        text: sheet.info.versionLine || ""
                        font.family: HubTheme.monoFamily
                        font.pixelSize: 12
                        Layout.fillWidth: true
                    }
                    HubText { text: sheet.info.compatibility || ""; Layout.fillWidth: true }
                    HubText { text: "macOS 13+ \u00b7 Apple Silicon + Intel"; color: HubTheme.muted; Layout.fillWidth: true }
                    HubText {
                        visible: library.hostRecommendation.length > 0
                        text: library.hostRecommendation
                        color: HubTheme.muted
                        Layout.fillWidth: true
                    }
                    HubText {
                        text: "All available formats install together. Existing projects keep their saved format."
                        color: HubTheme.muted
                        Layout.fillWidth: true
                    }
                }

                ColumnLayout {
                    visible: sheet.info.privateBeta !== true
                    Layout.fillWidth: true
                    spacing: 8
                    Rectangle { height: 1; color: HubTheme.edge; Layout.fillWidth: true }
                    HubText {
                        text: "NOVA SERIES \u00b7 One-time purchase. Also included with active HALVEX NOVA ACCESS."
                        color: HubTheme.muted
                        font.pixelSize: 12
                        Layout.fillWidth: true
                    }
                    LinkButton {
                        visible: sheet.info.hasStorePage === true
                        text: "View in store"
                        iconName: "arrow.up.right"
                        size: 13
                        onClicked: library.openStorePage(sheet.info.productId)
                    }
                }
            }
        }
    }
}
