import QtQuick
import QtQuick.Layouts

// The library: the sidebar beside the content column of toolbar, notices, panels and the product list.
Rectangle {
    id: screen
    color: HubTheme.shell
    signal openOverview(string productId)

    RowLayout {
        anchors.fill: parent
        spacing: 0

        Sidebar {
            Layout.fillHeight: true
            Layout.preferredWidth: 248
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.margins: 20
            spacing: 12

            LibraryToolbar { Layout.fillWidth: true }
            Notices { Layout.fillWidth: true }
            BackgroundServicePanel { Layout.fillWidth: true }
            HubUpdatePanel { Layout.fillWidth: true }
            PhaseBanner { Layout.fillWidth: true }
            ProductList {
                Layout.fillWidth: true
                Layout.fillHeight: true
                onOpenOverview: (productId) => screen.openOverview(productId)
            }
        }
    }
}
