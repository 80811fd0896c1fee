import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The library's rows under their section heading; the empty state when no product matches. "Checking your
// plugins…" sits above the list, not in its header: a header that grows extends above the view's top.
ColumnLayout {
    id: area
    signal openOverview(string productId)
    readonly property bool discover: library.scope === "discover"
    spacing: 8

    HubText {
        objectName: "checkingPlugins"
        visible: library.banner === "checkingPlugins"
        text: "Checking your plugins…"
        color: HubTheme.muted
        Layout.fillWidth: true
    }

    Item {
        Layout.fillWidth: true
        Layout.fillHeight: true

        ListView {
            id: list
            objectName: "productList"
            anchors.fill: parent
            visible: count > 0
            clip: true
            spacing: 8
            reuseItems: true
            cacheBuffer: 400
            boundsBehavior: Flickable.StopAtBounds
            model: library.products
            Accessible.role: Accessible.List
            Accessible.name: area.discover ? library.discoveryHeading.title : (library.heading.title || "")
            ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

            header: ColumnLayout {
                width: list.width
                spacing: 8
                SectionHeading {
                    title: area.discover ? library.discoveryHeading.title : (library.heading.title || "")
                    countText: area.discover ? library.discoveryHeading.countText : (library.heading.countText || "")
                    Layout.fillWidth: true
                    Layout.rightMargin: 14
                    Layout.bottomMargin: 4
                }
            }

            delegate: ProductRow {
                width: list.width - 14
                onOpenOverview: (productId) => area.openOverview(productId)
            }

            footer: Item {
                width: list.width
                height: area.discover ? 0 : 64
                AbstractButton {
                    id: explore
                    visible: !area.discover
                    anchors.fill: parent
                    anchors.topMargin: 16
                    anchors.rightMargin: 14
                    hoverEnabled: true
                    onClicked: library.scope = "discover"
                    Accessible.role: Accessible.Button
                    Accessible.name: library.discoveryHeading.title
                    Accessible.description: library.discoveryHeading.countText
                    background: Rectangle {
                        radius: 8
                        color: explore.hovered ? HubTheme.panel : "transparent"
                        border.color: HubTheme.edge
                    }
                    contentItem: RowLayout {
                        anchors.fill: parent
                        anchors.leftMargin: 14
                        anchors.rightMargin: 12
                        HubIcon { name: "safari"; color: HubTheme.signal }
                        SectionHeading {
                            title: library.discoveryHeading.title || ""
                            countText: library.discoveryHeading.countText || ""
                            Layout.fillWidth: true
                            Accessible.ignored: true
                        }
                        HubIcon { name: "chevron.right"; color: HubTheme.muted }
                    }
                }
            }
        }

        ColumnLayout {
            anchors.fill: parent
            visible: list.count === 0
            spacing: 0
            SectionHeading {
                visible: area.discover || library.heading.visible
                title: area.discover ? library.discoveryHeading.title : (library.heading.title || "")
                countText: area.discover ? library.discoveryHeading.countText : (library.heading.countText || "")
                Layout.fillWidth: true
                Layout.rightMargin: 14
            }
            Item { Layout.fillHeight: true }
            EmptyLibrary {
                objectName: "emptyLibrary"
                Layout.fillWidth: true
                Layout.maximumWidth: 460
                Layout.alignment: Qt.AlignHCenter
            }
            Item { Layout.fillHeight: true; Layout.preferredHeight: 60 }
        }
    }
}
