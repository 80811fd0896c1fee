import QtQuick
import QtQuick.Layouts
import HalvexHub

// The plugin's interface: a test build's own artwork, else the storefront screenshot, else the built-in
// interface image of its slug.
ColumnLayout {
    id: shot
    property string slug
    property bool storePage: false
    property string testReleaseId
    property string testVersion
    property color accent: HubTheme.signal
    spacing: 6

    ProductScreenshotSource {
        id: source
        objectName: "screenshotSource"
        slug: shot.slug
        storePage: shot.storePage
        testReleaseId: shot.testReleaseId
        testVersion: shot.testVersion
    }

    Rectangle {
        Layout.fillWidth: true
        Layout.preferredHeight: Math.round(width * 0.5)
        radius: HubTheme.radius
        color: HubTheme.recess
        border.color: HubTheme.edge
        clip: true

        Image {
            id: image
            objectName: "screenshotImage"
            anchors.fill: parent
            anchors.margins: 1
            fillMode: Image.PreserveAspectFit
            asynchronous: true
            cache: false
            sourceSize: source.pixelSize
            source: source.source
            visible: status === Image.Ready
            Accessible.role: Accessible.Graphic
            Accessible.name: source.kind === "fallback" ? "plugin interface" : shot.slug + " interface"
        }
        Column {
            anchors.centerIn: parent
            visible: image.status !== Image.Ready
            spacing: 6
            HubIcon { name: "photo"; size: 40; color: HubTheme.muted; anchors.horizontalCenter: parent.horizontalCenter }
        }
    }
    HubText {
        visible: source.caption.length > 0
        text: source.caption
        color: shot.accent
        font.family: HubTheme.monoFamily
        font.pixelSize: 11
        font.letterSpacing: 1
    }
}
