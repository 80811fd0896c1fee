import QtQuick
import QtQuick.Layouts

// A blocked model over a loaded library: what the HUB needs before it can work.
HubPanel {
    objectName: "phaseBanner"
    visible: library.banner === "blocked"
    implicitHeight: visible ? row.implicitHeight + 24 : 0
    border.color: Qt.rgba(0.95, 0.7, 0.31, 0.45)
    RowLayout {
        id: row
        // Width from the panel, height from the wrapped text: filling both ways would loop.
        x: 12
        y: 12
        width: parent.width - 24
        spacing: 10
        HubIcon { name: "wrench.and.screwdriver"; color: HubTheme.warning; Layout.alignment: Qt.AlignTop }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            HubText { text: "HUB configuration required"; font.weight: Font.DemiBold; Layout.fillWidth: true }
            HubText {
                text: library.phase === "blocked" ? library.phasePayload : ""
                color: HubTheme.muted
                Layout.fillWidth: true
            }
        }
    }
}
